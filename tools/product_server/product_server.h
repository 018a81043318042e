#pragma once
// The reference product server: every service the installer calls (token,
// series, runtime document, strategies, HTTP DNS, public address, track id,
// tracking report, follow-up pages, log and ticket uploads, log reports,
// support tickets, retention offers) and its packages, on one or more
// loopback addresses sharing one port, over HTTP or HTTPS.
//
// Tests start it in-process:
//   ProductServer server;
//   ASSERT_TRUE(server.Start(DemoConfig(dir), &error)) << error;
//   server.SetFault("runtime", Fault::Status(502).Times(1));
//   ... installer code talks to server.base_url(0) ...
//   auto seen = server.Requests("series");
// Vendors run it as `oru-product-server` (main.cpp); the endpoints, the
// configuration, the fault switches and the store are described in
// docs/product_server.md.
//
// Every request is recorded in memory and in the SQLite store. The server
// runs on its own threads; Stop() (and the destructor) ends every
// connection, including those held by a delay fault, and joins them. Every
// member may be called from any thread.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "product_server/server_config.h"
#include "product_server/server_store.h"

namespace oru::product_server {

// A misbehaviour of one endpoint. Parts combine (a delay and a drop).
struct Fault {
  int delay_ms = 0;               // wait this long (real time) before answering
  int status = 0;                 // answer this HTTP status with a short HTML page instead
  bool garbage_body = false;      // send every body byte changed (same length)
  int api_code = 0;               // JSON services: answer {"code":api_code,...} instead (0: off)
  int64_t drop_after_bytes = -1;  // send this many body bytes, then close the connection
  int times = -1;                 // how many requests it applies to; -1: every one
  std::string address;            // only on this listening address; empty: every address
  bool ignore_range = false;      // packages: answer a Range request with the whole file (200)
  int64_t wrong_length = -1;      // packages: announce this length instead of the file's

  static Fault Delay(int ms) { Fault f; f.delay_ms = ms; return f; }
  static Fault Status(int code) { Fault f; f.status = code; return f; }
  static Fault Garbage() { Fault f; f.garbage_body = true; return f; }
  static Fault ApiCode(int code) { Fault f; f.api_code = code; return f; }
  static Fault DropAfter(int64_t bytes) { Fault f; f.drop_after_bytes = bytes; return f; }
  static Fault IgnoreRange() { Fault f; f.ignore_range = true; return f; }
  static Fault WrongLength(int64_t length) { Fault f; f.wrong_length = length; return f; }
  Fault& Times(int n) { times = n; return *this; }
  Fault& On(std::string listen_address) { address = std::move(listen_address); return *this; }

  // "delay_ms=50,status=503" (empty for no fault), as recorded with requests.
  std::string Describe() const;
};

// The endpoint names used by faults and the request log: "token", "series",
// "runtime", "runtime_static", "relation", "preheat", "slice", "alias",
// "httpdns", "ip", "myip", "trackid", "track", "page", "package", "redirect",
// "collect" (the analytics collector), the support services "logupload",
// "ticketupload", "whitelist", "logreport", "ticket", "offer", "offerapply",
// "file" (received files under /files/<id>), "unknown" (any other path) and
// "admin" (the /__admin/ switches; no faults).
const std::vector<std::string>& EndpointNames();

class ProductServer {
 public:
  // `clock` (token lifetimes, record times, HTTP DNS time checks) must
  // outlive the server.
  explicit ProductServer(Clock& clock = SystemClock());
  ~ProductServer();
  ProductServer(const ProductServer&) = delete;
  ProductServer& operator=(const ProductServer&) = delete;

  // Opens the store and listens on every configured address (one port for
  // all; port 0 picks one that is free on all of them). False with *error
  // when the server already runs, the store cannot be opened, the TLS files
  // do not load or an address cannot be bound; nothing keeps running then.
  bool Start(const ServerConfig& config, std::string* error = nullptr);
  // Ends every connection and joins every thread; closes the store. The
  // server may be started again.
  void Stop();
  bool running() const;

  uint16_t port() const;
  // "http[s]://<address>:<port>" of a listening address (no trailing "/");
  // empty for an index out of range.
  std::string base_url(size_t index = 0) const;
  std::vector<std::string> base_urls() const;
  std::string store_path() const;

  // Sets the fault of `endpoint` (on fault.address; an empty address means
  // every address). Replaces an earlier fault for the same pair. False with
  // *error for an unknown endpoint, "admin", or values out of range.
  bool SetFault(const std::string& endpoint, const Fault& fault, std::string* error = nullptr);
  void ClearFaults();

  // Requests of this run (every endpoint when empty), oldest first. A
  // request is listed from its arrival; its status is 0 until it is
  // answered (a delay fault may hold it).
  std::vector<RequestRecord> Requests(const std::string& endpoint = "") const;
  // Waits (real time, at most `timeout`) until `count` requests of
  // `endpoint` (every endpoint when empty) arrived in this run. False on
  // timeout.
  bool WaitForRequests(const std::string& endpoint, size_t count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Requests in the store, earlier runs included (every endpoint when
  // empty). Empty while the server is stopped (the store is closed then).
  std::vector<RequestRecord> StoredRequests(const std::string& endpoint = "") const;
  // Every tracking report in the store, earlier runs included; empty while
  // the server is stopped.
  std::vector<TrackReport> TrackReports() const;
  // Analytics events in the store (one per record the collector took),
  // earlier runs included, of one event name (every event when empty);
  // empty while the server is stopped.
  std::vector<AnalyticsEvent> Events(const std::string& event_name = "") const;

  // Files the upload services stored, earlier runs included, of one kind
  // ("log" or "ticket"; every kind when empty), oldest first; empty while
  // the server is stopped.
  std::vector<StoredUpload> Uploads(const std::string& kind = "") const;
  // Stored log reports, whitelist entries, tickets and offer applications,
  // earlier runs included, oldest first; empty while the server is stopped.
  std::vector<StoredBody> LogReports() const;
  std::vector<WhitelistEntry> Whitelist() const;
  std::vector<StoredBody> Tickets() const;
  std::vector<OfferApply> OfferApplies() const;

  // Sets (nullopt: removes) the retention offer while the server runs
  // (ignored otherwise; the next Start takes it from its configuration).
  void SetRetentionOffer(std::optional<RetentionOfferEntry> offer);

  // Adds or replaces one product while the server runs (ignored otherwise;
  // the next Start takes its products from its configuration).
  void SetProduct(const ProductEntry& product);
  // Sets the HTTP DNS answer for a host name (an empty list removes it)
  // while the server runs.
  void SetHttpDnsAnswer(const std::string& host, const std::vector<std::string>& addresses);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace oru::product_server
