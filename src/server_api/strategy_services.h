#pragma once
// Download strategy services of the product API: related product ids,
// bandwidth probe settings (preheat), slice strategy and alias hosts, each
// answered from an in-memory cache after its first success; and the
// bandwidth probe itself.
//
// Each service GETs from the secondary API host with a fresh access token.
// An answer counts only when its text holds "code":0 and its parsed "code"
// is 0; fields are read from the "data" member by their JSON type. Every
// function may be called from any thread; failures are logged, give the
// default record (or an empty list) and are not cached.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common/clock.h"
#include "server_api/curl_request.h"

namespace oru {

struct PreheatConfig {
  int32_t preheat_file_size_mb = 0;
  int32_t max_probe_time_s = 0;
  std::string version;
  bool hit_strategy = false;
  bool enabled = false;
};

struct SliceStrategy {
  int32_t slice_count = 0;
  int32_t concurrency = 0;
  int32_t slice_upper_limit = 0;
  int32_t target_slice_size = 0;
  std::string version;
  bool hit_strategy = false;
  std::string network_tier_label;
  std::string package_tier_min_mb;
  std::string package_tier_max_mb;
  bool valid = false;
};

// Positive whole product ids related to `product_id` (other elements are
// dropped); empty on any failure. Cached only when at least one id came.
std::vector<int32_t> GetRelationProductIds(int32_t product_id, const std::string& client_serial);

// Preheat settings, cached per product; the default record on any failure
// (including a 5 s timeout or an answer without a "data" object).
PreheatConfig GetPreheatConfig(int32_t product_id, int32_t package_size, const std::string& client_serial,
                               const std::string& strategy_name);

struct BandwidthProbeResult {
  double throughput = 0;  // millions of bytes per second; 0 on failure
  double elapsed_seconds = 0;
  int64_t bytes = 0;
};
// Downloads the first `probe_size_mb` MiB of the package for at most
// `max_probe_time_s` seconds (clamped to 64 MiB and 30 s) and measures the
// throughput; reaching the time limit is a normal end. All zero when a
// parameter is not positive, the transfer fails (an HTTP error status
// included) or nothing arrived.
BandwidthProbeResult ProbeCdnBandwidth(const std::string& package_url, int32_t probe_size_mb,
                                       int32_t max_probe_time_s);

// Slice strategy for the measured throughput, cached per product (a later
// call with other inputs gets the first answer); the default record (valid
// false) on any failure.
SliceStrategy GetSliceStrategy(int32_t product_id, int32_t package_size, double throughput,
                               bool enable_custom_strategy, const std::string& strategy_name,
                               int32_t network_tier_basis, const std::string& client_serial);

// Alias host names ("name" or "name:port", scheme and path removed; other
// shapes are dropped) for the product's package on this machine's platform,
// cached per product, version and platform; empty on any failure. Calls are
// served one after another (one process-wide lock held across the request).
std::vector<std::string> GetDownloadAliasHosts(int32_t product_id, const std::string& version,
                                               const std::string& client_serial);

// The header lines of an alias-host request, in their fixed order.
HeaderList DownloadAliasHostHeaders(int32_t product_id, const std::string& token, const std::string& token_version,
                                    const std::string& client_serial);

// Forgets every cached answer (tests).
void ResetStrategyCachesForTesting();

// Replaces the 5 s wait of the preheat, slice and alias services (tests);
// zero or less restores it.
void SetStrategyTimeoutForTesting(std::chrono::milliseconds timeout);

// The clock that times the bandwidth probe and the real length of one
// second of its time limit (tests: a scaled TestClock with a matching short
// second). nullptr and a second of zero or less restore the system clock
// and 1000 ms. The clock must outlive every probe.
void SetProbeTimingForTesting(Clock* clock, std::chrono::milliseconds probe_second);

}  // namespace oru
