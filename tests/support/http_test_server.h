#pragma once
// An in-process HTTP(S) server for tests, on cpp-httplib, with faults that a
// test switches on and off while clients talk to it.
//
//   HttpTestServer server(HttpServerOptions().Addresses({"127.0.0.1", "127.0.0.2"}));
//   server.AddFile("/pkg.bin", data);
//   server.AddFault(FaultRule::For("/pkg.bin").On("127.0.0.2").Times(1).With(Fault::DropAfter(1000)));
//   ... client fetches server.Url("/pkg.bin") ...
//   EXPECT_TRUE(server.WaitForRequests("/pkg.bin", 2, std::chrono::seconds(5)));
//
// (Option records have chainable setters because GCC 12 warns about designated
// initializers that leave members out.)
//
// Every listening address shares ONE port, so that "host:port" of a URL can
// be pinned to any of them (CURLOPT_RESOLVE, HTTP DNS answers, alias hosts).
// The server runs on its own threads: it is listening when the constructor
// returns and is stopped and joined by the destructor. Stalled, delayed and
// throttled answers end at once when the server stops, so shutdown never
// waits for a fault. Every member may be called from any thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace oru::testing {

// Certificate chain and key (PEM files) of an HTTPS server; see test_ca.h.
struct TlsFiles {
  std::string cert_path;
  std::string key_path;
};

struct HttpServerOptions {
  // Loopback addresses to listen on (any 127.0.0.x works without set-up).
  std::vector<std::string> addresses = {"127.0.0.1"};
  // 0 picks a free port that is free on every address.
  uint16_t port = 0;
  // HTTPS when set: every address serves this certificate...
  std::optional<TlsFiles> tls;
  // ...except the addresses listed here (e.g. one node with a bad certificate).
  // Only used when `tls` is set.
  std::map<std::string, TlsFiles> tls_per_address;
  // Connections served at the same time per address (a segmented download
  // opens up to 48).
  int threads_per_address = 48;

  HttpServerOptions& Addresses(std::vector<std::string> v) { addresses = std::move(v); return *this; }
  HttpServerOptions& Port(uint16_t p) { port = p; return *this; }
  HttpServerOptions& Tls(TlsFiles files) { tls = std::move(files); return *this; }
  HttpServerOptions& TlsOn(const std::string& address, TlsFiles files) {
    tls_per_address[address] = std::move(files);
    return *this;
  }
  HttpServerOptions& Threads(int n) { threads_per_address = n; return *this; }
};

// One part of a multipart/form-data body.
struct FormPart {
  std::string name;
  std::string filename;
  std::string content_type;
  std::string content;
};

// What a handler (and the request log) sees of a request.
struct HttpRequest {
  std::string method;                                       // "GET", "HEAD", "POST", ...
  std::string path;                                         // without the query
  std::string target;                                       // path and query as sent
  std::multimap<std::string, std::string> params;           // decoded query (and form) parameters
  std::vector<std::pair<std::string, std::string>> headers;  // sorted by name (case-insensitive)
  std::string body;
  std::vector<FormPart> form_parts;                         // multipart/form-data bodies
  std::string local_address;                                // the address it came in on
  uint16_t local_port = 0;
  std::string remote_address;
  uint16_t remote_port = 0;                                 // with local_address: the connection's id

  // Value of the first header `name` (case-insensitive); empty when absent.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
  // Value of the first query parameter `name`; empty when absent.
  std::string Param(const std::string& name) const;
};

// What a handler answers.
struct HttpResponse {
  int status = 200;
  std::string body;
  std::string content_type = "text/plain";
  std::vector<std::pair<std::string, std::string>> headers;  // extra headers
};

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

// A misbehaviour of the server. Faults combine (e.g. a delay and a drop);
// the named constructors give the common single ones.
struct Fault {
  // Wait this long (real time) before answering.
  std::chrono::milliseconds delay{0};
  // Send this many body bytes, then hold the connection open and send
  // nothing more until ReleaseStalls() or the server stops (the connection
  // is then closed).
  std::optional<int64_t> stall_after;
  // Send this many body bytes, then close the connection (the announced
  // length stays, so the client sees a short body).
  std::optional<int64_t> drop_after;
  // Answer this status (with a short text body) instead of the real answer.
  // 416 carries "Content-Range: bytes */<size>"; 3xx carry no Location.
  int status = 0;
  // Answer a ranged GET with 200 and the whole body.
  bool ignore_range = false;
  // Announce this file length (HEAD Content-Length, GET Content-Length and
  // the total of Content-Range); ranges are judged against it. Bytes beyond
  // the real content are never sent: the connection is closed there.
  std::optional<int64_t> content_length;
  // Answer 302 with this Location (any text, e.g. "http://10.1.2.3/disable.htm"
  // or "ftp://127.0.0.1/x").
  std::string redirect_to;
  // Send the same number of bytes, each one different from the real one.
  bool garbage = false;
  // Send at most this many body bytes per second (0: unlimited).
  int64_t bytes_per_second = 0;

  static Fault Delay(std::chrono::milliseconds d) { Fault f; f.delay = d; return f; }
  static Fault StallAfter(int64_t bytes) { Fault f; f.stall_after = bytes; return f; }
  static Fault DropAfter(int64_t bytes) { Fault f; f.drop_after = bytes; return f; }
  static Fault Status(int code) { Fault f; f.status = code; return f; }
  static Fault IgnoreRange() { Fault f; f.ignore_range = true; return f; }
  static Fault WrongLength(int64_t length) { Fault f; f.content_length = length; return f; }
  static Fault Redirect(std::string url) { Fault f; f.redirect_to = std::move(url); return f; }
  static Fault Garbage() { Fault f; f.garbage = true; return f; }
  static Fault Throttle(int64_t bytes_per_second) { Fault f; f.bytes_per_second = bytes_per_second; return f; }
};

// Where and how often a fault applies. Paths match exactly, or by prefix when
// the rule's path ends in "*"; an empty path matches every path.
struct FaultRule {
  std::string path;
  std::string address;   // listening address; empty: every address
  std::string method;    // "GET", "HEAD", ...; empty: every method
  int times = -1;        // the next N matching requests; -1: always
  Fault fault;

  static FaultRule For(std::string p) { FaultRule r; r.path = std::move(p); return r; }
  FaultRule& On(std::string a) { address = std::move(a); return *this; }
  FaultRule& Method(std::string m) { method = std::move(m); return *this; }
  FaultRule& Times(int n) { times = n; return *this; }
  FaultRule& With(Fault f) { fault = std::move(f); return *this; }
};

// One entry of the request log.
struct RequestRecord : HttpRequest {
  std::string range;                           // the Range header, empty when none
  int status = 0;                              // status the server decided to answer
  int fault_id = 0;                            // the rule that applied, 0 for none
  std::chrono::steady_clock::time_point time;  // arrival (real time)
};

class HttpTestServer {
 public:
  // Binds every address on one port and starts serving. On failure ok() is
  // false and error() says why (tests should ASSERT_TRUE(server.ok())).
  explicit HttpTestServer(HttpServerOptions options = {});
  // Releases every fault that holds a connection, stops and joins all threads.
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  bool ok() const;
  const std::string& error() const;
  uint16_t port() const;
  const std::vector<std::string>& addresses() const;
  // "http" or "https".
  std::string scheme() const;
  // scheme://<first address>:port, without a trailing "/".
  std::string BaseUrl() const;
  // scheme://host:port + path; host may be a listening address or a name the
  // client maps to one (default: the first address). `path` starts with "/".
  std::string Url(const std::string& path) const;
  std::string UrlOn(const std::string& host, const std::string& path) const;

  // --- Files: HEAD (Content-Length, Accept-Ranges) and GET with one range
  // ("bytes=a-b", "bytes=a-", "bytes=-n") -> 206 with Content-Range, 416
  // with "bytes */size" when unsatisfiable; several ranges get the whole
  // body (200). Bodies are streamed, never copied per request.

  // Serves `content` at `path` (replaces an earlier file or handler there).
  void AddFile(const std::string& path, std::string content);
  // Serves the file at `disk_path`, read on each request (suits 1 GiB files).
  // Returns false when it cannot be opened.
  bool AddFileFromDisk(const std::string& path, const std::string& disk_path);
  void RemoveFile(const std::string& path);

  // --- Handlers for arbitrary paths and methods; `method` empty means every
  // method; a path ending in "*" matches by prefix. Handlers run on server
  // threads without server locks held (they may call this object) and take
  // precedence over files. Faults apply to their answers too (all but
  // ignore_range).
  void SetHandler(const std::string& method, const std::string& path, HttpHandler handler);
  void RemoveHandler(const std::string& method, const std::string& path);

  // --- Faults. The first rule (in the order added) that matches a request
  // and has uses left applies; it uses one of its `times`.

  // Adds a rule; returns its id (> 0).
  int AddFault(FaultRule rule);
  // Shorthand: `fault` on every request for `path`, on every address.
  int AddFault(const std::string& path, Fault fault, int times = -1);
  void RemoveFault(int id);
  void ClearFaults();
  // Lets every connection held by a stall fault continue with the rest of its
  // body. Stalls that start later hold again.
  void ReleaseStalls();
  // Connections held by a stall right now.
  int StalledCount() const;
  // Waits (real time, at most `timeout`) until at least `count` connections
  // are held by stalls. False on timeout.
  bool WaitForStalls(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // --- Request log (every request that reached the server, in arrival order).
  std::vector<RequestRecord> Requests() const;
  // Requests whose path matches `path` (same matching as fault rules).
  std::vector<RequestRecord> RequestsFor(const std::string& path) const;
  // Number of requests matching `path` ("" counts all).
  int RequestCount(const std::string& path = "") const;
  // Waits (real time, at most `timeout`) until RequestCount(path) >= count.
  // False on timeout.
  bool WaitForRequests(const std::string& path, int count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  void ClearLog();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace oru::testing
