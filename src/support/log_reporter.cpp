#include "support/log_reporter.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <memory>
#include <optional>
#include <tuple>

#include "common/json.h"
#include "common/log.h"
#include "platform/file_util.h"
#include "platform/locations.h"
#include "probes/platform_facts.h"
#include "server_api/service_endpoints.h"
#include "support/support_requests.h"

namespace oru {
namespace {

constexpr const char* kLogUploadPath = "/v1/product/downloader/upload-log-file";
constexpr const char* kTicketUploadPath = "/v1/crm/ticket/file/upload";
constexpr const char* kWhitelistPath = "/v1/product/logs/whitelist";
constexpr const char* kLogReportPath = "/v1/product/logs/report";
constexpr const char* kTicketPath = "/v1/support/tickets";
constexpr int64_t kTicketFormId = 10310875932697;

bool IEqualsAt(const std::string& text, size_t pos, std::string_view part) {
  if (pos + part.size() > text.size()) return false;
  for (size_t i = 0; i < part.size(); ++i) {
    const auto a = static_cast<unsigned char>(text[pos + i]);
    const auto b = static_cast<unsigned char>(part[i]);
    if (std::tolower(a) != std::tolower(b)) return false;
  }
  return true;
}

bool IsInstallerLogName(const std::string& name) {
  constexpr std::string_view kPrefix = "qvORU";
  constexpr std::string_view kSuffix = ".log";
  if (name.size() < kPrefix.size() + kSuffix.size()) return false;
  return IEqualsAt(name, 0, kPrefix) && IEqualsAt(name, name.size() - kSuffix.size(), kSuffix);
}

bool IsPlainFile(const std::string& path) { return PathExists(path) && !DirectoryExists(path); }

struct CJsonDeleter {
  void operator()(cJSON* node) const { cJSON_Delete(node); }
};
using CJsonPtr = std::unique_ptr<cJSON, CJsonDeleter>;

// The "data" object of each upload answer, in order (answers without one
// are left out).
std::vector<std::string> UploadDataObjects(const std::vector<std::string>& answers) {
  std::vector<std::string> objects;
  for (const std::string& answer : answers) {
    std::optional<JsonDocument> doc = JsonDocument::Parse(answer);
    if (!doc) continue;
    JsonView data = doc->root().Get("data");
    if (data.exists()) objects.push_back(data.Print());
  }
  return objects;
}

// `object_text` (a printed JSON object) with one more member `name`: the
// array of the given JSON texts. The builder has no arrays, so the array
// member is added on a cJSON tree of the printed object.
std::string WithArrayMember(const std::string& object_text, const char* name,
                            const std::vector<std::string>& elements) {
  CJsonPtr root(cJSON_Parse(object_text.c_str()));
  if (!root) return object_text;
  cJSON* array = cJSON_AddArrayToObject(root.get(), name);
  if (array == nullptr) return object_text;
  for (const std::string& element : elements) {
    cJSON* item = cJSON_Parse(element.c_str());
    if (item != nullptr) cJSON_AddItemToArray(array, item);
  }
  char* printed = cJSON_PrintUnformatted(root.get());
  if (printed == nullptr) return object_text;
  std::string out(printed);
  cJSON_free(printed);
  return out;
}

}  // namespace

std::string InstallerLogFolder(const std::string& temp_dir) {
  return WithTrailingSeparator(temp_dir) + "Quorvane/ORU/";
}

std::string InstallerLogFolder() { return InstallerLogFolder(ProcessLocations().temp_dir); }

std::vector<std::string> CollectInstallerLogs(const std::string& folder, size_t limit) {
  std::vector<FileEntry> logs;
  for (FileEntry& entry : ListFiles(folder)) {
    if (IsInstallerLogName(entry.name)) logs.push_back(std::move(entry));
  }
  // Newest first; equal times by name so the choice does not depend on the
  // order the folder lists them in.
  std::sort(logs.begin(), logs.end(), [](const FileEntry& a, const FileEntry& b) {
    return std::tie(b.mtime_seconds, b.mtime_nanoseconds, a.name) <
           std::tie(a.mtime_seconds, a.mtime_nanoseconds, b.name);
  });
  if (logs.size() > limit) logs.resize(limit);
  std::vector<std::string> paths;
  for (const FileEntry& entry : logs) paths.push_back(entry.path);
  return paths;
}

std::vector<std::string> PackageLogPaths(const std::string& package_log_path) {
  if (package_log_path.empty()) return {};
  std::vector<std::string> paths = {package_log_path};
  if (package_log_path.size() < 4) return paths;
  const std::string stem = package_log_path.substr(0, package_log_path.size() - 4);
  for (const char* sibling : {".SubPack1.log", ".SubPack2.log", ".SubPack3.log"}) paths.push_back(stem + sibling);
  return paths;
}

int32_t LeadingInteger(const std::string& text) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec == std::errc::result_out_of_range) return std::numeric_limits<int32_t>::max();
  if (ec != std::errc() || ptr == text.data()) return 0;
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

// --- CBaseReporter

CBaseReporter::CBaseReporter(const Clock& clock)
    : client_sign_(GetClientSign("Quorvane")),
      creation_time_(std::to_string(UnixSeconds(clock.Now()))),
      ticket_product_id_(report_product_id_),
      version_(GetSelfVersion()),
      own_version_(version_) {}

CBaseReporter::~CBaseReporter() = default;

HeaderList CBaseReporter::JsonHeaders() const {
  return {"Authorization: Bearer " + access_token_, "Content-Type: application/json"};
}

HeaderList CBaseReporter::UploadHeadersBase() const {
  return {"Authorization: Bearer " + access_token_, "Content-Type: multipart/form-data"};
}

void CBaseReporter::UploadEach(const std::vector<std::string>& paths, std::vector<std::string>& uploaded) {
  for (const std::string& path : paths) {
    if (!IsPlainFile(path)) continue;
    if (UploadFile(path)) uploaded.push_back(path);
  }
}

bool CBaseReporter::SendFiles(const std::string& package_log_path) {
  access_token_ = GetAccessToken(report_product_id_, client_sign_, own_version_);
  ready_ = IsReady();
  if (!ready_ || access_token_.empty()) {
    Log(kLogError, "[ERROR] send file failed! not init.");
    return false;
  }
  std::vector<std::string> uploaded;
  UploadEach(CollectInstallerLogs(InstallerLogFolder()), uploaded);
  UploadEach(PackageLogPaths(package_log_path), uploaded);
  return Submit(uploaded, "log");
}

// --- CLogReporter

CLogReporter::CLogReporter(const Clock& clock) : CBaseReporter(clock) {}

HeaderList CLogReporter::UploadHeaders() const {
  HeaderList headers = UploadHeadersBase();
  headers.push_back("X-App-Key: " + GetServiceEndpoints().app_key);
  headers.push_back("X-Client-Type: 1");
  headers.push_back("X-Lang: en-us");
  headers.push_back("X-Client-Sn: " + client_sign());
  headers.push_back("X-Prod-Id: " + report_product_id());
  headers.push_back("X-Prod-Ver: " + version());
  return headers;
}

bool CLogReporter::UploadFile(const std::string& path) {
  const std::string answer = UploadFileWithHostSwitch(kLogUploadPath, UploadHeaders(), path);
  if (ReadApiCode(answer) != 0) {
    Log(kLogError, "[ERROR] upload log, result=[%s]", answer.c_str());
    return false;
  }
  upload_answers_.push_back(answer);
  return true;
}

bool CLogReporter::Submit(const std::vector<std::string>& uploaded, const std::string& /*kind*/) {
  if (uploaded.empty()) return false;
  const int32_t pid = LeadingInteger(report_product_id());
  const std::string whitelist = JsonObjectBuilder()
                                    .AddString("client_sign", client_sign())
                                    .AddInteger("pid", pid)
                                    .AddString("version", own_version())
                                    .Print();
  const int whitelist_code = ReadApiCode(PostJsonWithHostSwitch(kWhitelistPath, JsonHeaders(), whitelist));
  if (whitelist_code != 0) Log(kLogError, "[ERROR] add white list failed! code=[%d].", whitelist_code);

  JsonObjectBuilder report;
  report.AddString("client_sign", client_sign())
      .AddInteger("pid", pid)
      .AddString("version", own_version())
      .AddInteger("type", 2);
  if (!remark_.empty()) report.AddString("remark", remark_);
  const std::string body = WithArrayMember(report.Print(), "files", UploadDataObjects(upload_answers_));
  const std::string answer = PostJsonWithHostSwitch(kLogReportPath, JsonHeaders(), body);
  if (ReadApiCode(answer) != 0) {
    Log(kLogError, "[ERROR] log_reports failed! result=[%s]", answer.c_str());
    return false;
  }
  return true;
}

// --- CSupportReporter

CSupportReporter::CSupportReporter(const Clock& clock) : CBaseReporter(clock) {}

bool CSupportReporter::SetTicket(const std::string& title, const std::string& contents, const std::string& contact) {
  title_ = title;
  contents_ = contents;
  contact_ = contact;
  Log(kLogInfo, "[INFO] contact: %s", contact_.c_str());
  Log(kLogInfo, "[INFO] content: %s", contents_.c_str());
  return true;
}

bool CSupportReporter::UploadFile(const std::string& path) {
  const std::string answer = UploadFileWithHostSwitch(kTicketUploadPath, UploadHeadersBase(), path);
  if (ReadApiCode(answer) != 0) return false;
  upload_answers_.push_back(answer);
  return true;
}

bool CSupportReporter::Submit(const std::vector<std::string>& uploaded, const std::string& /*kind*/) {
  if (uploaded.empty()) return false;
  Log(kLogInfo, "[INFO] report support.");
  const bool is_email = contact_.find('@') != std::string::npos;
  JsonObjectBuilder ticket;
  ticket.AddString("title", title_).AddString("contents", contents_);
  ticket.AddString("contact_type", is_email ? "email" : "mobile").AddString(is_email ? "email" : "mobile", contact_);
  ticket.AddInteger("product_id", LeadingInteger(ticket_product_id()))
      .AddString("product_version", version())
      .AddInteger("ticket_form_id", kTicketFormId);
  const std::string body = WithArrayMember(ticket.Print(), "attachment", UploadDataObjects(upload_answers_));
  const std::string answer = PostJsonWithHostSwitch(kTicketPath, JsonHeaders(), body);
  const int code = ReadApiCode(answer);
  if (code != 0) {
    Log(kLogError, "[ERROR] report support failed! code=[%d].", code);
    return false;
  }
  return true;
}

// --- The automatic report

bool AutoReportErrorLog(bool include_package_log, const std::string& remark, const std::string& product_id,
                        const std::string& product_version, const std::string& package_log_path) {
  Log(kLogInfo, "[INFO] auto report error log, remark=[%s].", remark.c_str());
  CLogReporter reporter;
  if (!product_id.empty()) reporter.SetTicketProductId(product_id);
  if (!product_version.empty()) reporter.SetVersion(product_version);
  reporter.SetRemark(remark);
  const bool result = reporter.SendFiles(include_package_log ? package_log_path : std::string());
  Log(kLogInfo, "[INFO] auto report error log, result=[%d].", result ? 1 : 0);
  return result;
}

}  // namespace oru
