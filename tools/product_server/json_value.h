#pragma once
// JSON for the product server: an owned cJSON tree that can be built member
// by member (objects and arrays, in call order) and parsed with the place
// of a syntax error, for configuration files a vendor edits by hand.
// Answers the installer reads are printed compactly ("code":0 with no
// spaces), which is what its text checks expect.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct cJSON;

namespace oru::product_server {

class Json {
 public:
  static Json Object();
  static Json Array();
  // Invalid UTF-8 is sent as "?" so the printed text stays valid JSON.
  static Json String(std::string_view text);
  static Json Integer(int64_t value);
  static Json Bool(bool value);
  static Json Null();

  // Parses the whole text. On failure returns nullopt and sets *error to
  // "line L, column C: <what>".
  static std::optional<Json> Parse(std::string_view text, std::string* error);
  // A deep copy of a parsed node; nullopt when `node` is null.
  static std::optional<Json> Copy(const cJSON* node);

  Json(Json&& other) noexcept;
  Json& operator=(Json&& other) noexcept;
  ~Json();
  Json(const Json&) = delete;
  Json& operator=(const Json&) = delete;

  // Adds an object member (this must be an object); returns *this.
  Json& Add(std::string_view name, Json value);
  // Appends an array element (this must be an array); returns *this.
  Json& Push(Json value);

  // Compact text; "null" for an empty (moved-from) value.
  std::string Print() const;
  const cJSON* node() const { return node_; }

 private:
  explicit Json(cJSON* node) : node_(node) {}
  cJSON* node_ = nullptr;
};

// Line and column (both from 1) of byte `offset` in `text`.
std::string DescribeOffset(std::string_view text, size_t offset);

}  // namespace oru::product_server
