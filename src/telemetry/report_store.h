#pragma once
// The tracking report's process-wide store: key-to-text values that every
// part of the run fills, the remark lists, one record per dependent
// product, the sets of CDN addresses and URLs, the crash record and the
// report's flags. Each structure has its own lock, held for one update.
//
// Used from any thread (window, orchestrator worker, download callbacks,
// crash path). No lock of the store is ever held while another is taken,
// nor while the change listener runs.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace oru {

struct BindRecord {
  bool force = false;
  int32_t down_start = 0;
  int32_t down_end = 0;
  int32_t down_fail = 0;
  int32_t install_start = 0;
  int32_t install_end = 0;
  int32_t install_fail = 0;
  std::string server_digest;
};

// The store's entries and the platform origin, read together.
struct ReportSnapshot {
  std::map<std::string, std::string> values;
  std::string platform_origin;
};

struct CrashRecord {
  bool crashed = false;
  uint32_t code = 0;
  uint64_t address = 0;
  uint64_t offset = 0;
  std::string module_file;
  std::string section;
};

class ReportStore {
 public:
  // Called after every write of a value, list, record or flag, on the
  // writing thread and outside the store's locks; it may read the store.
  using ChangeListener = void (*)();

  // The process's store, created on first use and never destroyed.
  static ReportStore& Instance();

  // Sets the listener (null: none). Meant to be set once at start-up; a
  // change racing with the call may or may not reach the new listener.
  void SetChangeListener(ChangeListener listener);

  // Each writes one key; a later write replaces an earlier one. Texts are
  // UTF-8 and stored as given. Numbers are stored as unsigned decimal of
  // their 32 bits (-1 gives "4294967295"); times and byte counts as
  // unsigned decimal of their low 32 bits.
  void SetReportText(const std::string& key, const std::string& text);
  void SetReportNumber(const std::string& key, int32_t number);
  void SetReportTime(const std::string& key, int64_t value);
  // The stored text of `key`; nullopt when it was never written.
  std::optional<std::string> Get(const std::string& key) const;
  // Every entry, in key order.
  std::map<std::string, std::string> Values() const;
  // Writes every entry of `updates`, then copies the whole store and the
  // platform origin, all under one hold of the store lock, so that a report
  // never mixes its own per-product keys with another writer's.
  ReportSnapshot UpdateAndSnapshot(const std::map<std::string, std::string>& updates);

  // Appends {"key":"value"} (as_text; both JSON-escaped) or {"key":value}
  // (the key escaped, the value written unchanged: it is the caller's to
  // make it valid JSON). An entry identical to one already held is dropped.
  void AddRemark(const std::string& key, const std::string& value, bool as_text);
  // The remark entries in the order added.
  std::vector<std::string> Remarks1() const;
  // A package installer's copy-data message (UTF-16 as sent, taken by its
  // length). Ignored when longer than 256 code units, when 100 entries are
  // held already, or when the markers ,"event" then ","time":" then
  // ","data":" do not follow each other in that order (without overlap)
  // after the first seven code units. The entry is stored as UTF-8.
  void AddInstallerMessage(const std::u16string& text);
  // The installer message entries in the order added.
  std::vector<std::string> Remarks2() const;

  // Each updates one dependent product's record, creating it when missing.
  void SetBindForce(int32_t product_id, bool force);
  void SetBindServerDigest(int32_t product_id, const std::string& digest);
  void SetBindDownloadFail(int32_t product_id, int32_t code);
  void SetBindInstallFail(int32_t product_id, int32_t code);
  void SetBindTimes(int32_t product_id, int32_t down_start, int32_t down_end, int32_t install_start,
                    int32_t install_end);
  // Copies of the records, by ascending product id.
  std::map<int32_t, BindRecord> BindRecords() const;

  // A host address the engine used (counted per use) / a package URL a
  // download was started with (held once).
  void AddCdnAddress(const std::string& address);
  void AddCdnUrl(const std::string& url);
  std::map<std::string, int> CdnAddresses() const;
  std::set<std::string> CdnUrls() const;

  // Replaces the crash record / returns a copy of it (all zero until set).
  void SetCrashRecord(const CrashRecord& record);
  CrashRecord Crash() const;

  // Flags: report enabled (clear at start), per-product mode (clear at
  // start), first install (set at start).
  void SetReportEnabled(bool enabled);
  bool report_enabled() const;
  void SetPerProduct(bool per_product);
  bool per_product() const;
  void SetFirstInstall(bool first);
  bool first_install() const;
  // Unix seconds at which the run started (the system clock when the store
  // was created, unless set).
  void SetStartTime(int64_t unix_seconds);
  int64_t start_time() const;
  // Origin of the tracking report; a trailing "/" is added when missing.
  // Until set, the service endpoints' platform origin.
  void SetPlatformOrigin(const std::string& origin);
  std::string platform_origin() const;

  // Back to the state of a fresh process (tests).
  void ResetForTesting();

 private:
  ReportStore();
  void NotifyChanged() const;

  std::atomic<ChangeListener> listener_{nullptr};

  mutable std::mutex store_mu_;
  std::map<std::string, std::string> values_;   // guarded by store_mu_
  std::optional<std::string> platform_origin_;  // guarded by store_mu_

  mutable std::mutex remarks1_mu_;
  std::vector<std::string> remarks1_;  // guarded by remarks1_mu_

  mutable std::mutex remarks2_mu_;
  std::vector<std::string> remarks2_;  // guarded by remarks2_mu_

  mutable std::mutex bind_mu_;
  std::map<int32_t, BindRecord> binds_;  // guarded by bind_mu_

  mutable std::mutex cdn_address_mu_;
  std::map<std::string, int> cdn_addresses_;  // guarded by cdn_address_mu_

  mutable std::mutex cdn_url_mu_;
  std::set<std::string> cdn_urls_;  // guarded by cdn_url_mu_

  mutable std::mutex crash_mu_;
  CrashRecord crash_;  // guarded by crash_mu_

  std::atomic<bool> report_enabled_{false};
  std::atomic<bool> per_product_{false};
  std::atomic<bool> first_install_{true};
  std::atomic<int64_t> start_time_{0};
};

}  // namespace oru
