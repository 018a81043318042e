#include "telemetry/track_report.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>

#include "common/json.h"
#include "common/log.h"
#include "common/url.h"
#include "platform/file_util.h"
#include "platform/locations.h"
#include "platform/system_info.h"
#include "probes/platform_facts.h"
#include "server_api/curl_request.h"
#include "telemetry/report_store.h"

namespace oru {
namespace {

constexpr char kTrackPath[] = "rest/v2/downloader/track?client_sign=";
constexpr auto kPostTimeout = std::chrono::seconds(10);
// Once a joined remark text is longer than this, no further entry is added.
constexpr size_t kRemarkTextLimit = 2000;
constexpr int32_t kCloseTypeDeferredStop = 13;
constexpr int32_t kCloseTypeKeepsDownloadCode = 3;

// ---------------------------------------------------------------- collecting

// The task whose results stand for the run: the product, or in a fork run
// (which installs dependents only) also a dependent. The first one wins.
const TaskReportInput* FindMainTask(const std::vector<TaskReportInput>& tasks, bool fork_run) {
  for (const TaskReportInput& task : tasks) {
    if (task.kind == TaskKind::kProduct) return &task;
    if (fork_run && task.kind == TaskKind::kDependent) return &task;
  }
  return nullptr;
}

const TaskReportInput* FindDotNetTask(const std::vector<TaskReportInput>& tasks) {
  for (const TaskReportInput& task : tasks) {
    if (task.kind == TaskKind::kDotNet) return &task;
  }
  return nullptr;
}

void WriteMainTask(ReportStore& store, const TaskReportInput& task, const std::string& server_version) {
  store.SetReportTime("packagesize", task.package_size);
  store.SetReportTime("downstart", task.down_start);
  store.SetReportTime("downend", task.down_end);
  store.SetReportTime("installstart", task.install_start);
  store.SetReportTime("installend", task.install_end);
  // "downspeed" is written from the totals over all tasks below.
  store.SetReportNumber("downstatus", task.down_status);
  store.SetReportNumber("downcode", task.down_code);
  store.SetReportNumber("installstatus", task.install_status);
  store.SetReportNumber("installcode", task.install_code);
  store.SetReportText("prodcutver", task.version);
  store.SetReportText("xmlprodcutver", server_version);
}

void WriteDotNetTask(ReportStore& store, const TaskReportInput& task) {
  store.SetReportNumber("dotnetdownstate", task.down_status);
  store.SetReportNumber("dotnetinstallstate", task.install_status);
  store.SetReportNumber("dotnetdowncode", task.down_code);
  store.SetReportNumber("dotnetinstallcode", task.install_code);
}

// Earliest start and latest end of one phase over all tasks. A task that
// started but has not ended counts as ending now.
struct Span {
  int64_t start = 0;
  int64_t end = 0;

  void Add(int64_t task_start, int64_t task_end, int64_t now) {
    if (task_start != 0 && task_end == 0) task_end = now;
    if (task_start != 0 && (start == 0 || task_start < start)) start = task_start;
    if (task_end > end) end = task_end;
  }
  int64_t Seconds() const { return (start != 0 && end > start) ? end - start : 0; }
};

void WriteTotals(ReportStore& store, const std::vector<TaskReportInput>& tasks, int64_t now) {
  Span download;
  Span install;
  int64_t total_size = 0;
  for (const TaskReportInput& task : tasks) {
    download.Add(task.down_start, task.down_end, now);
    install.Add(task.install_start, task.install_end, now);
    total_size += task.package_size;
  }
  const int64_t down_seconds = download.Seconds();
  const int64_t speed = down_seconds == 0 ? 0 : total_size / down_seconds;
  store.SetReportNumber("downtime", static_cast<int32_t>(down_seconds));
  store.SetReportNumber("installtime", static_cast<int32_t>(install.Seconds()));
  store.SetReportNumber("downspeed", static_cast<int32_t>(speed));
}

// ------------------------------------------------------------------ building

std::string DigitsOf(const std::string& text) {
  std::string digits;
  std::copy_if(text.begin(), text.end(), std::back_inserter(digits), [](char c) { return c >= '0' && c <= '9'; });
  return digits;
}

template <typename Range, typename Format>
std::string Join(const Range& items, const char* separator, Format format) {
  std::string out;
  for (const auto& item : items) {
    if (!out.empty()) out += separator;
    out += format(item);
  }
  return out;
}

std::string DashWhenEmpty(std::string text) { return text.empty() ? "-" : text; }

std::string JoinRemarks(const std::vector<std::string>& entries) {
  std::string out;
  for (const std::string& entry : entries) {
    if (out.size() > kRemarkTextLimit) break;
    if (!out.empty()) out += ",";
    out += entry;
  }
  return out;
}

// A number the store keeps as unsigned decimal, back as its 32-bit value;
// 0 when missing or not a number.
int32_t StoredNumber(const std::map<std::string, std::string>& values, const std::string& key) {
  auto it = values.find(key);
  if (it == values.end()) return 0;
  uint32_t number = 0;
  const char* begin = it->second.data();
  const char* end = begin + it->second.size();
  auto [ptr, ec] = std::from_chars(begin, end, number);
  if (ec != std::errc() || ptr != end) return 0;
  return static_cast<int32_t>(number);
}

std::string StoredText(const std::map<std::string, std::string>& values, const std::string& key) {
  auto it = values.find(key);
  return it == values.end() ? std::string() : it->second;
}

// What each report states about its product.
struct ReportSubject {
  std::string product_id;
  std::string name_pid;  // "orunamepid"
  int32_t down_status = 0;
  int32_t down_code = 0;
  int32_t install_status = 0;
  int32_t install_code = 0;
  bool with_binds = true;
};

std::string DownloadStateCode(const ReportSubject& subject, bool crashed,
                              const std::map<std::string, std::string>& values) {
  const int32_t close_type = StoredNumber(values, "closetype");
  if (StoredText(values, "resumedown") == "2" || close_type == kCloseTypeKeepsDownloadCode) return "1000";
  switch (subject.down_status) {
    case 3:
      return "1000";
    case 2: {
      char digits[16];
      std::snprintf(digits, sizeof digits, "%02d", subject.down_code);
      return std::string("10") + digits;
    }
    case 1:
      return crashed ? "1016" : "1015";
    case 0:
      return close_type == kCloseTypeDeferredStop ? "1013" : "1017";
    default:
      return "1099";
  }
}

std::string InstallStateCode(const ReportSubject& subject) {
  switch (subject.install_status) {
    case 3:
      return "2000";
    case 2:
      if (subject.install_code == 5) return "2002";
      if (subject.install_code == 1) return "2001";
      return "2003";
    case 1:
      return "2004";
    default:
      return "2005";
  }
}

// Minus the bias in whole hours, halves away from zero (UTC+5:30 -> 6),
// as the unsigned decimal of its 32 bits: west of UTC reads 2^32 - hours.
std::string TimeZoneText(int32_t bias_minutes) {
  const int64_t minutes = -static_cast<int64_t>(bias_minutes);
  const int64_t hours = minutes >= 0 ? (minutes + 30) / 60 : -((-minutes + 30) / 60);
  return std::to_string(static_cast<uint32_t>(static_cast<int32_t>(hours)));
}

std::string CrashAddressText(uint64_t address) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(address));
  return text;
}

// Everything that is the same for every report of one sending.
struct ReportContext {
  bool deferred = false;
  std::string version;
  std::string name_digits;
  std::string cdn_addresses;
  std::string cdn_urls;
  int64_t start_time = 0;
  int64_t end_time = 0;
  CrashRecord crash;
  std::map<int32_t, BindRecord> binds;
  std::string remark1;
  std::string remark2;
  bool first_install = true;
  const Clock* clock = nullptr;
};

// Adds a text member unless one of that name is there already.
void AddText(JsonObjectBuilder& report, const std::string& name, const std::string& value) {
  if (report.Has(name)) return;
  report.AddString(name, value);
}

void AddBindFields(JsonObjectBuilder& report, const std::map<int32_t, BindRecord>& binds) {
  AddText(report, "bindtasks", Join(binds, ";", [](const auto& item) {
            return std::to_string(item.first) + "," + (item.second.force ? "1" : "0");
          }));
  AddText(report, "binddownfail", DashWhenEmpty(Join(binds, ";", [](const auto& item) {
            return std::to_string(item.first) + "," + std::to_string(item.second.down_fail);
          })));
  AddText(report, "bindinstallfail", DashWhenEmpty(Join(binds, ";", [](const auto& item) {
            return std::to_string(item.first) + "," + std::to_string(item.second.install_fail);
          })));
  AddText(report, "binddowntime", Join(binds, ";", [](const auto& item) {
            return std::to_string(item.first) + ":" + std::to_string(item.second.down_start) + "," +
                   std::to_string(item.second.down_end);
          }));
  AddText(report, "bindinstalltime", Join(binds, ";", [](const auto& item) {
            return std::to_string(item.first) + ":" + std::to_string(item.second.install_start) + "," +
                   std::to_string(item.second.install_end);
          }));
}

void AddCrashFields(JsonObjectBuilder& report, const CrashRecord& crash) {
  AddText(report, "crash", crash.crashed ? "1" : "0");
  AddText(report, "crashcode", std::to_string(crash.code));
  AddText(report, "crashattr", CrashAddressText(crash.address));
  AddText(report, "crashoffset", std::to_string(crash.offset));
  AddText(report, "crashfilename", crash.module_file);
  AddText(report, "crashsection", crash.section);
}

void AddSystemFields(JsonObjectBuilder& report, bool deferred) {
  AddText(report, "winver", deferred ? "unknown" : GetWinVersion());
  AddText(report, "winbits", deferred ? "0" : (IsWow64() ? "64" : "32"));
  AddText(report, "auto_install", deferred ? "2" : "0");
  AddText(report, "iever", GetIeVersion());
}

void AddLocaleFields(JsonObjectBuilder& report, bool deferred) {
  const MachineFacts& facts = GetMachineFacts();
  AddText(report, "timezone", deferred ? "0" : TimeZoneText(facts.time_zone_bias_minutes));
  AddText(report, "syslcid", deferred ? "0" : std::to_string(facts.system_default_lcid));
  AddText(report, "srceensize", std::to_string(facts.screen_width) + "*" + std::to_string(facts.screen_height));
}

std::string BuildReport(const ReportContext& context, const ReportSubject& subject,
                        const std::map<std::string, std::string>& values) {
  JsonObjectBuilder report;
  AddText(report, "product_id", subject.product_id);
  AddText(report, "oruver", "204");
  AddText(report, "oruversion", context.version);
  AddText(report, "orunamepid", subject.name_pid);
  for (const auto& [key, value] : values) AddText(report, key, value);
  AddSystemFields(report, context.deferred);
  AddText(report, "orustart", std::to_string(context.start_time));
  AddText(report, "oruend", std::to_string(context.end_time));
  AddText(report, "downstate", DownloadStateCode(subject, context.crash.crashed, values));
  AddText(report, "installstate", InstallStateCode(subject));
  AddText(report, "cdniplist", context.cdn_addresses);
  AddText(report, "cdnurllist", context.cdn_urls);
  AddBindFields(report, subject.with_binds ? context.binds : std::map<int32_t, BindRecord>{});
  AddCrashFields(report, context.crash);
  AddLocaleFields(report, context.deferred);
  AddText(report, "oruclose", std::to_string(UnixSeconds(context.clock->Now())));
  AddText(report, "remark1", context.remark1);
  AddText(report, "remark2", context.remark2);
  AddText(report, "remark3", "");
  AddText(report, "orutrackid", StoredText(values, "client_sign"));
  if (!report.Has("is_first_install")) report.AddInteger("is_first_install", context.first_install ? 1 : 0);
  return report.Print();
}

ReportContext GatherContext(bool deferred, const Clock& clock) {
  ReportStore& store = ReportStore::Instance();
  ReportContext context;
  context.deferred = deferred;
  context.clock = &clock;
  context.version = GetSelfVersion();
  context.name_digits = DigitsOf(GetSelfFileName());
  context.cdn_addresses = DashWhenEmpty(Join(store.CdnAddresses(), ",", [](const auto& item) { return item.first; }));
  context.cdn_urls = DashWhenEmpty(Join(store.CdnUrls(), ",", [](const std::string& url) { return url; }));
  context.start_time = store.start_time();
  context.end_time = UnixSeconds(clock.Now());
  context.crash = store.Crash();
  context.binds = store.BindRecords();
  context.remark1 = JoinRemarks(store.Remarks1());
  context.remark2 = JoinRemarks(store.Remarks2());
  context.first_install = store.first_install();
  return context;
}

// One report ready to leave.
struct BuiltReport {
  std::string product_id;
  std::string url;
  std::string json;
};

std::string TrackUrl(const std::string& origin, const std::map<std::string, std::string>& values) {
  return origin + kTrackPath + UrlEncode(StoredText(values, "client_sign"));
}

BuiltReport BuildNormalReport(const ReportContext& context) {
  ReportSnapshot snapshot = ReportStore::Instance().UpdateAndSnapshot({});
  ReportSubject subject;
  subject.product_id = StoredText(snapshot.values, "product_id");
  subject.name_pid = context.name_digits;
  subject.down_status = StoredNumber(snapshot.values, "downstatus");
  subject.down_code = StoredNumber(snapshot.values, "downcode");
  subject.install_status = StoredNumber(snapshot.values, "installstatus");
  subject.install_code = StoredNumber(snapshot.values, "installcode");
  return BuiltReport{subject.product_id, TrackUrl(snapshot.platform_origin, snapshot.values),
                     BuildReport(context, subject, snapshot.values)};
}

BuiltReport BuildProductReport(const ReportContext& context, int32_t product_id, const BindRecord& record) {
  const std::string id = std::to_string(product_id);
  ReportSnapshot snapshot = ReportStore::Instance().UpdateAndSnapshot({
      {"product_id", id},
      {"startupproduct", std::to_string(static_cast<uint32_t>(product_id))},
      {"serverxmlmd5", record.server_digest},
  });
  ReportSubject subject;
  subject.product_id = id;
  subject.name_pid = id;
  subject.down_status = record.down_fail == 0 ? 3 : 2;
  subject.down_code = record.down_fail;
  subject.install_status = record.install_fail == 0 ? 3 : 2;
  subject.install_code = record.install_fail;
  subject.with_binds = false;
  return BuiltReport{id, TrackUrl(snapshot.platform_origin, snapshot.values),
                     BuildReport(context, subject, snapshot.values)};
}

std::vector<BuiltReport> BuildReports(bool deferred, const Clock& clock) {
  ReportStore& store = ReportStore::Instance();
  if (!store.report_enabled()) return {};
  if (store.Get("client_sign").value_or("").empty()) return {};

  ReportContext context = GatherContext(deferred, clock);
  if (deferred && store.Get("closetype") == std::to_string(kCloseTypeDeferredStop)) {
    store.SetReportNumber("downstatus", 0);
  }
  std::vector<BuiltReport> reports;
  if (!store.per_product()) {
    reports.push_back(BuildNormalReport(context));
    return reports;
  }
  for (const auto& [product_id, record] : context.binds) {
    reports.push_back(BuildProductReport(context, product_id, record));
  }
  return reports;
}

// ------------------------------------------------------------------- sending

// The product id as part of a file name: anything but [A-Za-z0-9._-]
// becomes "_", so a configured value can never leave the folder.
std::string FileNamePart(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    const bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' ||
                       c == '_' || c == '-';
    if (!plain) c = '_';
  }
  return out;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Creates `path` only when no file (or link) of that name exists, and
// writes `data` to it. False when it exists or cannot be written.
bool WriteNewFile(const std::string& path, const std::string& data) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wx"));
  if (!file) return false;
  std::error_code ignored;
  std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                               ignored);
  bool written = std::fwrite(data.data(), 1, data.size(), file.get()) == data.size();
  written = (std::fclose(file.release()) == 0) && written;
  // A torn copy is worse than none.
  if (!written) RemoveFile(path);
  return written;
}

void SaveLocalCopy(const BuiltReport& report, const Clock& clock) {
  const std::string name = "ORU_" + FileNamePart(report.product_id) + "_T" + GetTimestampText(clock) + ".json";
  const std::string path = JoinPath(ProcessLocations().temp_dir, name);
  if (WriteNewFile(path, report.json)) return;
  // An earlier report of the same second keeps its copy.
  if (PathExists(path)) return;
  Log(kLogWarn, "[WARN] track report copy not written: %s", path.c_str());
}

void PostReport(const BuiltReport& report) {
  int32_t result = 0;
  CurlRequest(RequestMethod::Post, report.url, HeaderList{"Content-Type: application/json"}, false, false,
              report.json, &result, kPostTimeout);
  if (result != 0) Log(kLogWarn, "[WARN] track report post failed, result=[%d].", result);
}

}  // namespace

bool CollectTaskReport(const std::vector<TaskReportInput>& tasks, bool fork_run, const std::string& server_version,
                       const Clock& clock) {
  if (tasks.empty()) return false;
  ReportStore& store = ReportStore::Instance();
  if (const TaskReportInput* main = FindMainTask(tasks, fork_run)) WriteMainTask(store, *main, server_version);
  if (const TaskReportInput* dotnet = FindDotNetTask(tasks)) WriteDotNetTask(store, *dotnet);
  if (!fork_run) {
    for (const TaskReportInput& task : tasks) {
      if (task.kind != TaskKind::kDependent) continue;
      store.SetBindTimes(task.product_id, static_cast<int32_t>(task.down_start), static_cast<int32_t>(task.down_end),
                         static_cast<int32_t>(task.install_start), static_cast<int32_t>(task.install_end));
    }
  }
  WriteTotals(store, tasks, UnixSeconds(clock.Now()));
  return true;
}

void SendTrackReport(bool deferred_consent, const Clock& clock) {
  // Every report is complete before the first request: no store lock is
  // held while the network is slow, so setters on other threads never wait.
  for (const BuiltReport& report : BuildReports(deferred_consent, clock)) {
    PostReport(report);
    SaveLocalCopy(report, clock);
  }
}

std::vector<std::string> BuildTrackReports(bool deferred_consent, const Clock& clock) {
  std::vector<std::string> texts;
  for (BuiltReport& report : BuildReports(deferred_consent, clock)) texts.push_back(std::move(report.json));
  return texts;
}

}  // namespace oru
