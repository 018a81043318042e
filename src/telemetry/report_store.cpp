#include "telemetry/report_store.h"

#include <algorithm>

#include "common/clock.h"
#include "common/json.h"
#include "common/utf.h"
#include "server_api/service_endpoints.h"

namespace oru {
namespace {

constexpr size_t kMaxInstallerMessageLength = 256;
constexpr size_t kMaxInstallerMessages = 100;

// The copy-data message's markers, quotes included.
constexpr std::u16string_view kEventMarker = u",\"event\"";
constexpr std::u16string_view kTimeMarker = u"\",\"time\":\"";
constexpr std::u16string_view kDataMarker = u"\",\"data\":\"";
// What the message begins with before its first value ({"pid":).
constexpr size_t kMessageHeadLength = 7;

// `text` as a JSON string literal, escaped by cJSON itself.
std::string JsonQuoted(const std::string& text) {
  JsonObjectBuilder builder;
  builder.AddString("", text);
  const std::string printed = builder.Print();  // {"":"..."}
  if (printed.size() < 6) return "\"\"";
  return printed.substr(4, printed.size() - 5);
}

// The endpoints are read late (start-up may apply the vendor's services
// after the store was created), and outside the store lock.
std::string ResolveOrigin(std::optional<std::string> origin) {
  if (origin) return std::move(*origin);
  return GetServiceEndpoints().platform_origin;
}

std::int64_t NowUnixSeconds() { return UnixSeconds(SystemClock().Now()); }

// The installer message entry, or nullopt when the markers are missing,
// overlap or come out of order (cutting there would take negative lengths).
std::optional<std::u16string> InstallerMessageEntry(std::u16string_view text) {
  const size_t event_at = text.find(kEventMarker);
  const size_t time_at = text.find(kTimeMarker);
  const size_t data_at = text.find(kDataMarker);
  if (event_at == std::u16string_view::npos || time_at == std::u16string_view::npos ||
      data_at == std::u16string_view::npos) {
    return std::nullopt;
  }
  if (event_at < kMessageHeadLength) return std::nullopt;
  if (event_at + kEventMarker.size() > time_at) return std::nullopt;
  if (time_at + kTimeMarker.size() > data_at) return std::nullopt;

  const size_t event_value_at = event_at + kEventMarker.size();
  const size_t time_value_at = time_at + kTimeMarker.size();
  std::u16string entry = u"{";
  entry.append(text.substr(kMessageHeadLength, event_at - kMessageHeadLength));
  entry.append(text.substr(event_value_at, time_at - event_value_at));
  entry.append(u",");
  entry.append(text.substr(time_value_at, data_at - time_value_at));
  entry.append(u",");
  // With the markers in order the original count always reaches the end.
  entry.append(text.substr(data_at + kDataMarker.size()));
  return entry;
}

}  // namespace

ReportStore& ReportStore::Instance() {
  // Never destroyed: the crash path and exit may still write to it.
  static ReportStore* const store = new ReportStore();
  return *store;
}

ReportStore::ReportStore() : start_time_(NowUnixSeconds()) {}

void ReportStore::SetChangeListener(ChangeListener listener) { listener_.store(listener); }

void ReportStore::NotifyChanged() const {
  ChangeListener listener = listener_.load();
  if (listener != nullptr) listener();
}

void ReportStore::SetReportText(const std::string& key, const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(store_mu_);
    values_[key] = text;
  }
  NotifyChanged();
}

void ReportStore::SetReportNumber(const std::string& key, int32_t number) {
  SetReportText(key, std::to_string(static_cast<uint32_t>(number)));
}

void ReportStore::SetReportTime(const std::string& key, int64_t value) {
  SetReportText(key, std::to_string(static_cast<uint32_t>(static_cast<uint64_t>(value) & 0xFFFFFFFFu)));
}

std::optional<std::string> ReportStore::Get(const std::string& key) const {
  std::lock_guard<std::mutex> lock(store_mu_);
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

std::map<std::string, std::string> ReportStore::Values() const {
  std::lock_guard<std::mutex> lock(store_mu_);
  return values_;
}

ReportSnapshot ReportStore::UpdateAndSnapshot(const std::map<std::string, std::string>& updates) {
  ReportSnapshot snapshot;
  std::optional<std::string> origin;
  {
    std::lock_guard<std::mutex> lock(store_mu_);
    for (const auto& [key, value] : updates) values_[key] = value;
    snapshot.values = values_;
    origin = platform_origin_;
  }
  if (!updates.empty()) NotifyChanged();
  snapshot.platform_origin = ResolveOrigin(std::move(origin));
  return snapshot;
}

void ReportStore::AddRemark(const std::string& key, const std::string& value, bool as_text) {
  std::string entry = "{" + JsonQuoted(key) + ":" + (as_text ? JsonQuoted(value) : value) + "}";
  {
    std::lock_guard<std::mutex> lock(remarks1_mu_);
    if (std::find(remarks1_.begin(), remarks1_.end(), entry) != remarks1_.end()) return;
    remarks1_.push_back(std::move(entry));
  }
  NotifyChanged();
}

std::vector<std::string> ReportStore::Remarks1() const {
  std::lock_guard<std::mutex> lock(remarks1_mu_);
  return remarks1_;
}

void ReportStore::AddInstallerMessage(const std::u16string& text) {
  if (text.size() > kMaxInstallerMessageLength) return;
  std::optional<std::u16string> entry = InstallerMessageEntry(text);
  if (!entry) return;
  // A cut may split a surrogate pair; that half becomes "?" rather than
  // losing the whole entry.
  std::string utf8 = EncodeUtf8Lenient(*entry);
  {
    std::lock_guard<std::mutex> lock(remarks2_mu_);
    if (remarks2_.size() >= kMaxInstallerMessages) return;
    remarks2_.push_back(std::move(utf8));
  }
  NotifyChanged();
}

std::vector<std::string> ReportStore::Remarks2() const {
  std::lock_guard<std::mutex> lock(remarks2_mu_);
  return remarks2_;
}

void ReportStore::SetBindForce(int32_t product_id, bool force) {
  {
    std::lock_guard<std::mutex> lock(bind_mu_);
    binds_[product_id].force = force;
  }
  NotifyChanged();
}

void ReportStore::SetBindServerDigest(int32_t product_id, const std::string& digest) {
  {
    std::lock_guard<std::mutex> lock(bind_mu_);
    binds_[product_id].server_digest = digest;
  }
  NotifyChanged();
}

void ReportStore::SetBindDownloadFail(int32_t product_id, int32_t code) {
  {
    std::lock_guard<std::mutex> lock(bind_mu_);
    binds_[product_id].down_fail = code;
  }
  NotifyChanged();
}

void ReportStore::SetBindInstallFail(int32_t product_id, int32_t code) {
  {
    std::lock_guard<std::mutex> lock(bind_mu_);
    binds_[product_id].install_fail = code;
  }
  NotifyChanged();
}

void ReportStore::SetBindTimes(int32_t product_id, int32_t down_start, int32_t down_end, int32_t install_start,
                               int32_t install_end) {
  {
    std::lock_guard<std::mutex> lock(bind_mu_);
    BindRecord& record = binds_[product_id];
    record.down_start = down_start;
    record.down_end = down_end;
    record.install_start = install_start;
    record.install_end = install_end;
  }
  NotifyChanged();
}

std::map<int32_t, BindRecord> ReportStore::BindRecords() const {
  std::lock_guard<std::mutex> lock(bind_mu_);
  return binds_;
}

void ReportStore::AddCdnAddress(const std::string& address) {
  {
    std::lock_guard<std::mutex> lock(cdn_address_mu_);
    ++cdn_addresses_[address];
  }
  NotifyChanged();
}

void ReportStore::AddCdnUrl(const std::string& url) {
  {
    std::lock_guard<std::mutex> lock(cdn_url_mu_);
    if (!cdn_urls_.insert(url).second) return;
  }
  NotifyChanged();
}

std::map<std::string, int> ReportStore::CdnAddresses() const {
  std::lock_guard<std::mutex> lock(cdn_address_mu_);
  return cdn_addresses_;
}

std::set<std::string> ReportStore::CdnUrls() const {
  std::lock_guard<std::mutex> lock(cdn_url_mu_);
  return cdn_urls_;
}

void ReportStore::SetCrashRecord(const CrashRecord& record) {
  {
    std::lock_guard<std::mutex> lock(crash_mu_);
    crash_ = record;
  }
  NotifyChanged();
}

CrashRecord ReportStore::Crash() const {
  std::lock_guard<std::mutex> lock(crash_mu_);
  return crash_;
}

void ReportStore::SetReportEnabled(bool enabled) {
  report_enabled_.store(enabled);
  NotifyChanged();
}
bool ReportStore::report_enabled() const { return report_enabled_.load(); }
void ReportStore::SetPerProduct(bool per_product) {
  per_product_.store(per_product);
  NotifyChanged();
}
bool ReportStore::per_product() const { return per_product_.load(); }
void ReportStore::SetFirstInstall(bool first) {
  first_install_.store(first);
  NotifyChanged();
}
bool ReportStore::first_install() const { return first_install_.load(); }
void ReportStore::SetStartTime(int64_t unix_seconds) {
  start_time_.store(unix_seconds);
  NotifyChanged();
}
int64_t ReportStore::start_time() const { return start_time_.load(); }

void ReportStore::SetPlatformOrigin(const std::string& origin) {
  std::string value = origin;
  if (value.empty() || value.back() != '/') value.push_back('/');
  {
    std::lock_guard<std::mutex> lock(store_mu_);
    platform_origin_ = std::move(value);
  }
  NotifyChanged();
}

std::string ReportStore::platform_origin() const {
  std::optional<std::string> origin;
  {
    std::lock_guard<std::mutex> lock(store_mu_);
    origin = platform_origin_;
  }
  return ResolveOrigin(std::move(origin));
}

void ReportStore::ResetForTesting() {
  {
    std::lock_guard<std::mutex> lock(store_mu_);
    values_.clear();
    platform_origin_.reset();
  }
  {
    std::lock_guard<std::mutex> lock(remarks1_mu_);
    remarks1_.clear();
  }
  {
    std::lock_guard<std::mutex> lock(remarks2_mu_);
    remarks2_.clear();
  }
  {
    std::lock_guard<std::mutex> lock(bind_mu_);
    binds_.clear();
  }
  {
    std::lock_guard<std::mutex> lock(cdn_address_mu_);
    cdn_addresses_.clear();
  }
  {
    std::lock_guard<std::mutex> lock(cdn_url_mu_);
    cdn_urls_.clear();
  }
  SetCrashRecord(CrashRecord{});
  report_enabled_.store(false);
  per_product_.store(false);
  first_install_.store(true);
  start_time_.store(NowUnixSeconds());
  NotifyChanged();
}

}  // namespace oru
