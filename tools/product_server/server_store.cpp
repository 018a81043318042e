#include "product_server/server_store.h"

#include <cjson/cJSON.h>
#include <httplib.h>
#include <sqlite3.h>
#include <strings.h>

#include "product_server/json_value.h"

namespace oru::product_server {
namespace {

constexpr int kSchemaVersion = 2;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS requests (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  time_ms INTEGER NOT NULL,
  endpoint TEXT NOT NULL,
  method TEXT NOT NULL,
  path TEXT NOT NULL,
  query TEXT NOT NULL,
  headers TEXT NOT NULL,
  body BLOB NOT NULL,
  remote_address TEXT NOT NULL,
  remote_port INTEGER NOT NULL,
  local_address TEXT NOT NULL,
  status INTEGER NOT NULL,
  fault TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS requests_by_endpoint ON requests(endpoint);
CREATE TABLE IF NOT EXISTS track_reports (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  time INTEGER NOT NULL,
  client_sign TEXT NOT NULL,
  report TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS events (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  time_ms INTEGER NOT NULL,
  distinct_id TEXT NOT NULL,
  event TEXT NOT NULL,
  type TEXT NOT NULL,
  record TEXT NOT NULL,
  remote_address TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS events_by_name ON events(event);
CREATE TABLE IF NOT EXISTS uploads (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  time_ms INTEGER NOT NULL,
  kind TEXT NOT NULL,
  file_name TEXT NOT NULL,
  size INTEGER NOT NULL,
  content BLOB NOT NULL,
  prod_id TEXT NOT NULL,
  prod_ver TEXT NOT NULL,
  client_sn TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS log_reports (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  time_ms INTEGER NOT NULL,
  body TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS whitelist (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  time_ms INTEGER NOT NULL,
  client_sign TEXT NOT NULL,
  pid INTEGER NOT NULL,
  version TEXT NOT NULL,
  body TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS tickets (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  time_ms INTEGER NOT NULL,
  body TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS offer_applies (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  time_ms INTEGER NOT NULL,
  offer_id TEXT NOT NULL,
  email TEXT NOT NULL COLLATE NOCASE,
  UNIQUE (offer_id, email));
)sql";

constexpr const char* kIdentityHeaders[] = {"X-Prod-Id", "X-Prod-Ver", "X-Client-Sn"};

// A prepared statement, finalised with the object.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  sqlite3_stmt* get() const { return stmt_; }

  void Text(int index, const std::string& value) {
    sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  }
  void Blob(int index, const std::string& value) {
    sqlite3_bind_blob(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  }
  void Int(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }

  std::string ColumnText(int column) const {
    const void* data = sqlite3_column_blob(stmt_, column);
    int size = sqlite3_column_bytes(stmt_, column);
    return data == nullptr ? std::string() : std::string(static_cast<const char*>(data), static_cast<size_t>(size));
  }
  int64_t ColumnInt(int column) const { return sqlite3_column_int64(stmt_, column); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

int64_t UnixMillis(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

RequestRecord ReadRequestRow(const Statement& s) {
  RequestRecord r;
  r.id = s.ColumnInt(0);
  r.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(s.ColumnInt(1)));
  r.endpoint = s.ColumnText(2);
  r.method = s.ColumnText(3);
  r.path = s.ColumnText(4);
  r.query = s.ColumnText(5);
  r.headers = HeadersFromJson(s.ColumnText(6));
  r.body = s.ColumnText(7);
  r.remote_address = s.ColumnText(8);
  r.remote_port = static_cast<int>(s.ColumnInt(9));
  r.local_address = s.ColumnText(10);
  r.status = static_cast<int>(s.ColumnInt(11));
  r.fault = s.ColumnText(12);
  return r;
}

StoredUpload ReadUploadRow(const Statement& s) {
  StoredUpload u;
  u.id = s.ColumnInt(0);
  u.time_ms = s.ColumnInt(1);
  u.kind = s.ColumnText(2);
  u.file_name = s.ColumnText(3);
  u.content = s.ColumnText(4);
  for (int i = 0; i < 3; ++i) u.headers.emplace_back(kIdentityHeaders[i], s.ColumnText(5 + i));
  return u;
}

}  // namespace

std::string StoredUpload::Header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0) return value;
  }
  return {};
}

std::string RequestRecord::Header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0) return value;
  }
  return {};
}

std::string RequestRecord::Param(const std::string& name) const {
  httplib::Params params;
  httplib::detail::parse_query_text(query, params);
  auto it = params.find(name);
  return it == params.end() ? std::string() : it->second;
}

std::string HeadersToJson(const HeaderLines& headers) {
  Json list = Json::Array();
  for (const auto& [name, value] : headers) list.Push(std::move(Json::Array().Push(Json::String(name)).Push(Json::String(value))));
  return list.Print();
}

HeaderLines HeadersFromJson(const std::string& text) {
  HeaderLines out;
  std::optional<Json> doc = Json::Parse(text, nullptr);
  if (!doc || !cJSON_IsArray(doc->node())) return out;
  for (const cJSON* pair = doc->node()->child; pair != nullptr; pair = pair->next) {
    const cJSON* name = cJSON_GetArrayItem(pair, 0);
    const cJSON* value = cJSON_GetArrayItem(pair, 1);
    if (cJSON_IsString(name) && cJSON_IsString(value)) out.emplace_back(name->valuestring, value->valuestring);
  }
  return out;
}

ServerStore::~ServerStore() { Close(); }

bool ServerStore::Execute(const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  if (error != nullptr) *error = message != nullptr ? message : sqlite3_errmsg(db_);
  sqlite3_free(message);
  return false;
}

bool ServerStore::Open(const std::string& path, std::string* error) {
  std::lock_guard lock(mutex_);
  if (db_ != nullptr) {
    sqlite3_close(db_);
    db_ = nullptr;
  }
  std::string reason;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    reason = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
  } else {
    // Another program (the sqlite3 shell) may hold the file for a moment.
    sqlite3_busy_timeout(db_, 2000);
    if (Execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", &reason) && Execute(kSchema, &reason)) {
      Statement version(db_, "PRAGMA user_version");
      int64_t found = version.ok() && sqlite3_step(version.get()) == SQLITE_ROW ? version.ColumnInt(0) : -1;
      if (found > kSchemaVersion) {
        reason = "written by a newer server (schema " + std::to_string(found) + ")";
      } else if (found < kSchemaVersion) {
        Execute(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str(), &reason);
      }
      if (reason.empty()) return true;
    }
  }
  if (error != nullptr) *error = "cannot open store " + path + ": " + reason;
  sqlite3_close(db_);
  db_ = nullptr;
  return false;
}

void ServerStore::Close() {
  std::lock_guard lock(mutex_);
  if (db_ != nullptr) sqlite3_close(db_);
  db_ = nullptr;
}

bool ServerStore::is_open() const {
  std::lock_guard lock(mutex_);
  return db_ != nullptr;
}

void ServerStore::NoteError(const std::string& what) const {
  last_error_ = what + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : "store not open");
}

int64_t ServerStore::AddRequest(const RequestRecord& r) {
  std::lock_guard lock(mutex_);
  if (db_ == nullptr) return 0;
  Statement s(db_,
              "INSERT INTO requests (time_ms, endpoint, method, path, query, headers, body, remote_address, "
              "remote_port, local_address, status, fault) VALUES (?,?,?,?,?,?,?,?,?,?,?,?)");
  if (!s.ok()) {
    NoteError("cannot store a request");
    return 0;
  }
  s.Int(1, UnixMillis(r.time));
  s.Text(2, r.endpoint);
  s.Text(3, r.method);
  s.Text(4, r.path);
  s.Text(5, r.query);
  s.Text(6, HeadersToJson(r.headers));
  s.Blob(7, r.body);
  s.Text(8, r.remote_address);
  s.Int(9, r.remote_port);
  s.Text(10, r.local_address);
  s.Int(11, r.status);
  s.Text(12, r.fault);
  if (sqlite3_step(s.get()) != SQLITE_DONE) {
    NoteError("cannot store a request");
    return 0;
  }
  return sqlite3_last_insert_rowid(db_);
}

int64_t ServerStore::AddTrackReport(int64_t unix_seconds, const std::string& client_sign, const std::string& body) {
  std::lock_guard lock(mutex_);
  if (db_ == nullptr) return 0;
  Statement s(db_, "INSERT INTO track_reports (time, client_sign, report) VALUES (?,?,?)");
  if (!s.ok()) {
    NoteError("cannot store a tracking report");
    return 0;
  }
  s.Int(1, unix_seconds);
  s.Text(2, client_sign);
  s.Text(3, body);
  if (sqlite3_step(s.get()) != SQLITE_DONE) {
    NoteError("cannot store a tracking report");
    return 0;
  }
  return sqlite3_last_insert_rowid(db_);
}

bool ServerStore::InsertEventsLocked(const std::vector<AnalyticsEvent>& events) {
  Statement s(db_,
              "INSERT INTO events (time_ms, distinct_id, event, type, record, remote_address) VALUES (?,?,?,?,?,?)");
  if (!s.ok()) return false;
  for (const AnalyticsEvent& e : events) {
    s.Int(1, e.time_ms);
    s.Text(2, e.distinct_id);
    s.Text(3, e.event);
    s.Text(4, e.type);
    s.Text(5, e.record);
    s.Text(6, e.remote_address);
    if (sqlite3_step(s.get()) != SQLITE_DONE) return false;
    sqlite3_reset(s.get());
  }
  return true;
}

bool ServerStore::AddEvents(const std::vector<AnalyticsEvent>& events) {
  std::lock_guard lock(mutex_);
  if (db_ == nullptr) {
    NoteError("cannot store events");
    return false;
  }
  std::string reason;
  if (!Execute("BEGIN IMMEDIATE", &reason)) {
    last_error_ = "cannot store events: " + reason;
    return false;
  }
  if (!InsertEventsLocked(events)) {
    NoteError("cannot store events");
    Execute("ROLLBACK", nullptr);
    return false;
  }
  if (!Execute("COMMIT", &reason)) {
    last_error_ = "cannot store events: " + reason;
    Execute("ROLLBACK", nullptr);
    return false;
  }
  return true;
}

std::vector<AnalyticsEvent> ServerStore::Events(const std::string& event_name) const {
  std::lock_guard lock(mutex_);
  std::vector<AnalyticsEvent> out;
  if (db_ == nullptr) return out;
  Statement s(db_,
              "SELECT id, time_ms, distinct_id, event, type, record, remote_address FROM events "
              "WHERE ?1 = '' OR event = ?1 ORDER BY id");
  if (!s.ok()) return out;
  s.Text(1, event_name);
  while (sqlite3_step(s.get()) == SQLITE_ROW) {
    out.push_back(AnalyticsEvent{s.ColumnInt(0), s.ColumnInt(1), s.ColumnText(2), s.ColumnText(3),
                                 s.ColumnText(4), s.ColumnText(5), s.ColumnText(6)});
  }
  return out;
}

std::vector<RequestRecord> ServerStore::Requests(const std::string& endpoint) const {
  std::lock_guard lock(mutex_);
  std::vector<RequestRecord> out;
  if (db_ == nullptr) return out;
  Statement s(db_,
              "SELECT id, time_ms, endpoint, method, path, query, headers, body, remote_address, remote_port, "
              "local_address, status, fault FROM requests WHERE ?1 = '' OR endpoint = ?1 ORDER BY id");
  if (!s.ok()) return out;
  s.Text(1, endpoint);
  while (sqlite3_step(s.get()) == SQLITE_ROW) out.push_back(ReadRequestRow(s));
  return out;
}

std::vector<TrackReport> ServerStore::TrackReports() const {
  std::lock_guard lock(mutex_);
  std::vector<TrackReport> out;
  if (db_ == nullptr) return out;
  Statement s(db_, "SELECT id, time, client_sign, report FROM track_reports ORDER BY id");
  if (!s.ok()) return out;
  while (sqlite3_step(s.get()) == SQLITE_ROW) {
    out.push_back(TrackReport{s.ColumnInt(0), s.ColumnInt(1), s.ColumnText(2), s.ColumnText(3)});
  }
  return out;
}

int64_t ServerStore::AddUpload(int64_t time_ms, const StoredUpload& upload) {
  std::lock_guard lock(mutex_);
  if (db_ == nullptr) return 0;
  Statement s(db_,
              "INSERT INTO uploads (time_ms, kind, file_name, size, content, prod_id, prod_ver, client_sn) "
              "VALUES (?,?,?,?,?,?,?,?)");
  if (!s.ok()) {
    NoteError("cannot store an upload");
    return 0;
  }
  s.Int(1, time_ms);
  s.Text(2, upload.kind);
  s.Text(3, upload.file_name);
  s.Int(4, static_cast<int64_t>(upload.content.size()));
  s.Blob(5, upload.content);
  for (int i = 0; i < 3; ++i) s.Text(6 + i, upload.Header(kIdentityHeaders[i]));
  if (sqlite3_step(s.get()) != SQLITE_DONE) {
    NoteError("cannot store an upload");
    return 0;
  }
  return sqlite3_last_insert_rowid(db_);
}

std::vector<StoredUpload> ServerStore::SelectUploads(const char* where, int64_t id, const std::string& kind) const {
  std::lock_guard lock(mutex_);
  std::vector<StoredUpload> out;
  if (db_ == nullptr) return out;
  std::string sql =
      std::string("SELECT id, time_ms, kind, file_name, content, prod_id, prod_ver, client_sn FROM uploads WHERE ") +
      where + " ORDER BY id";
  Statement s(db_, sql.c_str());
  if (!s.ok()) return out;
  // Binding a number the clause does not use is harmless.
  s.Int(1, id);
  s.Text(2, kind);
  while (sqlite3_step(s.get()) == SQLITE_ROW) out.push_back(ReadUploadRow(s));
  return out;
}

std::optional<StoredUpload> ServerStore::Upload(int64_t id) const {
  std::vector<StoredUpload> found = SelectUploads("id = ?1", id, "");
  if (found.empty()) return std::nullopt;
  return std::move(found.front());
}

std::optional<std::string> ServerStore::UploadKind(int64_t id) const {
  std::lock_guard lock(mutex_);
  if (db_ == nullptr) return std::nullopt;
  Statement s(db_, "SELECT kind FROM uploads WHERE id = ?");
  if (!s.ok()) return std::nullopt;
  s.Int(1, id);
  if (sqlite3_step(s.get()) != SQLITE_ROW) return std::nullopt;
  return s.ColumnText(0);
}

std::vector<StoredUpload> ServerStore::Uploads(const std::string& kind) const {
  return SelectUploads("?2 = '' OR kind = ?2", 0, kind);
}

int64_t ServerStore::AddBody(const char* table, int64_t time_ms, const std::string& body) {
  std::lock_guard lock(mutex_);
  if (db_ == nullptr) return 0;
  Statement s(db_, (std::string("INSERT INTO ") + table + " (time_ms, body) VALUES (?,?)").c_str());
  if (!s.ok()) {
    NoteError(std::string("cannot store into ") + table);
    return 0;
  }
  s.Int(1, time_ms);
  s.Text(2, body);
  if (sqlite3_step(s.get()) != SQLITE_DONE) {
    NoteError(std::string("cannot store into ") + table);
    return 0;
  }
  return sqlite3_last_insert_rowid(db_);
}

std::vector<StoredBody> ServerStore::Bodies(const char* table) const {
  std::lock_guard lock(mutex_);
  std::vector<StoredBody> out;
  if (db_ == nullptr) return out;
  Statement s(db_, (std::string("SELECT id, time_ms, body FROM ") + table + " ORDER BY id").c_str());
  if (!s.ok()) return out;
  while (sqlite3_step(s.get()) == SQLITE_ROW) out.push_back(StoredBody{s.ColumnInt(0), s.ColumnInt(1), s.ColumnText(2)});
  return out;
}

int64_t ServerStore::AddLogReport(int64_t time_ms, const std::string& body) { return AddBody("log_reports", time_ms, body); }
int64_t ServerStore::AddTicket(int64_t time_ms, const std::string& body) { return AddBody("tickets", time_ms, body); }
std::vector<StoredBody> ServerStore::LogReports() const { return Bodies("log_reports"); }
std::vector<StoredBody> ServerStore::Tickets() const { return Bodies("tickets"); }

int64_t ServerStore::AddWhitelist(const WhitelistEntry& e) {
  std::lock_guard lock(mutex_);
  if (db_ == nullptr) return 0;
  Statement s(db_, "INSERT INTO whitelist (time_ms, client_sign, pid, version, body) VALUES (?,?,?,?,?)");
  if (!s.ok()) {
    NoteError("cannot store a whitelist entry");
    return 0;
  }
  s.Int(1, e.time_ms);
  s.Text(2, e.client_sign);
  s.Int(3, e.pid);
  s.Text(4, e.version);
  s.Text(5, e.body);
  if (sqlite3_step(s.get()) != SQLITE_DONE) {
    NoteError("cannot store a whitelist entry");
    return 0;
  }
  return sqlite3_last_insert_rowid(db_);
}

std::vector<WhitelistEntry> ServerStore::Whitelist() const {
  std::lock_guard lock(mutex_);
  std::vector<WhitelistEntry> out;
  if (db_ == nullptr) return out;
  Statement s(db_, "SELECT id, time_ms, client_sign, pid, version, body FROM whitelist ORDER BY id");
  if (!s.ok()) return out;
  while (sqlite3_step(s.get()) == SQLITE_ROW) {
    out.push_back(WhitelistEntry{s.ColumnInt(0), s.ColumnInt(1), s.ColumnText(2), s.ColumnInt(3), s.ColumnText(4),
                                 s.ColumnText(5)});
  }
  return out;
}

ApplyResult ServerStore::AddOfferApply(int64_t time_ms, const std::string& offer_id, const std::string& email) {
  std::lock_guard lock(mutex_);
  if (db_ == nullptr) return ApplyResult::kFailed;
  // The unique key decides, so two applications racing cannot both pass.
  Statement s(db_, "INSERT OR IGNORE INTO offer_applies (time_ms, offer_id, email) VALUES (?,?,?)");
  if (!s.ok()) {
    NoteError("cannot store an offer application");
    return ApplyResult::kFailed;
  }
  s.Int(1, time_ms);
  s.Text(2, offer_id);
  s.Text(3, email);
  if (sqlite3_step(s.get()) != SQLITE_DONE) {
    NoteError("cannot store an offer application");
    return ApplyResult::kFailed;
  }
  return sqlite3_changes(db_) == 0 ? ApplyResult::kAlreadyApplied : ApplyResult::kStored;
}

std::vector<OfferApply> ServerStore::OfferApplies() const {
  std::lock_guard lock(mutex_);
  std::vector<OfferApply> out;
  if (db_ == nullptr) return out;
  Statement s(db_, "SELECT id, time_ms, offer_id, email FROM offer_applies ORDER BY id");
  if (!s.ok()) return out;
  while (sqlite3_step(s.get()) == SQLITE_ROW) {
    out.push_back(OfferApply{s.ColumnInt(0), s.ColumnInt(1), s.ColumnText(2), s.ColumnText(3)});
  }
  return out;
}

std::string ServerStore::last_error() const {
  std::lock_guard lock(mutex_);
  return last_error_;
}

}  // namespace oru::product_server
