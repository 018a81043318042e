#include "app/crash_handler.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <string_view>
#include <vector>

#include "platform/crash_signals.h"
#include "telemetry/track_report.h"

namespace oru {
namespace {

constexpr char kRecordHeader[] = "oru-crash-record 1";
constexpr char kValuePrefix[] = "value.";
constexpr char kAnalyticsPrefix[] = "analytics.";
// The handler's record: its own lines, the published state and one more
// line; anything larger was not written by it.
constexpr size_t kMaxRecordSize = kCrashStateCapacity + 16 * 1024;
// A hostile count must not make restoring spin.
constexpr int kMaxCdnUses = 1 << 16;

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char next = text[++i];
    out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
  }
  return out;
}

std::optional<uint64_t> ParseUnsigned(const std::string& text, int base) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || end == nullptr || *end != '\0' || text.front() == '-') return std::nullopt;
  return static_cast<uint64_t>(value);
}

std::optional<int64_t> ParseSigned(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0') return std::nullopt;
  return static_cast<int64_t>(value);
}

// `text` cut at its first `count - 1` spaces; the last part keeps the rest.
std::vector<std::string> SplitFields(const std::string& text, size_t count) {
  std::vector<std::string> fields;
  size_t from = 0;
  while (fields.size() + 1 < count) {
    size_t space = text.find(' ', from);
    if (space == std::string::npos) break;
    fields.push_back(text.substr(from, space - from));
    from = space + 1;
  }
  fields.push_back(text.substr(from));
  return fields;
}

// "bind=<id> <force> <down start> <down end> <down fail> <install start>
// <install end> <install fail> <digest>"
std::string BindLine(int32_t id, const BindRecord& r) {
  std::string line = "bind=" + std::to_string(id);
  for (int32_t field : {static_cast<int32_t>(r.force ? 1 : 0), r.down_start, r.down_end, r.down_fail,
                        r.install_start, r.install_end, r.install_fail}) {
    line += " " + std::to_string(field);
  }
  return line + " " + Escape(r.server_digest) + "\n";
}

void ApplyBindLine(PendingCrash& crash, const std::string& value) {
  std::vector<std::string> fields = SplitFields(value, 9);
  if (fields.size() != 9) return;
  int32_t numbers[8];
  for (size_t i = 0; i < 8; ++i) {
    std::optional<int64_t> number = ParseSigned(fields[i]);
    if (!number || *number < INT32_MIN || *number > INT32_MAX) return;
    numbers[i] = static_cast<int32_t>(*number);
  }
  BindRecord& record = crash.binds[numbers[0]];
  record.force = numbers[1] != 0;
  record.down_start = numbers[2];
  record.down_end = numbers[3];
  record.down_fail = numbers[4];
  record.install_start = numbers[5];
  record.install_end = numbers[6];
  record.install_fail = numbers[7];
  record.server_digest = Unescape(fields[8]);
}

// "cdnip=<uses> <address>"
void ApplyCdnAddressLine(PendingCrash& crash, const std::string& value) {
  std::vector<std::string> fields = SplitFields(value, 2);
  if (fields.size() != 2) return;
  std::optional<uint64_t> uses = ParseUnsigned(fields[0], 10);
  if (!uses || *uses == 0 || *uses > kMaxCdnUses) return;
  crash.cdn_addresses[Unescape(fields[1])] = static_cast<int>(*uses);
}

// One "key=value" line of the record's first half.
bool ApplyRecordLine(PendingCrash& crash, const std::string& key, const std::string& value) {
  if (key == "signal") {
    crash.signal = static_cast<int>(ParseUnsigned(value, 10).value_or(0));
  } else if (key == "code") {
    auto code = ParseUnsigned(value, 10);
    if (!code || *code > 0xFFFFFFFFu) return false;
    crash.record.code = static_cast<uint32_t>(*code);
  } else if (key == "address") {
    if (value.rfind("0x", 0) != 0) return false;
    auto address = ParseUnsigned(value.substr(2), 16);
    if (!address) return false;
    crash.record.address = *address;
  } else if (key == "offset") {
    auto offset = ParseUnsigned(value, 10);
    if (!offset) return false;
    crash.record.offset = *offset;
  } else if (key == "module") {
    crash.record.module_file = Unescape(value);
  } else if (key == "section") {
    crash.record.section = Unescape(value);
  }
  return true;
}

// One "key=value" line of the published state.
void ApplyStateLine(PendingCrash& crash, const std::string& key, const std::string& value) {
  if (key.rfind(kValuePrefix, 0) == 0) {
    crash.values[Unescape(key.substr(sizeof kValuePrefix - 1))] = Unescape(value);
  } else if (key.rfind(kAnalyticsPrefix, 0) == 0) {
    crash.analytics[Unescape(key.substr(sizeof kAnalyticsPrefix - 1))] = Unescape(value);
  } else if (key == "enabled") {
    crash.report_enabled = value == "1";
  } else if (key == "per_product") {
    crash.per_product = value == "1";
  } else if (key == "first_install") {
    crash.first_install = value == "1";
  } else if (key == "start_time") {
    crash.start_time = static_cast<int64_t>(ParseUnsigned(value, 10).value_or(0));
  } else if (key == "origin") {
    crash.platform_origin = Unescape(value);
  } else if (key == "bind") {
    ApplyBindLine(crash, value);
  } else if (key == "cdnip") {
    ApplyCdnAddressLine(crash, value);
  } else if (key == "cdnurl") {
    crash.cdn_urls.insert(Unescape(value));
  }
}

void LoadIntoStore(const PendingCrash& crash) {
  ReportStore& store = ReportStore::Instance();
  for (const auto& [key, value] : crash.values) store.SetReportText(key, value);
  store.SetPerProduct(crash.per_product);
  store.SetFirstInstall(crash.first_install);
  if (crash.start_time != 0) store.SetStartTime(crash.start_time);
  if (!crash.platform_origin.empty()) store.SetPlatformOrigin(crash.platform_origin);
  for (const auto& [id, bind] : crash.binds) {
    store.SetBindForce(id, bind.force);
    store.SetBindServerDigest(id, bind.server_digest);
    store.SetBindDownloadFail(id, bind.down_fail);
    store.SetBindInstallFail(id, bind.install_fail);
    store.SetBindTimes(id, bind.down_start, bind.down_end, bind.install_start, bind.install_end);
  }
  for (const auto& [address, uses] : crash.cdn_addresses) {
    for (int i = 0; i < uses; ++i) store.AddCdnAddress(address);
  }
  for (const std::string& url : crash.cdn_urls) store.AddCdnUrl(url);
  store.SetReportEnabled(crash.report_enabled);
  store.SetCrashRecord(crash.record);
  store.SetReportNumber("closetype", 5);
}

// Never destroyed, like the store it is published with.
std::mutex& AnalyticsStateMutex() {
  static std::mutex* const mu = new std::mutex();
  return *mu;
}
std::map<std::string, std::string>& AnalyticsState() {
  static auto* const state = new std::map<std::string, std::string>();
  return *state;
}

std::string ReportStateText() {
  ReportStore& store = ReportStore::Instance();
  std::string text;
  text += "enabled=" + std::string(store.report_enabled() ? "1" : "0") + "\n";
  text += "per_product=" + std::string(store.per_product() ? "1" : "0") + "\n";
  text += "first_install=" + std::string(store.first_install() ? "1" : "0") + "\n";
  text += "start_time=" + std::to_string(store.start_time()) + "\n";
  text += "origin=" + Escape(store.platform_origin()) + "\n";
  for (const auto& [key, value] : store.Values()) {
    text += kValuePrefix + Escape(key) + "=" + Escape(value) + "\n";
  }
  for (const auto& [id, bind] : store.BindRecords()) text += BindLine(id, bind);
  for (const auto& [address, uses] : store.CdnAddresses()) {
    text += "cdnip=" + std::to_string(uses) + " " + Escape(address) + "\n";
  }
  for (const std::string& url : store.CdnUrls()) text += "cdnurl=" + Escape(url) + "\n";
  std::lock_guard<std::mutex> lock(AnalyticsStateMutex());
  for (const auto& [key, value] : AnalyticsState()) {
    text += kAnalyticsPrefix + Escape(key) + "=" + Escape(value) + "\n";
  }
  return text;
}

// Counts changes; a publish covers every change counted before its copy.
std::atomic<uint64_t> g_changes{0};

void OnReportStoreChanged() { PublishReportStateForCrash(); }

}  // namespace

std::string CrashRecordPath(const std::string& temp_dir) { return temp_dir + "oru_crash.rec"; }

bool InstallCrashHandler(const CrashHandlerSetup& setup) {
  CrashSignalSetup signals;
  signals.record_path = setup.record_path;
  if (!setup.executable_path.empty()) signals.dump_path = setup.executable_path + ".dmp";
  const std::string& helper = setup.helper_path.empty() ? setup.executable_path : setup.helper_path;
  if (setup.start_helper && !helper.empty()) {
    signals.helper_argv = {helper, kCrashReportArgument, setup.record_path};
  }
  PublishReportStateForCrash();
  if (!InstallCrashSignals(signals)) return false;
  ReportStore::Instance().SetChangeListener(&OnReportStoreChanged);
  // A change between the first copy and the listener would be missed.
  PublishReportStateForCrash();
  return true;
}

void SetCrashAnalyticsState(std::map<std::string, std::string> state) {
  {
    std::lock_guard<std::mutex> lock(AnalyticsStateMutex());
    AnalyticsState() = std::move(state);
  }
  PublishReportStateForCrash();
}

void PublishReportStateForCrash() {
  // Never destroyed: threads may still write to the store during exit.
  static std::mutex* const publish_mu = new std::mutex();
  static uint64_t published = 0;  // guarded by *publish_mu
  const uint64_t mine = g_changes.fetch_add(1) + 1;
  std::lock_guard<std::mutex> lock(*publish_mu);
  // A copy taken after this change was counted holds it already.
  if (published >= mine) return;
  const uint64_t covered = g_changes.load();
  // Too large a state keeps the previous one: the report then lacks the
  // latest values but the crash fields still reach it.
  PublishCrashState(ReportStateText());
  published = covered;
}

std::optional<PendingCrash> ParseCrashRecord(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  if (!std::getline(lines, line) || line != kRecordHeader) return std::nullopt;
  PendingCrash crash;
  crash.record.crashed = true;
  bool in_state = false;
  bool has_code = false;
  while (std::getline(lines, line)) {
    if (!in_state && line == "state") {
      in_state = true;
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = line.substr(0, equals);
    std::string value = line.substr(equals + 1);
    if (in_state) {
      ApplyStateLine(crash, key, value);
      continue;
    }
    if (!ApplyRecordLine(crash, key, value)) return std::nullopt;
    has_code = has_code || key == "code";
  }
  if (!has_code) return std::nullopt;
  // A location comes whole or not at all.
  if (crash.record.module_file.empty() || crash.record.section.empty()) {
    crash.record.module_file.clear();
    crash.record.section.clear();
    crash.record.offset = 0;
  }
  return crash;
}

bool DeliverPendingCrashReport(const std::string& record_path, const CrashDeliveryHooks& hooks) {
  std::string claimed = record_path + ".sending";
  if (!ClaimFile(record_path, claimed)) return false;
  std::optional<std::string> text = ReadOwnedRegularFile(claimed, kMaxRecordSize);
  std::optional<PendingCrash> crash = text ? ParseCrashRecord(*text) : std::nullopt;
  std::error_code ignored;
  if (!crash) {
    std::filesystem::remove(claimed, ignored);
    return false;
  }
  LoadIntoStore(*crash);
  if (hooks.send_report) {
    hooks.send_report();
  } else {
    SendTrackReport(false);
  }
  // Hook for the analytics crash event.
  if (hooks.queue_crash_event) hooks.queue_crash_event(*crash);
  std::filesystem::remove(claimed, ignored);
  return true;
}

bool IsCrashReportHelperRun(const std::vector<std::string>& arguments) {
  return arguments.size() == 3 && arguments[1] == kCrashReportArgument;
}

std::optional<int> RunCrashReportHelperIfRequested(const std::vector<std::string>& arguments,
                                                   const CrashDeliveryHooks& hooks) {
  if (!IsCrashReportHelperRun(arguments)) return std::nullopt;
  return DeliverPendingCrashReport(arguments[2], hooks) ? 0 : 1;
}

bool StartPendingCrashDelivery(const std::string& executable_path, const std::string& record_path) {
  std::error_code error;
  if (!std::filesystem::exists(record_path, error)) return false;
  return StartDetachedProcess({executable_path, kCrashReportArgument, record_path});
}

}  // namespace oru
