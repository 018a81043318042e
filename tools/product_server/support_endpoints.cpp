// The support services of the product server: log and ticket uploads, the
// log whitelist and report, support tickets and the retention offer.
#include "product_server/endpoints.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cmath>

#include "product_server/multipart.h"

namespace oru::product_server {
namespace {

constexpr int kAlreadyRedeemed = 366001;
const std::string kApplyPrefix = "/v1/product/downloader/recovery/";
const std::string kApplySuffix = "/apply";

int64_t UnixMillis(Clock::WallTime t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

const char* StringMember(const cJSON* object, const char* name) {
  const cJSON* m = cJSON_GetObjectItemCaseSensitive(object, name);
  return cJSON_IsString(m) ? m->valuestring : nullptr;
}

// The whole number `name` of `object`; 0 when it is not one.
int64_t WholeMember(const cJSON* object, const char* name) {
  const cJSON* m = cJSON_GetObjectItemCaseSensitive(object, name);
  if (!cJSON_IsNumber(m) || std::floor(m->valuedouble) != m->valuedouble || std::fabs(m->valuedouble) > 9.0e15) {
    return 0;
  }
  return static_cast<int64_t>(m->valuedouble);
}

// The first part named "file" that carries a file name; nullptr when none.
const FormPart* FilePart(const std::vector<FormPart>& parts) {
  auto it = std::find_if(parts.begin(), parts.end(), [](const FormPart& p) {
    return p.name == "file" && p.file_name && !p.file_name->empty();
  });
  return it == parts.end() ? nullptr : &*it;
}

}  // namespace

std::string ServerCore::BaseUrlFor(const std::string& address) {
  std::lock_guard lock(mutex_);
  const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
  for (const std::string& base : base_urls_) {
    if (base.find("://" + host + ":") != std::string::npos) return base;
  }
  return base_urls_.empty() ? std::string() : base_urls_.front();
}

std::optional<ServerCore::UploadedFile> ServerCore::StoreUpload(const Call& call, const std::string& kind,
                                                                Answer* refused) {
  if (call.method != "POST") {
    *refused = ApiError(405, "use POST");
    return std::nullopt;
  }
  if (std::optional<Answer> no_token = CheckToken(call)) {
    *refused = *no_token;
    return std::nullopt;
  }
  std::optional<std::string> boundary = MultipartBoundary(call.Header("Content-Type"));
  if (!boundary) {
    *refused = ApiError(400, "the body must be multipart/form-data with a boundary");
    return std::nullopt;
  }
  std::string why;
  std::optional<std::vector<FormPart>> parts = ParseMultipart(call.body, *boundary, &why);
  const FormPart* file = parts ? FilePart(*parts) : nullptr;
  if (!parts) *refused = ApiError(400, "multipart body: " + why);
  if (parts && file == nullptr) *refused = ApiError(400, "no file part \"file\" with a file name");
  if (file == nullptr) return std::nullopt;
  // Vendors may save received files under their names.
  if (!IsSafeName(*file->file_name)) {
    *refused = ApiError(400, "the file name must be a single plain name");
    return std::nullopt;
  }
  StoredUpload upload;
  upload.kind = kind;
  upload.file_name = *file->file_name;
  upload.content = file->content;
  for (const char* name : {"X-Prod-Id", "X-Prod-Ver", "X-Client-Sn"}) upload.headers.emplace_back(name, call.Header(name));
  int64_t id = store_.AddUpload(UnixMillis(clock_.Now()), upload);
  if (id == 0) {
    *refused = ApiError(500, "cannot store the file: " + store_.last_error());
    return std::nullopt;
  }
  return UploadedFile{id, upload.file_name, static_cast<int64_t>(upload.content.size())};
}

Answer ServerCore::LogUpload(const Call& call) {
  Answer refused;
  std::optional<UploadedFile> file = StoreUpload(call, "log", &refused);
  if (!file) return refused;
  Json data = Json::Object();
  data.Add("file_id", Json::Integer(file->id))
      .Add("file_name", Json::String(file->file_name))
      .Add("size", Json::Integer(file->size))
      .Add("url", Json::String(BaseUrlFor(call.local_address) + "/files/" + std::to_string(file->id)));
  return ApiData(std::move(data));
}

Answer ServerCore::TicketUpload(const Call& call) {
  Answer refused;
  std::optional<UploadedFile> file = StoreUpload(call, "ticket", &refused);
  if (!file) return refused;
  Json data = Json::Object();
  data.Add("token", Json::String("att-" + std::to_string(file->id)))
      .Add("file_name", Json::String(file->file_name))
      .Add("size", Json::Integer(file->size));
  return ApiData(std::move(data));
}

Answer ServerCore::Whitelist(const Call& call) {
  if (call.method != "POST") return ApiError(405, "use POST");
  if (std::optional<Answer> refused = CheckToken(call)) return *refused;
  std::optional<Json> body = BodyObject(call);
  if (!body) return ApiError(400, "body is not a JSON object");
  WhitelistEntry entry;
  entry.time_ms = UnixMillis(clock_.Now());
  const char* sign = StringMember(body->node(), "client_sign");
  const char* version = StringMember(body->node(), "version");
  entry.client_sign = sign != nullptr ? sign : "";
  entry.version = version != nullptr ? version : "";
  entry.pid = WholeMember(body->node(), "pid");
  entry.body = call.body;
  if (store_.AddWhitelist(entry) == 0) return ApiError(500, "cannot store the entry: " + store_.last_error());
  return ApiOk();
}

bool ServerCore::NamesUploads(const cJSON* list, const char* member, const std::string& prefix,
                              const std::string& kind) {
  if (!cJSON_IsArray(list)) return false;
  for (const cJSON* e = list->child; e != nullptr; e = e->next) {
    const cJSON* ref = cJSON_GetObjectItemCaseSensitive(e, member);
    std::optional<int64_t> id;
    if (prefix.empty() && cJSON_IsNumber(ref) && ref->valuedouble >= 1 && ref->valuedouble < 9.0e15 &&
        std::floor(ref->valuedouble) == ref->valuedouble) {
      id = static_cast<int64_t>(ref->valuedouble);
    } else if (!prefix.empty() && cJSON_IsString(ref) && std::string(ref->valuestring).rfind(prefix, 0) == 0) {
      id = ParseDecimal(std::string(ref->valuestring).substr(prefix.size()));
    }
    if (!id || store_.UploadKind(*id) != kind) return false;
  }
  return true;
}

Answer ServerCore::LogReport(const Call& call) {
  if (call.method != "POST") return ApiError(405, "use POST");
  if (std::optional<Answer> refused = CheckToken(call)) return *refused;
  std::optional<Json> body = BodyObject(call);
  if (!body) return ApiError(400, "body is not a JSON object");
  const cJSON* files = cJSON_GetObjectItemCaseSensitive(body->node(), "files");
  if (cJSON_GetArraySize(files) == 0 || !NamesUploads(files, "file_id", "", "log")) {
    return ApiError(422, "unknown file");
  }
  int64_t id = store_.AddLogReport(UnixMillis(clock_.Now()), call.body);
  if (id == 0) return ApiError(500, "cannot store the report: " + store_.last_error());
  return ApiData(std::move(Json::Object().Add("report_id", Json::Integer(id))));
}

Answer ServerCore::Ticket(const Call& call) {
  if (call.method != "POST") return ApiError(405, "use POST");
  if (std::optional<Answer> refused = CheckToken(call)) return *refused;
  std::optional<Json> body = BodyObject(call);
  if (!body) return ApiError(400, "body is not a JSON object");
  // A ticket may come without attachments; those it lists must exist.
  const cJSON* attachments = cJSON_GetObjectItemCaseSensitive(body->node(), "attachment");
  if (attachments != nullptr && !NamesUploads(attachments, "token", "att-", "ticket")) {
    return ApiError(422, "unknown file");
  }
  int64_t id = store_.AddTicket(UnixMillis(clock_.Now()), call.body);
  if (id == 0) return ApiError(500, "cannot store the ticket: " + store_.last_error());
  return ApiData(std::move(Json::Object().Add("ticket_id", Json::Integer(id))));
}

Answer ServerCore::Offer(const Call& call) {
  if (call.method != "GET" && call.method != "HEAD") return ApiError(405, "use GET");
  if (std::optional<Answer> refused = CheckToken(call)) return *refused;
  std::optional<RetentionOfferEntry> offer;
  {
    std::lock_guard lock(mutex_);
    offer = config_.retention_offer;
  }
  if (!offer) return ApiData(Json::Null());
  Json tips = Json::Object();
  tips.Add("title", Json::String(offer->title)).Add("content", Json::String(offer->content));
  Json data = Json::Object();
  data.Add("id", Json::Integer(offer->id)).Add("type", Json::Integer(offer->type)).Add("tips", std::move(tips));
  return ApiData(std::move(data));
}

Answer ServerCore::OfferApply(const Call& call) {
  if (call.method != "POST") return ApiError(405, "use POST");
  if (std::optional<Answer> refused = CheckToken(call)) return *refused;
  const std::string id_text =
      call.path.substr(kApplyPrefix.size(), call.path.size() - kApplyPrefix.size() - kApplySuffix.size());
  std::optional<int64_t> id = ParseDecimal(id_text);
  bool known = false;
  {
    std::lock_guard lock(mutex_);
    known = id && config_.retention_offer && config_.retention_offer->id == *id;
  }
  if (!known) return ApiError(404, "no such offer");
  std::optional<Json> body = BodyObject(call);
  const char* email = body ? StringMember(body->node(), "email") : nullptr;
  if (email == nullptr || *email == '\0') return ApiError(400, "body must be a JSON object with an \"email\" text");
  switch (store_.AddOfferApply(UnixMillis(clock_.Now()), id_text, email)) {
    case ApplyResult::kStored: return ApiOk();
    case ApplyResult::kAlreadyApplied: return ApiError(kAlreadyRedeemed, "already redeemed");
    case ApplyResult::kFailed: break;
  }
  return ApiError(500, "cannot store the application: " + store_.last_error());
}

Answer ServerCore::StoredFile(const Call& call) {
  Answer a;
  a.status = 404;
  a.body = "not found\n";
  bool open = false;
  {
    // Received files are shown like the admin reads, and only with them.
    std::lock_guard lock(mutex_);
    open = config_.admin_enabled;
  }
  if (call.method != "GET" && call.method != "HEAD") {
    a.status = 405;
    a.body = "use GET\n";
    return a;
  }
  std::optional<int64_t> id = ParseDecimal(call.path.substr(std::string("/files/").size()));
  std::optional<StoredUpload> upload = open && id ? store_.Upload(*id) : std::nullopt;
  if (!upload) return a;
  a.status = 200;
  a.content_type = "application/octet-stream";
  a.body = std::move(upload->content);
  return a;
}

}  // namespace oru::product_server
