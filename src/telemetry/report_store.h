#pragma once
// The tracking report's process-wide store: key-to-text values that every
// part of the run fills, the remark lists, one record per dependent
// product, the sets of CDN addresses and URLs, the crash record and the
// report's flags. Each structure has its own lock, held for one update.

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
  static ReportStore& Instance();

  // Texts are UTF-8. Numbers are stored as unsigned decimal of their 32
  // bits; times as unsigned decimal of their low 32 bits.
  void SetReportText(const std::string& key, const std::string& text);
  void SetReportNumber(const std::string& key, int32_t number);
  void SetReportTime(const std::string& key, int64_t value);
  std::optional<std::string> Get(const std::string& key) const;
  std::map<std::string, std::string> Values() const;

  // {"key":"value"} (as_text) or {"key":value}; identical entries once.
  void AddRemark(const std::string& key, const std::string& value, bool as_text);
  std::vector<std::string> Remarks1() const;
  // A package installer's copy-data message (UTF-16 as sent).
  void AddInstallerMessage(const std::u16string& text);
  std::vector<std::string> Remarks2() const;

  void SetBindForce(int32_t product_id, bool force);
  void SetBindServerDigest(int32_t product_id, const std::string& digest);
  void SetBindDownloadFail(int32_t product_id, int32_t code);
  void SetBindInstallFail(int32_t product_id, int32_t code);
  void SetBindTimes(int32_t product_id, int32_t down_start, int32_t down_end, int32_t install_start,
                    int32_t install_end);
  std::map<int32_t, BindRecord> BindRecords() const;

  void AddCdnAddress(const std::string& address);
  void AddCdnUrl(const std::string& url);
  std::map<std::string, int> CdnAddresses() const;
  std::set<std::string> CdnUrls() const;

  void SetCrashRecord(const CrashRecord& record);
  CrashRecord Crash() const;

  void SetReportEnabled(bool enabled);
  bool report_enabled() const;
  void SetPerProduct(bool per_product);
  bool per_product() const;
  void SetFirstInstall(bool first);
  bool first_install() const;
  void SetStartTime(int64_t unix_seconds);
  int64_t start_time() const;
  // Origin of the tracking report, with a trailing "/".
  void SetPlatformOrigin(const std::string& origin);
  std::string platform_origin() const;

  // Back to the state of a fresh process (tests).
  void ResetForTesting();

 private:
  ReportStore();
  // (members chosen by the implementation)
};

}  // namespace oru
