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
