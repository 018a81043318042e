#include "app/crash_handler.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

#include "platform/crash_signals.h"
#include "telemetry/track_report.h"

namespace oru {
namespace {

constexpr char kRecordHeader[] = "oru-crash-record 1";
constexpr char kValuePrefix[] = "value.";

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

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
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
  }
}

void LoadIntoStore(const PendingCrash& crash) {
  ReportStore& store = ReportStore::Instance();
  for (const auto& [key, value] : crash.values) store.SetReportText(key, value);
  store.SetPerProduct(crash.per_product);
  store.SetFirstInstall(crash.first_install);
  if (crash.start_time != 0) store.SetStartTime(crash.start_time);
  if (!crash.platform_origin.empty()) store.SetPlatformOrigin(crash.platform_origin);
  store.SetReportEnabled(crash.report_enabled);
  store.SetCrashRecord(crash.record);
  store.SetReportNumber("closetype", 5);
}

}  // namespace

std::string CrashRecordPath(const std::string& temp_dir) { return temp_dir + "oru_crash.rec"; }

bool InstallCrashHandler(const CrashHandlerSetup& setup) {
  CrashSignalSetup signals;
  signals.record_path = setup.record_path;
  if (!setup.executable_path.empty()) signals.dump_path = setup.executable_path + ".dmp";
  if (setup.start_helper && !setup.executable_path.empty()) {
    signals.helper_argv = {setup.executable_path, kCrashReportArgument, setup.record_path};
  }
  PublishReportStateForCrash();
  return InstallCrashSignals(signals);
}

void PublishReportStateForCrash() {
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
  // Too large a state keeps the previous one: the report then lacks the
  // latest values but the crash fields still reach it.
  PublishCrashState(text);
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
  std::optional<PendingCrash> crash = ParseCrashRecord(ReadWholeFile(claimed));
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
  if (hooks.queue_crash_event) hooks.queue_crash_event(crash->record);
  std::filesystem::remove(claimed, ignored);
  return true;
}

std::optional<int> RunCrashReportHelperIfRequested(const std::vector<std::string>& arguments,
                                                   const CrashDeliveryHooks& hooks) {
  if (arguments.size() != 3 || arguments[1] != kCrashReportArgument) return std::nullopt;
  return DeliverPendingCrashReport(arguments[2], hooks) ? 0 : 1;
}

bool StartPendingCrashDelivery(const std::string& executable_path, const std::string& record_path) {
  std::error_code error;
  if (!std::filesystem::exists(record_path, error)) return false;
  return StartDetachedProcess({executable_path, kCrashReportArgument, record_path});
}

}  // namespace oru
