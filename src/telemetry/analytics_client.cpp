#include "telemetry/analytics_client.h"

#include <curl/curl.h>
#include <zlib.h>

#include <cstdio>
#include <ctime>
#include <deque>
#include <exception>
#include <fstream>
#include <iostream>
#include <locale>
#include <mutex>
#include <sstream>
#include <stop_token>
#include <utility>

#include "common/url.h"
#include "server_api/curl_request.h"

namespace qv_analytics {

namespace {

constexpr size_t kQueueCapacity = 100;
constexpr size_t kBatchSize = 30;
constexpr size_t kMaxTextBytes = 8192;
constexpr size_t kMaxNameBytes = 100;
constexpr size_t kMaxDistinctIdBytes = 255;
constexpr const char* kUserAgent = "QvAnalytics CPP SDK 0.8";
constexpr std::chrono::milliseconds kSendTimeout{3000};
constexpr std::chrono::milliseconds kDefaultShutdownBound{5000};

void Diagnostic(const std::string& line) { std::cerr << line << std::endl; }

std::string QuoteText(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
  return out + "\"";
}

std::string FormatNumber(double value) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << value;
  return out.str();
}

// std::localtime shares one buffer per process.
std::mutex& LocalTimeMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string FormatLocalTime(int64_t seconds, int milliseconds) {
  std::tm parts{};
  {
    std::lock_guard lock(LocalTimeMutex());
    const std::time_t t = static_cast<std::time_t>(seconds);
    const std::tm* local = std::localtime(&t);
    if (local != nullptr) parts = *local;
  }
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d", parts.tm_year + 1900, parts.tm_mon + 1,
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, milliseconds);
  return QuoteText(buffer);
}

bool InRange(unsigned char c, unsigned char low, unsigned char high) { return c >= low && c <= high; }

// Length of the well-formed UTF-8 sequence at `i`, 0 when there is none.
size_t Utf8SequenceLength(const std::string& s, size_t i) {
  const auto at = [&](size_t k) -> unsigned char { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0; };
  const unsigned char c = at(0);
  const auto cont = [&](size_t k) { return InRange(at(k), 0x80, 0xBF); };
  if (InRange(c, 0xC2, 0xDF)) return cont(1) ? 2 : 0;
  if (c == 0xE0) return InRange(at(1), 0xA0, 0xBF) && cont(2) ? 3 : 0;
  if (InRange(c, 0xE1, 0xEC) || c == 0xEE || c == 0xEF) return cont(1) && cont(2) ? 3 : 0;
  if (c == 0xED) return InRange(at(1), 0x80, 0x9F) && cont(2) ? 3 : 0;
  if (c == 0xF0) return InRange(at(1), 0x90, 0xBF) && cont(2) && cont(3) ? 4 : 0;
  if (InRange(c, 0xF1, 0xF3)) return cont(1) && cont(2) && cont(3) ? 4 : 0;
  if (c == 0xF4) return InRange(at(1), 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
  return 0;
}

bool CheckTextProperty(const std::string& key, const std::string& value) {
  if (value.size() > kMaxTextBytes) {
    Diagnostic("String property '" + key + "' is too long, value: " + value);
    return false;
  }
  if (!IsValidText(value)) {
    Diagnostic("String property '" + key + "' is not valid UTF-8 string, value: " + value);
    return false;
  }
  return true;
}

bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '$' || c == '_'; }

bool CheckName(const std::string& name, const std::string& label) {
  if (name.empty() || name.size() > kMaxNameBytes) {
    Diagnostic("The " + label + " is empty or too long, max length is 100");
    return false;
  }
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (!IsNameStart(c) && !(i > 0 && c >= '0' && c <= '9')) {
      Diagnostic("The " + label + " need to be a valid variable name.");
      return false;
    }
  }
  return true;
}

bool CheckDistinctId(const std::string& id) {
  if (id.empty()) {
    Diagnostic("The Distinct ID is empty.");
    return false;
  }
  if (id.size() > kMaxDistinctIdBytes) {
    Diagnostic("The Distinct ID is too long, max length is 255.");
    return false;
  }
  return true;
}

// Whole input at once, output in 32 KiB steps.
bool Gzip(const std::string& input, std::string& output) {
  z_stream stream{};
  if (deflateInit2(&stream, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    Diagnostic("deflateInit2 failed while compressing.");
    return false;
  }
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  stream.avail_in = static_cast<uInt>(input.size());
  std::string out;
  char chunk[32768];
  int code = Z_OK;
  do {
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof chunk;
    code = deflate(&stream, Z_FINISH);
    out.append(chunk, sizeof chunk - stream.avail_out);
  } while (code == Z_OK || code == Z_BUF_ERROR);
  const std::string message = stream.msg != nullptr ? stream.msg : "";
  deflateEnd(&stream);
  if (code != Z_STREAM_END) {
    Diagnostic("Exception during zlib compression: (" + std::to_string(code) + ") " + message);
    return false;
  }
  output = std::move(out);
  return true;
}

std::string Base64(const std::string& bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(group >> 18) & 0x3F];
    out += kAlphabet[(group >> 12) & 0x3F];
    out += i + 1 < bytes.size() ? kAlphabet[(group >> 6) & 0x3F] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[group & 0x3F] : '=';
  }
  return out;
}

size_t AppendBody(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// One POST; the HTTP status, or -1 with the transfer error as `answer`.
long PostToCollector(const std::string& url, const std::string& body, std::string& answer) {
  oru::CurlEasyHandle handle = oru::NewCurlEasyHandle();
  if (!handle) {
    answer = "cannot create a transfer handle";
    return -1;
  }
  CURL* curl = handle.get();
  oru::SetSharedTransportOptions(curl);
  char error[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(kSendTimeout.count()));
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &AppendBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  const CURLcode code = curl_easy_perform(curl);
  if (code != CURLE_OK) {
    answer = error[0] != '\0' ? error : curl_easy_strerror(code);
    return -1;
  }
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  return status;
}

bool IsRecordLine(const std::string& line) { return !line.empty() && line.front() == '{' && line.back() == '}'; }

class RecordQueue {
 public:
  RecordQueue(std::string staging_path, std::vector<std::string> urls)
      : staging_path_(std::move(staging_path)), urls_(std::move(urls)) {}

  void Push(std::string record) {
    std::lock_guard lock(queue_mutex_);
    records_.push_back(std::move(record));
    if (records_.size() > kQueueCapacity) records_.pop_front();
  }

  bool Flush();
  // Persists under the queue lock (after a pending staging read).
  void Persist();

  size_t Size() {
    std::lock_guard lock(queue_mutex_);
    return records_.size();
  }

  std::mutex& flush_mutex() { return flush_mutex_; }

 private:
  void ReadStagingLocked();
  void PutBackLocked(std::vector<std::string>& batch);
  bool SendBatch(std::vector<std::string>& batch);

  const std::string staging_path_;
  const std::vector<std::string> urls_;
  std::mutex flush_mutex_;  // taken before queue_mutex_
  std::mutex queue_mutex_;
  std::deque<std::string> records_;
  bool staging_pending_ = true;
};

void RecordQueue::ReadStagingLocked() {
  if (!staging_pending_) return;
  staging_pending_ = false;
  const size_t free = kQueueCapacity - std::min(records_.size(), kQueueCapacity);
  std::deque<std::string> lines;
  if (free > 0) {
    std::ifstream in(staging_path_, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!IsRecordLine(line)) continue;
      lines.push_back(std::move(line));
      if (lines.size() > free) lines.pop_front();
    }
  }
  records_.insert(records_.begin(), std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
  std::ofstream truncate(staging_path_, std::ios::binary | std::ios::trunc);
}

// Only the newest records of the batch that still fit go back, in order.
void RecordQueue::PutBackLocked(std::vector<std::string>& batch) {
  const size_t free = kQueueCapacity - std::min(records_.size(), kQueueCapacity);
  const size_t keep = std::min(free, batch.size());
  records_.insert(records_.begin(), std::make_move_iterator(batch.end() - static_cast<std::ptrdiff_t>(keep)),
                  std::make_move_iterator(batch.end()));
}

bool RecordQueue::SendBatch(std::vector<std::string>& batch) {
  std::string array = "[";
  for (size_t i = 0; i < batch.size(); ++i) array += (i > 0 ? "," : "") + batch[i];
  array += "]";
  std::string body;
  if (!EncodeBatch(array, body)) return false;
  std::string answer;
  for (const std::string& url : urls_) {
    answer.clear();
    if (PostToCollector(url, body, answer) == 200) return true;
  }
  Diagnostic("QvAnalytics SDK send failed: " + answer);
  return false;
}

bool RecordQueue::Flush() {
  std::lock_guard flush_lock(flush_mutex_);
  std::vector<std::string> batch;
  {
    std::lock_guard lock(queue_mutex_);
    ReadStagingLocked();
    if (records_.empty()) return true;
    const size_t n = std::min(kBatchSize, records_.size());
    batch.assign(std::make_move_iterator(records_.begin()),
                 std::make_move_iterator(records_.begin() + static_cast<std::ptrdiff_t>(n)));
    records_.erase(records_.begin(), records_.begin() + static_cast<std::ptrdiff_t>(n));
  }
  bool sent = false;
  try {
    sent = SendBatch(batch);
  } catch (const std::exception& e) {
    Diagnostic(std::string("Exception when flush failed: (") + e.what() + ") ");
  }
  if (sent) return true;
  std::lock_guard lock(queue_mutex_);
  PutBackLocked(batch);
  return false;
}

void RecordQueue::Persist() {
  std::lock_guard lock(queue_mutex_);
  ReadStagingLocked();
  std::ofstream out(staging_path_, std::ios::binary | std::ios::trunc);
  for (const std::string& record : records_) out << record << "\r\n";
}

class EventClient {
 public:
  EventClient(std::string staging_path, std::vector<std::string> urls, std::string distinct_id, oru::Clock& clock)
      : distinct_id_(std::move(distinct_id)), clock_(clock), queue_(std::move(staging_path), std::move(urls)) {
    super_properties_.SetText("$lib", "cpp");
    super_properties_.SetText("$lib_version", "0.8");
  }

  void AddSuperProperties(const PropertiesNode& properties) {
    std::lock_guard lock(super_mutex_);
    for (const auto& [key, value] : properties.entries()) super_properties_.SetValue(key, value);
  }

  bool Track(const std::string& event_name, const PropertiesNode& properties);

  bool Flush() {
    const bool sent = queue_.Flush();
    std::lock_guard lock(waiter_mutex_);
    flush_done_.request_stop();
    return sent;
  }

  bool WaitForFlushLock(std::chrono::milliseconds bound, oru::Clock& clock);
  RecordQueue& queue() { return queue_; }

 private:
  std::string BuildRecord(const std::string& event_name, const PropertiesNode& properties);

  const std::string distinct_id_;
  oru::Clock& clock_;
  std::mutex super_mutex_;
  PropertiesNode super_properties_;
  RecordQueue queue_;
  std::mutex waiter_mutex_;
  std::stop_source flush_done_;  // requested whenever a flush ends
};

bool CheckEventProperties(const PropertiesNode& properties) {
  for (const auto& [key, value] : properties.entries()) {
    if (!CheckName(key, "Property Key")) return false;
    if (key == "$time" && value.kind() != PropertyValue::Kind::DateTime) {
      Diagnostic("The property '$time' should be DateTime type.");
      return false;
    }
    if (key == "$project" && value.kind() != PropertyValue::Kind::Text) {
      Diagnostic("The property '$project' should be String type.");
      return false;
    }
  }
  return true;
}

std::string EventClient::BuildRecord(const std::string& event_name, const PropertiesNode& properties) {
  utils::ObjectNode merged;
  {
    std::lock_guard lock(super_mutex_);
    merged = super_properties_;
  }
  for (const auto& [key, value] : properties.entries()) merged.SetValue(key, value);
  utils::ObjectNode record;
  int64_t time_ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Now().time_since_epoch()).count();
  if (const PropertyValue* t = merged.Find("$time")) {
    time_ms = t->seconds() * 1000 + t->milliseconds();
    merged.Remove("$time");
  }
  if (const PropertyValue* project = merged.Find("$project")) {
    record.SetText("project", project->text());
    merged.Remove("$project");
  }
  utils::ObjectNode lib;
  lib.SetText("$lib", "cpp");
  lib.SetText("$lib_method", "code");
  lib.SetText("$lib_version", "0.8");
  record.SetText("distinct_id", distinct_id_);
  record.SetText("event", event_name);
  record.SetObject("lib", lib);
  record.SetObject("properties", merged);
  record.SetInteger("time", time_ms);
  record.SetText("type", "track");
  return record.ToJson();
}

bool EventClient::Track(const std::string& event_name, const PropertiesNode& properties) {
  if (!CheckEventProperties(properties)) return false;
  if (!CheckName(event_name, "Event Name")) return false;
  queue_.Push(BuildRecord(event_name, properties));
  return true;
}

// The flush lock within `bound`; woken early whenever a flush ends.
bool EventClient::WaitForFlushLock(std::chrono::milliseconds bound, oru::Clock& clock) {
  const auto deadline = clock.NowTicks() + bound;
  while (true) {
    std::stop_token woken;
    {
      std::lock_guard lock(waiter_mutex_);
      flush_done_ = std::stop_source();
      woken = flush_done_.get_token();
    }
    if (queue_.flush_mutex().try_lock()) return true;
    const auto remaining = deadline - clock.NowTicks();
    if (remaining <= std::chrono::milliseconds::zero()) return false;
    clock.SleepFor(remaining, woken);
  }
}

std::mutex& InstanceMutex() {
  static std::mutex mutex;
  return mutex;
}

// Callers keep the instance alive while they use it.
std::shared_ptr<EventClient>& InstanceSlot() {
  static std::shared_ptr<EventClient> instance;
  return instance;
}

std::shared_ptr<EventClient> Instance() {
  std::lock_guard lock(InstanceMutex());
  return InstanceSlot();
}

}  // namespace

// --- PropertyValue

PropertyValue PropertyValue::FromNumber(double value) {
  PropertyValue v;
  v.kind_ = Kind::Number;
  v.number_ = value;
  return v;
}

PropertyValue PropertyValue::FromInteger(int64_t value) {
  PropertyValue v;
  v.kind_ = Kind::Integer;
  v.integer_ = value;
  return v;
}

PropertyValue PropertyValue::FromText(std::string value) {
  PropertyValue v;
  v.kind_ = Kind::Text;
  v.text_ = std::move(value);
  return v;
}

PropertyValue PropertyValue::FromTextList(std::vector<std::string> values) {
  PropertyValue v;
  v.kind_ = Kind::TextList;
  v.list_ = std::move(values);
  return v;
}

PropertyValue PropertyValue::FromDateTime(int64_t seconds, int milliseconds) {
  PropertyValue v;
  v.kind_ = Kind::DateTime;
  v.integer_ = seconds;
  v.milliseconds_ = milliseconds;
  return v;
}

PropertyValue PropertyValue::FromBoolean(bool value) {
  PropertyValue v;
  v.kind_ = Kind::Boolean;
  v.boolean_ = value;
  return v;
}

PropertyValue PropertyValue::FromObject(const utils::ObjectNode& object) {
  PropertyValue v;
  v.kind_ = Kind::Object;
  v.object_ = std::make_shared<const utils::ObjectNode>(object);
  return v;
}

std::string PropertyValue::ToJson() const {
  switch (kind_) {
    case Kind::Number: return FormatNumber(number_);
    case Kind::Integer: return std::to_string(integer_);
    case Kind::Text: return QuoteText(text_);
    case Kind::TextList: {
      std::string out = "[";
      for (size_t i = 0; i < list_.size(); ++i) out += (i > 0 ? "," : "") + QuoteText(list_[i]);
      return out + "]";
    }
    case Kind::DateTime: return FormatLocalTime(integer_, milliseconds_);
    case Kind::Boolean: return boolean_ ? "true" : "false";
    case Kind::Object: return object_ ? object_->ToJson() : "{}";
  }
  return "null";
}

// --- ObjectNode

namespace utils {

void ObjectNode::SetValue(const std::string& key, PropertyValue value) { entries_.insert_or_assign(key, std::move(value)); }
void ObjectNode::SetNumber(const std::string& key, double value) { SetValue(key, PropertyValue::FromNumber(value)); }
void ObjectNode::SetInteger(const std::string& key, int64_t value) { SetValue(key, PropertyValue::FromInteger(value)); }
void ObjectNode::SetBoolean(const std::string& key, bool value) { SetValue(key, PropertyValue::FromBoolean(value)); }
void ObjectNode::SetDateTime(const std::string& key, int64_t seconds, int milliseconds) {
  SetValue(key, PropertyValue::FromDateTime(seconds, milliseconds));
}
void ObjectNode::SetObject(const std::string& key, const ObjectNode& value) {
  SetValue(key, PropertyValue::FromObject(value));
}

bool ObjectNode::SetText(const std::string& key, const std::string& value) {
  SetValue(key, PropertyValue::FromText(value));
  return true;
}

bool ObjectNode::SetTextList(const std::string& key, const std::vector<std::string>& values) {
  SetValue(key, PropertyValue::FromTextList(values));
  return true;
}

bool ObjectNode::Remove(const std::string& key) { return entries_.erase(key) > 0; }

const PropertyValue* ObjectNode::Find(const std::string& key) const {
  const auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : &it->second;
}

std::string ObjectNode::ToJson() const {
  std::string out = "{";
  bool first = true;
  for (const auto& [key, value] : entries_) {
    if (!first) out += ",";
    first = false;
    out += "\"" + key + "\":" + value.ToJson();
  }
  return out + "}";
}

}  // namespace utils

// --- PropertiesNode

bool PropertiesNode::SetText(const std::string& key, const std::string& value) {
  if (!CheckTextProperty(key, value)) return false;
  return ObjectNode::SetText(key, value);
}

bool PropertiesNode::SetTextList(const std::string& key, const std::vector<std::string>& values) {
  for (const std::string& value : values) {
    if (!CheckTextProperty(key, value)) return false;
  }
  return ObjectNode::SetTextList(key, values);
}

bool IsValidText(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\t' || c == '\n' || c == '\r' || InRange(c, 0x20, 0x7E)) {
      ++i;
      continue;
    }
    const size_t length = Utf8SequenceLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

bool EncodeBatch(const std::string& json_array, std::string& body) {
  std::string compressed;
  if (!Gzip(json_array, compressed)) return false;
  body = "data_list=" + oru::UrlEncode(Base64(compressed)) + "&gzip=1";
  return true;
}

// --- The instance

bool Init(const std::string& staging_path, const std::vector<std::string>& collector_urls,
          const std::string& distinct_id) {
  return Init(staging_path, collector_urls, distinct_id, oru::SystemClock());
}

bool Init(const std::string& staging_path, const std::vector<std::string>& collector_urls,
          const std::string& distinct_id, oru::Clock& clock) {
  if (!CheckDistinctId(distinct_id)) return false;
  std::lock_guard lock(InstanceMutex());
  if (!InstanceSlot()) InstanceSlot() = std::make_shared<EventClient>(staging_path, collector_urls, distinct_id, clock);
  return true;
}

void AddSuperProperties(const PropertiesNode& properties) {
  if (auto client = Instance()) client->AddSuperProperties(properties);
}

bool Track(const std::string& event_name, const PropertiesNode& properties) {
  auto client = Instance();
  return client && client->Track(event_name, properties);
}

bool Flush() {
  auto client = Instance();
  return client && client->Flush();
}

size_t QueuedCount() {
  auto client = Instance();
  return client ? client->queue().Size() : 0;
}

bool Shutdown() { return Shutdown(kDefaultShutdownBound, oru::SystemClock()); }

bool Shutdown(std::chrono::milliseconds bound, oru::Clock& clock) {
  auto client = Instance();
  if (!client) return true;
  if (!client->WaitForFlushLock(bound, clock)) {
    // A flush still runs on the instance: keep it, but save what is queued.
    client->queue().Persist();
    return false;
  }
  std::unique_lock flush_lock(client->queue().flush_mutex(), std::adopt_lock);
  client->queue().Persist();
  std::lock_guard lock(InstanceMutex());
  if (InstanceSlot() == client) InstanceSlot().reset();
  return true;
}

}  // namespace qv_analytics
