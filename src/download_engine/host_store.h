#pragma once
// Which network addresses a download talks to.
//
// HostStore (one per process) resolves a package host to IPv4 addresses,
// falls back to an HTTP DNS service when the system resolver has nothing,
// asks every address for the package's length and keeps only the addresses
// that agree with the majority, so that one broken node behind a host name
// cannot serve a wrong file.
//
// CHostSelector is the per-download side: the downloader's address map with
// least-used pinning, the HEAD size query, and the switch to alias hosts
// (alternative host names for the same package) when the size cannot be
// learned or TLS keeps failing. CAliasSwitchState remembers per product how
// often it switched and which alias host worked (the sticky host).
//
// Every request keeps TLS verification on; sizes are 64-bit; every wait goes
// through an oru::Clock and ends early when its stop token is requested.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "download_engine/download_event.h"

namespace ns_PEM {

// ---------------------------------------------------------------- URLs

struct UrlParts {
  std::string scheme;  // text before "://"
  std::string host;    // after "://" up to the next "/" (may carry ":port")
  std::string path;    // from that "/" to the end; empty when there is none
};

// Splits `url` into scheme, host and path. False (parts untouched) when the
// URL has no "://".
bool SplitUrl(const std::string& url, UrlParts& parts);

// The name part of a URL host: without "user@" and without ":port"
// ("pkg.example.com:8443" -> "pkg.example.com"). This is what is resolved.
std::string HostNameOf(const std::string& host);

// The port a URL host names, or the scheme's default (443 for "https",
// otherwise 80).
int PortOf(const std::string& scheme, const std::string& host);

// `url` with its host replaced by `host` (scheme, "://", host, then the rest
// of the URL from its first "/" after the old host). Unchanged when `url`
// has no "://".
std::string ReplaceUrlHost(const std::string& url, const std::string& host);

// True for a text usable as a URL host: letters, digits, ".", "-", "_", an
// optional ":port" and "[...]" IPv6 literals; nothing that could change the
// rest of a URL ("/", "@", "?", "#", spaces, control characters).
bool IsPlausibleHost(std::string_view host);

// Dotted text of an IPv4 address in host byte order (0x7F000001 -> "127.0.0.1").
std::string FormatIpv4(uint32_t address);
// Strict dotted-quad parser (four decimal parts 0..255); nullopt otherwise.
std::optional<uint32_t> ParseIpv4(std::string_view text);

// Percent-encodes every byte outside the URL-unreserved set (A-Z a-z 0-9 - . _ ~).
std::string PercentEncode(std::string_view value);

// ---------------------------------------------------------------- settings

// The HTTP DNS service. Its answer to
// "/resolve?type=1&short=1&uid=&ak=&name=&ts=&key=" is a JSON array of
// dotted IPv4 texts.
struct HttpDnsConfig {
  // Origins tried in order until one answers ("https://203.0.113.53", or
  // "http://127.0.0.1:8080" in tests); no trailing "/".
  std::vector<std::string> servers;
  std::string account_id;
  std::string access_key_id;
  std::string signing_secret;
  std::chrono::seconds timeout{10};
};

struct HostStoreConfig {
  HttpDnsConfig http_dns;
  // CA certificates (PEM) that HTTPS peers are verified against; empty
  // means libcurl's default store.
  std::string ca_bundle;
  // Total time of one address probe (HEAD, and GET when HEAD gives nothing).
  std::chrono::seconds probe_timeout{10};
};

// The built-in HTTP DNS service and account (compiled in; the credentials
// are stored obfuscated) and the process's CA bundle
// (oru::ProcessLocations().ca_bundle).
HostStoreConfig DefaultHostStoreConfig();

// The system's name resolution. Tests substitute answers here because a test
// machine has no DNS of its own to control.
class ISystemResolver {
 public:
  virtual ~ISystemResolver() = default;
  // IPv4 addresses of a host name (host byte order); empty when none.
  virtual std::vector<uint32_t> ResolveIpv4(const std::string& host_name) = 0;
  // Makes the system forget cached answers; false when it could not.
  virtual bool FlushCache() = 0;
};

// The platform's resolver (oru::ResolveIpv4 / oru::FlushResolverCache).
// Never destroyed.
ISystemResolver& PlatformSystemResolver();

// ---------------------------------------------------------------- requests

// Asks the HTTP DNS service for the IPv4 addresses of `host_name` with the
// signed query (key = SHA-256 hex of account id + secret + ts + name +
// access key id, ts = clock's Unix seconds), trying each configured server
// until one gives a non-empty answer. Only valid dotted IPv4 texts are kept.
// Returns them (empty when every server failed or none was valid).
std::vector<std::string> ResolveByHttpDns(const std::string& host_name, const HttpDnsConfig& config,
                                          const std::string& ca_bundle, oru::Clock& clock,
                                          std::stop_token stop = {});

// Reads the service's answer: a JSON array of quoted addresses, taken apart
// as text (outer brackets, ",", quotes, whitespace). Pieces that are not
// dotted IPv4 texts are dropped. "[]" and texts shorter than 2 give none.
std::vector<std::string> ParseHttpDnsAnswer(std::string_view answer);

// Asks one address (`address`, dotted) for the length of `url` with the real
// host name (TLS name checks still apply): HEAD, and GET (stopped after the
// headers) when the HEAD answer carries no length. Only a 2xx answer counts.
// Returns the last announced Content-Length, or 0 when none or not a number.
int64_t ProbeContentLength(const std::string& url, const std::string& address, const std::string& ca_bundle,
                           std::chrono::seconds timeout, std::stop_token stop = {});

// ---------------------------------------------------------------- HostStore

// Address sets per host and validated sizes per URL, shared by every
// download of the process. Thread-safe: InitHost, QueryHost and ClearAll run
// one at a time (probing blocks other preparations of hosts); readers never
// wait for a probe.
class HostStore {
 public:
  // `resolver` and `clock` must outlive the store.
  explicit HostStore(HostStoreConfig config, ISystemResolver& resolver = PlatformSystemResolver(),
                     oru::Clock& clock = oru::SystemClock());
  HostStore(const HostStore&) = delete;
  HostStore& operator=(const HostStore&) = delete;

  // The process's store, made on first use with DefaultHostStoreConfig()
  // and never destroyed.
  static HostStore& Instance();

  // Replaces the settings used by later resolutions and probes.
  void SetConfig(HostStoreConfig config);
  HostStoreConfig config() const;

  // Resolves `host` (a URL host; its name part is resolved): the system
  // resolver's answer replaces the host's set; when the set is still empty
  // the HTTP DNS service is asked. True when the host has an address.
  bool QueryHost(const std::string& host);
  // Makes sure the URL's host has validated addresses: resolves it, probes
  // every address for the URL's length and keeps the largest group that
  // agrees (ties: the smaller length), recording that length as the URL's
  // known size. True when addresses remain; false for an empty or unsplittable
  // URL, a host without addresses, or a stop request during probing (the
  // host then stays unresolved).
  bool InitHost(const std::string& url, std::stop_token stop = {});
  // True when the URL's host has at least one address.
  bool HasHost(const std::string& url) const;
  // Forgets every address set (known sizes stay) and flushes the system
  // resolver cache.
  void ClearAll();
  // The known size of exactly this URL, or 0.
  int64_t GetSize(const std::string& url) const;
  // The URL's host and its addresses as one comma-separated text; false
  // (outputs untouched) when the host has none.
  bool GetDnsInfo(const std::string& url, std::string& host, std::string& addresses) const;
  // The host's addresses as dotted texts in ascending order; false when none.
  bool GetHostIps(const std::string& host, std::vector<std::string>& addresses) const;

 private:
  std::set<uint32_t> Resolve(const std::string& host, std::set<uint32_t> current, const HostStoreConfig& config,
                             std::stop_token stop);
  bool ProbeAndKeepMajority(const std::string& url, std::set<uint32_t>& addresses, const HostStoreConfig& config,
                            std::stop_token stop);

  ISystemResolver& resolver_;
  oru::Clock& clock_;
  std::mutex init_mutex_;  // serialises resolving, probing and clearing

  mutable std::mutex mutex_;  // guards everything below
  HostStoreConfig config_;
  std::map<std::string, std::set<uint32_t>> address_sets_;
  std::map<std::string, int64_t> known_sizes_;
};

// ---------------------------------------------------------------- alias hosts

// Gives the alias hosts of a product: (task id, executable version) -> host
// names. Set by the orchestrator; the engine knows nothing of where they
// come from.
using AliasHostProvider = std::function<std::vector<std::string>(int32_t task_id, const std::string& exe_version)>;

// Per-product alias switching: rounds begun, whether the product gave up,
// and the sticky host with its failures. Entries live as long as the object
// (for the process's instance: the whole run). Thread-safe.
class CAliasSwitchState {
 public:
  static constexpr int kRoundLimit = 2;        // alias rounds per product per run
  static constexpr int kHostsPerRound = 3;     // alias hosts tried per round
  static constexpr int kStickyFailureLimit = 2;  // failed attempts before the sticky host is dropped

  CAliasSwitchState() = default;
  CAliasSwitchState(const CAliasSwitchState&) = delete;
  CAliasSwitchState& operator=(const CAliasSwitchState&) = delete;

  // The process's state, never destroyed.
  static CAliasSwitchState& Instance();

  // The product's sticky host, or empty.
  std::string GetStickyHost(int32_t task_id);
  // Sets the sticky host (empty clears it) and zeroes its failures.
  void SetStickyHost(int32_t task_id, const std::string& host);
  // Starts an alias round; false (with a warning) when the product already
  // gave up or has used its kRoundLimit rounds (it then gives up).
  bool BeginAliasRound(int32_t task_id);
  // Counts a failed attempt on the sticky host; at kStickyFailureLimit the
  // sticky host is dropped. Nothing happens without a sticky host.
  void ReportStickyHostFailure(int32_t task_id);
  // After a successful download: rounds, give-up and failures back to zero;
  // the sticky host stays for the product's next download.
  void ResetAliasRounds(int32_t task_id);

  // Installs the provider (an empty function removes it).
  void SetAliasHostProvider(AliasHostProvider provider);
  // The provider's answer; empty without a provider. The provider runs
  // without any lock of this object held.
  std::vector<std::string> GetAliasHosts(int32_t task_id, const std::string& exe_version);

 private:
  struct Entry {
    int32_t round = 0;
    bool gave_up = false;
    std::string sticky_host;
    int32_t sticky_failures = 0;
  };

  std::mutex mutex_;  // guards entries_
  std::map<int32_t, Entry> entries_;
  std::mutex provider_mutex_;  // guards provider_
  AliasHostProvider provider_;
};

// ---------------------------------------------------------------- downloader side

// Receives DnsCacheCleared and DnsResolved (text: host + ":" +
// comma-separated addresses) on the calling thread. DnsCacheCleared comes
// with value 0: the downloader's sink puts its current result code there.
using HostEventSink = std::function<void(DownloadEvent)>;

// The host-related fields of one download job, owned by the downloader and
// changed by the selector when it switches hosts.
struct HostJob {
  int32_t task_id = 0;
  std::string exe_version;   // handed to the alias host provider
  std::string url;           // rewritten on an alias switch or a sticky host
  int64_t total_size = 0;    // learned from probes, the size query or an alias host
  std::string sticky_host;   // alias host this job runs on; empty on the origin
};

// One downloader's view of the hosts: the address map (address -> use count)
// and the host steps of a job. Used from the downloader's worker thread;
// TakeLeastUsedAddress and Addresses may be called from any thread.
class CHostSelector {
 public:
  struct Options {
    std::string ca_bundle;  // empty: libcurl's default store
    std::chrono::seconds size_connect_timeout{20};
    std::chrono::seconds size_total_timeout{120};
    std::chrono::milliseconds size_retry_wait{500};
  };

  // Options with the process's CA bundle.
  static Options DefaultOptions();

  // `store`, `alias` and `clock` must outlive the selector; `sink` may be empty.
  CHostSelector(HostEventSink sink, HostStore& store = HostStore::Instance(),
                CAliasSwitchState& alias = CAliasSwitchState::Instance(), oru::Clock& clock = oru::SystemClock(),
                Options options = DefaultOptions());
  CHostSelector(const CHostSelector&) = delete;
  CHostSelector& operator=(const CHostSelector&) = delete;

  // Job start: when the product has a sticky host other than the URL's
  // host, moves the URL onto it and records it in `job.sticky_host`. True
  // when the URL changed.
  bool ApplyStickyHost(HostJob& job);

  // Fills the address map with the validated addresses of the URL's host.
  // With `clear_cache` and known addresses, first forgets every address set
  // and the system's cache (DnsCacheCleared). When the host had to be
  // resolved, `total_size` becomes the size the probes agreed on (0 when
  // none) and DnsResolved is sent. True when the map is not empty; on
  // failure the map is emptied, so segments use ordinary resolution.
  bool PrepareHost(const std::string& url, bool clear_cache, int64_t& total_size, std::stop_token stop = {});

  // Asks the server for the URL's size: up to `tries` requests (10 when
  // below 1), HEAD first and GET (stopped after the headers) for the later
  // half, 2xx answers only, pinned to the least-used address when there is
  // one; 500 ms between tries; six TLS errors in a row end it early.
  // Returns the size, or 0 when none was learned or `stop` was requested.
  int64_t QuerySize(const std::string& url, int tries, std::stop_token stop = {});

  // The address with the smallest use count (ties: first in text order),
  // its count raised by 1; empty when the map is empty.
  std::string TakeLeastUsedAddress();
  // Empties the address map.
  void ClearAddresses();
  // A copy of the address map.
  std::map<std::string, uint32_t> Addresses() const;

  // The size was not learned: one alias round over up to 3 alias hosts.
  // On success the job moves to the alias host (url, total_size,
  // sticky_host, and the product's sticky host) and true is returned. On
  // failure the origin's addresses are prepared again, total_size is 0 and
  // false is returned (also when the round is refused or no host is known).
  bool TryAliasHostsForSize(HostJob& job, std::stop_token stop = {});

  // TLS keeps failing (`tls_error_count` failures): one alias round that
  // accepts only an alias host announcing exactly `job.total_size`. On a
  // match `discard_temp_file` runs first (close the temporary file, remove
  // its resume record, delete it), then the job moves to the alias host and
  // true is returned. Otherwise the origin's addresses are prepared again,
  // total_size is kept and false is returned.
  bool SwitchAliasForTls(HostJob& job, int32_t tls_error_count, const std::function<void()>& discard_temp_file,
                         std::stop_token stop = {});

  // After a failed attempt: counts a failure of the sticky host when the job
  // runs on one and `result` is neither 9 nor 10 (local file trouble).
  void ReportAttemptFailed(const HostJob& job, int32_t result);
  // After a successful download: resets the product's alias rounds.
  void ReportDownloadSucceeded(const HostJob& job);

 private:
  enum class RoundKind { kForSize, kForTls };
  bool RunAliasRound(HostJob& job, RoundKind kind, int32_t tls_error_count,
                     const std::function<void()>& discard_temp_file, std::stop_token stop);
  bool TryOneAlias(HostJob& job, RoundKind kind, const std::string& origin, const std::string& host,
                   const std::function<void()>& discard_temp_file, std::stop_token stop);
  void Send(DownloadEvent event);

  HostEventSink sink_;
  HostStore& store_;
  CAliasSwitchState& alias_;
  oru::Clock& clock_;
  Options options_;

  mutable std::mutex map_mutex_;  // guards addresses_
  std::map<std::string, uint32_t> addresses_;
};

}  // namespace ns_PEM
