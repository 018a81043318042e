#include "product_server/json_value.h"

#include <cjson/cJSON.h>

#include <utility>

#include "common/utf.h"

namespace oru::product_server {

std::string DescribeOffset(std::string_view text, size_t offset) {
  size_t line = 1;
  size_t column = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

Json Json::Object() { return Json(cJSON_CreateObject()); }
Json Json::Array() { return Json(cJSON_CreateArray()); }
Json Json::String(std::string_view text) { return Json(cJSON_CreateString(SanitizeUtf8(text).c_str())); }
Json Json::Integer(int64_t value) { return Json(cJSON_CreateNumber(static_cast<double>(value))); }
Json Json::Bool(bool value) { return Json(cJSON_CreateBool(value ? 1 : 0)); }
Json Json::Null() { return Json(cJSON_CreateNull()); }

std::optional<Json> Json::Parse(std::string_view text, std::string* error) {
  const char* end = nullptr;
  cJSON* root = cJSON_ParseWithLengthOpts(text.data(), text.size(), &end, 0);
  if (root != nullptr) {
    // Only white space may follow the value.
    size_t at = static_cast<size_t>(end - text.data());
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n')) ++at;
    if (at == text.size()) return Json(root);
    cJSON_Delete(root);
    if (error != nullptr) *error = DescribeOffset(text, at) + ": unexpected text after the JSON value";
    return std::nullopt;
  }
  if (error != nullptr) {
    size_t at = end != nullptr ? static_cast<size_t>(end - text.data()) : 0;
    *error = DescribeOffset(text, at) + ": not valid JSON";
  }
  return std::nullopt;
}

std::optional<Json> Json::Copy(const cJSON* node) {
  if (node == nullptr) return std::nullopt;
  return Json(cJSON_Duplicate(node, 1));
}

Json::Json(Json&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}

Json& Json::operator=(Json&& other) noexcept {
  if (this != &other) {
    cJSON_Delete(node_);
    node_ = std::exchange(other.node_, nullptr);
  }
  return *this;
}

Json::~Json() { cJSON_Delete(node_); }

Json& Json::Add(std::string_view name, Json value) {
  if (node_ != nullptr && value.node_ != nullptr) {
    cJSON_AddItemToObject(node_, std::string(name).c_str(), std::exchange(value.node_, nullptr));
  }
  return *this;
}

Json& Json::Push(Json value) {
  if (node_ != nullptr && value.node_ != nullptr) cJSON_AddItemToArray(node_, std::exchange(value.node_, nullptr));
  return *this;
}

std::string Json::Print() const {
  if (node_ == nullptr) return "null";
  char* text = cJSON_PrintUnformatted(node_);
  if (text == nullptr) return "null";
  std::string out(text);
  cJSON_free(text);
  return out;
}

}  // namespace oru::product_server
