#pragma once
// The services of the product server behind the HTTP layer (internal to
// the server library): which endpoint a path names, and each endpoint's
// answer. Faults, recording and sending live in product_server.cpp.

#include <httplib.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "product_server/json_value.h"
#include "product_server/product_server.h"
#include "product_server/server_config.h"
#include "product_server/server_store.h"

namespace oru::product_server {

// What an endpoint sees of a request.
struct Call {
  std::string method;
  std::string path;   // decoded
  std::string query;  // as sent
  httplib::Params params;  // decoded query
  HeaderLines headers;     // arrival order
  std::string range;       // the Range header, empty when none
  std::string body;
  std::string local_address;
  std::string remote_address;

  std::string Header(const std::string& name) const;
  std::string Param(const std::string& name) const;
};

// An endpoint's answer. The body comes from `body`, or from `file_path`
// starting at `file_offset` when that is set.
struct Answer {
  int status = 200;
  std::string content_type = "text/plain";
  std::string body;
  std::string file_path;
  int64_t file_offset = 0;
  int64_t length = -1;     // bytes announced; -1: body.size()
  int64_t available = -1;  // bytes that exist from the offset on; -1: length
  HeaderLines headers;     // extra header lines
};

// The endpoint a request path names ("unknown" for none).
std::string RouteEndpoint(const std::string& path);
// True for the endpoints that answer product API JSON ({"code":...}).
bool IsApiEndpoint(const std::string& endpoint);

// {"code":code,"msg":message} with the matching HTTP status (the code for
// 4xx/5xx codes, else 200).
Answer ApiError(int code, const std::string& message);
// `json` printed compactly as application/json with `status`.
Answer JsonAnswer(const Json& json, int status = 200);
// {"code":0,"msg":"ok"} and {"code":0,"msg":"ok","data":data}, status 200.
Answer ApiOk();
Answer ApiData(Json data);
// The parsed JSON object of a request body; nullopt for anything else.
std::optional<Json> BodyObject(const Call& call);
// A run of 1 to 18 decimal digits and nothing else; nullopt otherwise.
std::optional<int64_t> ParseDecimal(const std::string& text);

// The endpoints' state and answers. Thread-safe.
class ServerCore {
 public:
  // `store` and `clock` must outlive the core.
  ServerCore(ServerConfig config, ServerStore& store, Clock& clock);

  // Where the server listens; used by the placeholders.
  void SetListening(std::vector<std::string> base_urls, uint16_t port);

  // The answer of `endpoint` (not "admin") to `call`. `fault` carries the
  // package switches (ignore_range, wrong_length).
  Answer Handle(const std::string& endpoint, const Call& call, const Fault& fault);

  // True when `path` is one of the configured collector paths.
  bool IsCollectorPath(const std::string& path);

  void SetProduct(const ProductEntry& product);
  void SetHttpDnsAnswer(const std::string& host, const std::vector<std::string>& addresses);
  void SetRetentionOffer(std::optional<RetentionOfferEntry> offer);

  // Replaces "{base}", "{base:N}", "{port}", "{md5:FILE}" and "{size:FILE}"
  // (FILE in the package folder; an unreadable file gives an empty text).
  std::string ExpandPlaceholders(const std::string& text);

 private:
  struct IssuedToken {
    Clock::WallTime expires;
  };
  struct FileDigest {
    int64_t size = -1;
    int64_t mtime_ns = 0;
    std::string md5;
  };

  Answer Token(const Call& call);
  Answer Series(const Call& call);
  Answer Runtime(const Call& call);
  Answer RuntimeStatic(const Call& call);
  Answer Relation(const Call& call);
  Answer Preheat(const Call& call);
  Answer Slice(const Call& call);
  Answer Alias(const Call& call);
  Answer HttpDns(const Call& call);
  Answer PublicIp(const Call& call);
  Answer TrackId(const Call& call);
  Answer Track(const Call& call);
  Answer Collect(const Call& call);
  Answer Page(const Call& call);
  Answer Package(const Call& call, const Fault& fault);
  Answer Redirect(const Call& call);
  // Support services (support_endpoints.cpp).
  Answer LogUpload(const Call& call);
  Answer TicketUpload(const Call& call);
  struct UploadedFile {
    int64_t id = 0;
    std::string file_name;
    int64_t size = 0;
  };
  // Stores the "file" part of an upload call as `kind`; nullopt with the
  // refusal in *refused otherwise.
  std::optional<UploadedFile> StoreUpload(const Call& call, const std::string& kind, Answer* refused);
  Answer Whitelist(const Call& call);
  Answer LogReport(const Call& call);
  Answer Ticket(const Call& call);
  Answer Offer(const Call& call);
  Answer OfferApply(const Call& call);
  Answer StoredFile(const Call& call);
  // The base URL of the listening address `address` (the first one when
  // it is not listed).
  std::string BaseUrlFor(const std::string& address);
  // True when every element of `list` names by `member` an upload of
  // `kind`; `prefix` comes before the upload id in the member's text
  // (empty: the member is the id as a number).
  bool NamesUploads(const cJSON* list, const char* member, const std::string& prefix, const std::string& kind);

  // nullopt when the call carries a token this server accepts; else the 401.
  std::optional<Answer> CheckToken(const Call& call);
  // The product of a decimal id text; nullopt (and *error set) otherwise.
  std::optional<ProductEntry> FindProduct(const std::string& id_text, Answer* error);
  std::string RuntimeDocument(const ProductEntry& product);
  // Called with mutex_ held.
  std::optional<std::string> Placeholder(const std::string& name);
  std::string ExpandLocked(const std::string& text);
  std::string FileMd5(const std::string& name);

  ServerStore& store_;
  Clock& clock_;

  std::mutex mutex_;  // guards everything below
  ServerConfig config_;
  std::vector<std::string> base_urls_;
  uint16_t port_ = 0;
  std::map<std::string, IssuedToken> tokens_;
  std::map<std::string, FileDigest> digests_;
};

}  // namespace oru::product_server
