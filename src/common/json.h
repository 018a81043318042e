#pragma once
// JSON through cJSON, owned by RAII objects: answers of the product API are
// parsed here (never by scanning for substrings alone), and every JSON body
// the installer sends is built here, members in the order they are added.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct cJSON;

namespace oru {

// A read-only view into a parsed document; valid while the document lives.
// A view of nothing (a missing member) answers every question with "no".
class JsonView {
 public:
  JsonView() = default;
  explicit JsonView(const cJSON* node) : node_(node) {}

  bool exists() const { return node_ != nullptr; }
  bool IsObject() const;
  bool IsArray() const;
  bool IsString() const;
  bool IsNumber() const;
  bool IsBool() const;
  bool IsNull() const;

  // Member of an object (case-sensitive); a view of nothing otherwise.
  JsonView Get(std::string_view name) const;
  // Element of an array; a view of nothing past the end or for non-arrays.
  JsonView At(int index) const;
  // Elements of an array; 0 for anything else.
  int Size() const;

  // A string's text; nullopt for any other kind.
  std::optional<std::string> String() const;
  // A number's value; nullopt for any other kind.
  std::optional<double> Number() const;
  // A number truncated toward zero and clamped to int64; nullopt otherwise.
  std::optional<int64_t> Integer() const;
  // A boolean's value; nullopt for any other kind.
  std::optional<bool> Bool() const;

  // Compact text of this node (no white space); empty for a view of nothing.
  std::string Print() const;

 private:
  const cJSON* node_ = nullptr;
};

// A parsed document. Move-only.
class JsonDocument {
 public:
  // Parses the whole text; nullopt when it is not JSON (trailing garbage
  // included).
  static std::optional<JsonDocument> Parse(std::string_view text);

  JsonDocument(JsonDocument&&) noexcept;
  JsonDocument& operator=(JsonDocument&&) noexcept;
  ~JsonDocument();

  JsonView root() const { return JsonView(root_); }

 private:
  explicit JsonDocument(cJSON* root) : root_(root) {}
  cJSON* root_ = nullptr;
};

// Builds a JSON object member by member, in the order of the calls.
class JsonObjectBuilder {
 public:
  JsonObjectBuilder();
  ~JsonObjectBuilder();
  JsonObjectBuilder(JsonObjectBuilder&&) noexcept;
  JsonObjectBuilder& operator=(JsonObjectBuilder&&) noexcept;

  // True when a member of that name was already added.
  bool Has(std::string_view name) const;
  // Each adds one member (a second member of the same name is added too;
  // callers that want "first one wins" ask Has first). Texts must be UTF-8;
  // invalid sequences are sent as "?" so the body stays valid JSON.
  JsonObjectBuilder& AddString(std::string_view name, std::string_view value);
  JsonObjectBuilder& AddNumber(std::string_view name, double value);
  JsonObjectBuilder& AddInteger(std::string_view name, int64_t value);
  JsonObjectBuilder& AddBool(std::string_view name, bool value);
  JsonObjectBuilder& AddNull(std::string_view name);
  // Adds a nested object (the builder is consumed).
  JsonObjectBuilder& AddObject(std::string_view name, JsonObjectBuilder&& object);

  // Compact text (no white space). Numbers that are whole print without a
  // fraction.
  std::string Print() const;

 private:
  cJSON* root_ = nullptr;
};

// The product API's verdict: the integer member "code" of a top-level
// object. A missing member, a member that is not a number (the string "0"
// included) or a text that is not a JSON object all give -1; a fraction is
// truncated.
int ReadApiCode(std::string_view response);

}  // namespace oru
