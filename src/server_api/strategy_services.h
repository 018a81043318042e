#pragma once
// Download strategy services of the product API: related product ids,
// bandwidth probe settings (preheat), slice strategy and alias hosts, each
// answered from an in-memory cache after its first success; and the
// bandwidth probe itself.

#include <cstdint>
#include <string>
#include <vector>

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

// Positive product ids related to `product_id`; empty on any failure.
// Safe to call from several threads.
std::vector<int32_t> GetRelationProductIds(int32_t product_id, const std::string& client_serial);

// Preheat settings; the default record on any failure.
PreheatConfig GetPreheatConfig(int32_t product_id, int32_t package_size, const std::string& client_serial,
                               const std::string& strategy_name);

struct BandwidthProbeResult {
  double throughput = 0;  // millions of bytes per second; 0 on failure
  double elapsed_seconds = 0;
  int64_t bytes = 0;
};
// Downloads the first `probe_size_mb` MiB of the package for at most
// `max_probe_time_s` seconds (both clamped to sane limits) and measures the
// throughput.
BandwidthProbeResult ProbeCdnBandwidth(const std::string& package_url, int32_t probe_size_mb,
                                       int32_t max_probe_time_s);

// Slice strategy for the measured throughput; the default record (valid
// false) on any failure.
SliceStrategy GetSliceStrategy(int32_t product_id, int32_t package_size, double throughput,
                               bool enable_custom_strategy, const std::string& strategy_name,
                               int32_t network_tier_basis, const std::string& client_serial);

// Alias host names for the product's package; empty on any failure.
// Calls are served one after another (one process-wide lock).
std::vector<std::string> GetDownloadAliasHosts(int32_t product_id, const std::string& version,
                                               const std::string& client_serial);

// Forgets every cached answer (tests).
void ResetStrategyCachesForTesting();

}  // namespace oru
