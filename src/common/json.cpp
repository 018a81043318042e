#include "common/json.h"

#include <cjson/cJSON.h>

#include <cmath>
#include <limits>

#include "common/utf.h"

namespace oru {
namespace {

std::string NullTerminated(std::string_view text) { return std::string(text); }

cJSON* Detach(cJSON*& node) {
  cJSON* out = node;
  node = nullptr;
  return out;
}

}  // namespace

bool JsonView::IsObject() const { return node_ != nullptr && cJSON_IsObject(node_); }
bool JsonView::IsArray() const { return node_ != nullptr && cJSON_IsArray(node_); }
bool JsonView::IsString() const { return node_ != nullptr && cJSON_IsString(node_); }
bool JsonView::IsNumber() const { return node_ != nullptr && cJSON_IsNumber(node_); }
bool JsonView::IsBool() const { return node_ != nullptr && cJSON_IsBool(node_); }
bool JsonView::IsNull() const { return node_ != nullptr && cJSON_IsNull(node_); }

JsonView JsonView::Get(std::string_view name) const {
  if (!IsObject()) return JsonView();
  // cJSON compares names with NUL-terminated strings; walk the members so
  // that names holding NUL cannot match a shorter one.
  for (const cJSON* child = node_->child; child != nullptr; child = child->next) {
    if (child->string != nullptr && name == std::string_view(child->string)) return JsonView(child);
  }
  return JsonView();
}

JsonView JsonView::At(int index) const {
  if (!IsArray() || index < 0) return JsonView();
  return JsonView(cJSON_GetArrayItem(node_, index));
}

int JsonView::Size() const { return IsArray() ? cJSON_GetArraySize(node_) : 0; }

std::optional<std::string> JsonView::String() const {
  if (!IsString() || node_->valuestring == nullptr) return std::nullopt;
  return std::string(node_->valuestring);
}

std::optional<double> JsonView::Number() const {
  if (!IsNumber()) return std::nullopt;
  return node_->valuedouble;
}

std::optional<int64_t> JsonView::Integer() const {
  std::optional<double> value = Number();
  if (!value || std::isnan(*value)) return std::nullopt;
  double truncated = std::trunc(*value);
  if (truncated >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
  if (truncated <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(truncated);
}

std::optional<bool> JsonView::Bool() const {
  if (!IsBool()) return std::nullopt;
  return cJSON_IsTrue(node_) != 0;
}

std::string JsonView::Print() const {
  if (node_ == nullptr) return std::string();
  char* text = cJSON_PrintUnformatted(node_);
  if (text == nullptr) return std::string();
  std::string out(text);
  cJSON_free(text);
  return out;
}

std::optional<JsonDocument> JsonDocument::Parse(std::string_view text) {
  std::string copy = NullTerminated(text);
  const char* end = nullptr;
  cJSON* root = cJSON_ParseWithOpts(copy.c_str(), &end, 1);
  if (root == nullptr) return std::nullopt;
  // An embedded NUL would end the parse early: the rest must not be ignored.
  if (end != copy.c_str() + copy.size()) {
    cJSON_Delete(root);
    return std::nullopt;
  }
  return JsonDocument(root);
}

JsonDocument::JsonDocument(JsonDocument&& other) noexcept : root_(Detach(other.root_)) {}

JsonDocument& JsonDocument::operator=(JsonDocument&& other) noexcept {
  if (this != &other) {
    cJSON_Delete(root_);
    root_ = Detach(other.root_);
  }
  return *this;
}

JsonDocument::~JsonDocument() { cJSON_Delete(root_); }

JsonObjectBuilder::JsonObjectBuilder() : root_(cJSON_CreateObject()) {}
JsonObjectBuilder::~JsonObjectBuilder() { cJSON_Delete(root_); }
JsonObjectBuilder::JsonObjectBuilder(JsonObjectBuilder&& other) noexcept : root_(Detach(other.root_)) {}

JsonObjectBuilder& JsonObjectBuilder::operator=(JsonObjectBuilder&& other) noexcept {
  if (this != &other) {
    cJSON_Delete(root_);
    root_ = Detach(other.root_);
  }
  return *this;
}

bool JsonObjectBuilder::Has(std::string_view name) const {
  return JsonView(root_).Get(name).exists();
}

JsonObjectBuilder& JsonObjectBuilder::AddString(std::string_view name, std::string_view value) {
  if (root_ == nullptr) return *this;
  std::string text = SanitizeUtf8(value);
  cJSON_AddItemToObject(root_, std::string(name).c_str(), cJSON_CreateString(text.c_str()));
  return *this;
}

JsonObjectBuilder& JsonObjectBuilder::AddNumber(std::string_view name, double value) {
  if (root_ == nullptr) return *this;
  cJSON_AddItemToObject(root_, std::string(name).c_str(), cJSON_CreateNumber(value));
  return *this;
}

JsonObjectBuilder& JsonObjectBuilder::AddInteger(std::string_view name, int64_t value) {
  if (root_ == nullptr) return *this;
  // cJSON keeps doubles; beyond 2^53 the digits are printed from a raw text
  // so that large values survive exactly.
  cJSON* item = (value > (int64_t{1} << 53) || value < -(int64_t{1} << 53))
                    ? cJSON_CreateRaw(std::to_string(value).c_str())
                    : cJSON_CreateNumber(static_cast<double>(value));
  cJSON_AddItemToObject(root_, std::string(name).c_str(), item);
  return *this;
}

JsonObjectBuilder& JsonObjectBuilder::AddBool(std::string_view name, bool value) {
  if (root_ == nullptr) return *this;
  cJSON_AddItemToObject(root_, std::string(name).c_str(), cJSON_CreateBool(value ? 1 : 0));
  return *this;
}

JsonObjectBuilder& JsonObjectBuilder::AddNull(std::string_view name) {
  if (root_ == nullptr) return *this;
  cJSON_AddItemToObject(root_, std::string(name).c_str(), cJSON_CreateNull());
  return *this;
}

JsonObjectBuilder& JsonObjectBuilder::AddObject(std::string_view name, JsonObjectBuilder&& object) {
  if (root_ == nullptr || object.root_ == nullptr) return *this;
  cJSON_AddItemToObject(root_, std::string(name).c_str(), Detach(object.root_));
  return *this;
}

std::string JsonObjectBuilder::Print() const { return JsonView(root_).Print(); }

int ReadApiCode(std::string_view response) {
  std::optional<JsonDocument> doc = JsonDocument::Parse(response);
  if (!doc) return -1;
  std::optional<int64_t> code = doc->root().Get("code").Integer();
  if (!code) return -1;
  if (*code > std::numeric_limits<int>::max() || *code < std::numeric_limits<int>::min()) return -1;
  return static_cast<int>(*code);
}

}  // namespace oru
