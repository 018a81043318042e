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

// One file received by an upload service.
struct StoredUpload {
  int64_t id = 0;
  int64_t time_ms = 0;  // Unix milliseconds when it arrived
  std::string kind;     // "log" or "ticket"
  std::string file_name;
  std::string content;  // the bytes exactly as received (size() is its size)
  // The identity headers "X-Prod-Id", "X-Prod-Ver" and "X-Client-Sn" in
  // that order, with an empty value for one the request did not carry.
  HeaderLines headers;

  // Value of `name` among `headers` (case-insensitive); empty when absent.
  std::string Header(const std::string& name) const;
};

// A JSON body kept as received (log reports, tickets).
struct StoredBody {
  int64_t id = 0;
  int64_t time_ms = 0;
  std::string body;
};

// One log whitelist announcement.
struct WhitelistEntry {
  int64_t id = 0;
  int64_t time_ms = 0;
  std::string client_sign;  // empty when the body had none
  int64_t pid = 0;          // 0 when the body had no number
  std::string version;
  std::string body;  // the JSON object as received
};

// One application for a retention offer.
struct OfferApply {
  int64_t id = 0;
  int64_t time_ms = 0;
  std::string offer_id;  // as it stood in the path
  std::string email;
};

enum class ApplyResult { kStored, kAlreadyApplied, kFailed };

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

  // Appends an upload (id and time_ms of `upload` are ignored; time_ms is
  // `time_ms`); its row id, or 0 on failure.
  int64_t AddUpload(int64_t time_ms, const StoredUpload& upload);
  // The kind of upload `id`; nullopt when there is none (or on failure).
  std::optional<std::string> UploadKind(int64_t id) const;
  // Upload `id`; nullopt when there is none.
  std::optional<StoredUpload> Upload(int64_t id) const;
  // Stored uploads of one kind (every kind when empty), oldest first.
  std::vector<StoredUpload> Uploads(const std::string& kind) const;

  // Append a log report / a ticket body; the row id, or 0 on failure.
  int64_t AddLogReport(int64_t time_ms, const std::string& body);
  int64_t AddTicket(int64_t time_ms, const std::string& body);
  std::vector<StoredBody> LogReports() const;
  std::vector<StoredBody> Tickets() const;

  // Appends a whitelist entry (its id is ignored); the row id, or 0.
  int64_t AddWhitelist(const WhitelistEntry& entry);
  std::vector<WhitelistEntry> Whitelist() const;

  // Records that `email` applied for `offer_id`; kAlreadyApplied (nothing
  // written) when that e-mail (compared without ASCII case) already did.
  ApplyResult AddOfferApply(int64_t time_ms, const std::string& offer_id, const std::string& email);
  std::vector<OfferApply> OfferApplies() const;

  std::string last_error() const;

 private:
  bool Execute(const char* sql, std::string* error);
  // Called with mutex_ held, inside a transaction.
  bool InsertEventsLocked(const std::vector<AnalyticsEvent>& events);
  int64_t AddBody(const char* table, int64_t time_ms, const std::string& body);
  std::vector<StoredBody> Bodies(const char* table) const;
  std::vector<StoredUpload> SelectUploads(const char* where, int64_t id, const std::string& kind) const;
  void NoteError(const std::string& what) const;

  mutable std::mutex mutex_;  // guards everything below
  sqlite3* db_ = nullptr;
  mutable std::string last_error_;
};

// Headers as the store keeps them: a JSON array of [name, value] pairs.
std::string HeadersToJson(const HeaderLines& headers);
HeaderLines HeadersFromJson(const std::string& text);

}  // namespace oru::product_server
