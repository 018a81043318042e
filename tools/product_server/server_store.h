#pragma once
// What the product server received, kept in one SQLite file so that it
// survives restarts and a vendor can look at it with the sqlite3 shell
// (schema in docs/product_server.md). ":memory:" keeps it for one run.
//
// Thread-safe: one connection, used under one mutex.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;

namespace oru::product_server {

using HeaderLines = std::vector<std::pair<std::string, std::string>>;

// One request as it arrived and how it was answered.
struct RequestRecord {
  int64_t id = 0;        // store row id (0 when it could not be stored)
  std::string endpoint;  // "token", "package", ... (see EndpointNames())
  std::string method;
  std::string path;   // decoded, without the query
  std::string query;  // as sent, without "?"
  HeaderLines headers;  // every header line in arrival order
  std::string body;
  std::string remote_address;
  int remote_port = 0;
  std::string local_address;  // the listening address it came in on
  int status = 0;             // HTTP status answered
  std::string fault;          // the fault applied ("delay_ms=50,status=503"), empty for none
  std::chrono::system_clock::time_point time;

  // Value of the first header `name` (case-insensitive); empty when absent.
  std::string Header(const std::string& name) const;
  // Decoded value of the first query parameter `name`; empty when absent.
  std::string Param(const std::string& name) const;
};

// One tracking report as stored.
struct TrackReport {
  int64_t id = 0;
  int64_t time = 0;  // Unix seconds when it arrived
  std::string client_sign;
  std::string body;  // the JSON object as received
};

// One analytics record as stored (one per record of a collector batch).
struct AnalyticsEvent {
  int64_t id = 0;
  int64_t time_ms = 0;  // Unix milliseconds when its batch arrived
  std::string distinct_id;
  std::string event;  // the record's "event" (empty when it has none)
  std::string type;   // the record's "type" ("track", ...)
  std::string record;  // the record's JSON text exactly as received
  std::string remote_address;
};

class ServerStore {
 public:
  ServerStore() = default;
  ~ServerStore();
  ServerStore(const ServerStore&) = delete;
  ServerStore& operator=(const ServerStore&) = delete;

  // Opens (creating when missing) the store and its tables. False with
  // *error ("cannot open store <path>: <reason>") when the file cannot be
  // opened or is not a store of this server.
  bool Open(const std::string& path, std::string* error);
  void Close();
  bool is_open() const;

  // Appends a request; returns its row id, or 0 when it could not be
  // written (the reason goes to last_error()).
  int64_t AddRequest(const RequestRecord& record);
  // Appends a tracking report; its row id, or 0 on failure.
  int64_t AddTrackReport(int64_t unix_seconds, const std::string& client_sign, const std::string& body);

  // Appends every event of one batch in one transaction (all or none).
  // False on failure (the reason goes to last_error()).
  bool AddEvents(const std::vector<AnalyticsEvent>& events);

  // Stored requests, oldest first, of one endpoint (every endpoint when
  // empty), including those of earlier runs.
  std::vector<RequestRecord> Requests(const std::string& endpoint) const;
  // Every stored tracking report, oldest first.
  std::vector<TrackReport> TrackReports() const;
  // Stored analytics events, oldest first, of one event name (every event
  // when empty), including those of earlier runs.
  std::vector<AnalyticsEvent> Events(const std::string& event_name) const;

  std::string last_error() const;

 private:
  bool Execute(const char* sql, std::string* error);
  // Called with mutex_ held, inside a transaction.
  bool InsertEventsLocked(const std::vector<AnalyticsEvent>& events);
  void NoteError(const std::string& what) const;

  mutable std::mutex mutex_;  // guards everything below
  sqlite3* db_ = nullptr;
  mutable std::string last_error_;
};

// Headers as the store keeps them: a JSON array of [name, value] pairs.
std::string HeadersToJson(const HeaderLines& headers);
HeaderLines HeadersFromJson(const std::string& text);

}  // namespace oru::product_server
