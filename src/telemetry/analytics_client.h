#pragma once
// The analytics event client: named events with typed properties become JSON
// records in a bounded queue (kept across runs in a staging file) and go to
// a collector in gzip + base64 batches. One process-wide instance.
// Collector posts verify TLS like every other transfer (the shared transport
// settings), follow no redirects and take at most 3 s each.
//
// Rejected input never fails loudly: the property or event is dropped and one
// diagnostic line goes to the standard error stream.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/clock.h"

namespace qv_analytics {

namespace utils {
class ObjectNode;
}  // namespace utils

// A tagged property value; the tags are part of the wire contract.
class PropertyValue {
 public:
  enum class Kind : int { Number = 0, Integer = 1, Text = 2, TextList = 3, DateTime = 4, Boolean = 5, Object = 6 };

  // Values of each kind (never fail; texts are not checked here).
  static PropertyValue FromNumber(double value);
  static PropertyValue FromInteger(int64_t value);
  static PropertyValue FromText(std::string value);
  static PropertyValue FromTextList(std::vector<std::string> values);
  // Seconds since 1970 and the milliseconds within that second.
  static PropertyValue FromDateTime(int64_t seconds, int milliseconds);
  static PropertyValue FromBoolean(bool value);
  static PropertyValue FromObject(const utils::ObjectNode& object);

  // The payload; fields of other kinds read as zero/empty.
  Kind kind() const { return kind_; }
  double number() const { return number_; }
  int64_t integer() const { return integer_; }
  const std::string& text() const { return text_; }
  const std::vector<std::string>& text_list() const { return list_; }
  int64_t seconds() const { return integer_; }
  int milliseconds() const { return milliseconds_; }
  bool boolean() const { return boolean_; }
  // The nested map of an Object value; null for other kinds.
  const utils::ObjectNode* object() const { return object_.get(); }

  // The value's JSON text (texts escaped, date-times as quoted local time).
  std::string ToJson() const;

 private:
  Kind kind_ = Kind::Integer;
  double number_ = 0;
  int64_t integer_ = 0;  // also the seconds of a DateTime
  int milliseconds_ = 0;
  bool boolean_ = false;
  std::string text_;
  std::vector<std::string> list_;
  std::shared_ptr<const utils::ObjectNode> object_;  // immutable once shared
};

namespace utils {

// A property map kept in byte order of its keys; setting a key replaces it.
class ObjectNode {
 public:
  // std::string compares as unsigned bytes, so this is byte order.
  using Map = std::map<std::string, PropertyValue>;

  virtual ~ObjectNode() = default;

  // Stores `value` under `key` (unchecked), replacing an earlier one.
  void SetValue(const std::string& key, PropertyValue value);
  void SetNumber(const std::string& key, double value);
  void SetInteger(const std::string& key, int64_t value);
  void SetBoolean(const std::string& key, bool value);
  void SetDateTime(const std::string& key, int64_t seconds, int milliseconds);
  void SetObject(const std::string& key, const ObjectNode& value);
  // Unchecked here; PropertiesNode checks.
  virtual bool SetText(const std::string& key, const std::string& value);
  virtual bool SetTextList(const std::string& key, const std::vector<std::string>& values);

  // Removes `key`; false when it was not there.
  bool Remove(const std::string& key);
  // The value under `key`; null when absent.
  const PropertyValue* Find(const std::string& key) const;
  const Map& entries() const { return entries_; }

  // {"key":value,...} in key order, keys unescaped, no white space.
  std::string ToJson() const;

 private:
  Map entries_;
};

}  // namespace utils

// The map of event properties and super properties: texts are checked.
class PropertiesNode : public utils::ObjectNode {
 public:
  using utils::ObjectNode::SetInteger;
  // Stores an Integer (sign-extended).
  void SetInteger(const std::string& key, int32_t value) { SetInteger(key, static_cast<int64_t>(value)); }

  // Sets the text when it is at most 8192 bytes of tab/LF/CR, printable ASCII
  // and well-formed UTF-8; otherwise leaves the key alone, writes a
  // diagnostic and returns false.
  bool SetText(const std::string& key, const std::string& value) override;
  // As SetText for every element; one bad element rejects the list.
  bool SetTextList(const std::string& key, const std::vector<std::string>& values) override;
};

// True when `text` holds only tab, LF, CR, 0x20-0x7E and well-formed UTF-8.
bool IsValidText(const std::string& text);

// The collector body of a JSON array text: "data_list=" + percent-encoded
// base64 of its gzip stream + "&gzip=1". False (and `body` untouched) when
// compression fails (diagnostic written).
bool EncodeBatch(const std::string& json_array, std::string& body);

// Creates the instance on the first call with a valid distinct id (1-255
// bytes); later calls only check the id. Record times come from `clock`.
// False (with a diagnostic) for an invalid id.
bool Init(const std::string& staging_path, const std::vector<std::string>& collector_urls,
          const std::string& distinct_id);
bool Init(const std::string& staging_path, const std::vector<std::string>& collector_urls,
          const std::string& distinct_id, oru::Clock& clock);

// Copies every entry into the super properties. No-op without an instance.
void AddSuperProperties(const PropertiesNode& properties);

// Builds and queues one record (the oldest is dropped past 100). False when
// there is no instance or a key, the name or "$time"/"$project" is invalid.
bool Track(const std::string& event_name, const PropertiesNode& properties);

// Sends up to 30 of the oldest records to the first collector that answers
// 200. True when the queue was empty or the batch was accepted; false
// without an instance or when every collector failed (records put back as
// far as there is room).
bool Flush();

// Persists the queue to the staging file and destroys the instance. A flush
// in progress is waited for, at most `bound` of `clock`'s time; past it the
// queue is persisted as it stands and the instance stays alive (returns
// false). True when the instance was destroyed or there was none.
// Without arguments the bound is 5 s of the system clock.
bool Shutdown();
bool Shutdown(std::chrono::milliseconds bound, oru::Clock& clock);

// Number of queued records (0 without an instance); for diagnostics.
size_t QueuedCount();

}  // namespace qv_analytics
