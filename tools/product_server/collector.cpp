#include "product_server/collector.h"

#include <cjson/cJSON.h>
#include <httplib.h>
#include <zlib.h>

#include <array>
#include <cstdint>

#include "product_server/json_value.h"

namespace oru::product_server {
namespace {

// Bounds what one small post may grow into (a gzip bomb stops here).
constexpr size_t kMaxInflated = 16u << 20;

int Base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict standard base64 with padding; nullopt for anything else.
std::optional<std::string> Base64Decode(const std::string& text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int pad = 0;
    uint32_t group = 0;
    for (size_t j = 0; j < 4; ++j) {
      char c = text[i + j];
      int digit = Base64Digit(c);
      if (c == '=' && last && j >= 2 && (j == 3 || text[i + 3] == '=')) {
        ++pad;
        digit = 0;
      } else if (digit < 0 || pad > 0) {
        return std::nullopt;
      }
      group = (group << 6) | static_cast<uint32_t>(digit);
    }
    out.push_back(static_cast<char>(group >> 16));
    if (pad < 2) out.push_back(static_cast<char>((group >> 8) & 0xFF));
    if (pad < 1) out.push_back(static_cast<char>(group & 0xFF));
  }
  return out;
}

// One complete gzip stream; nullopt when it is broken, truncated, followed
// by other bytes or inflates past kMaxInflated.
std::optional<std::string> Gunzip(const std::string& data) {
  z_stream z{};
  if (inflateInit2(&z, 31) != Z_OK) return std::nullopt;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  std::string out;
  std::array<char, 16384> chunk{};
  int rc = Z_OK;
  while (rc == Z_OK && out.size() <= kMaxInflated) {
    z.next_out = reinterpret_cast<Bytef*>(chunk.data());
    z.avail_out = static_cast<uInt>(chunk.size());
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(chunk.data(), chunk.size() - z.avail_out);
    if (rc == Z_BUF_ERROR && z.avail_in == 0) break;  // truncated
  }
  const bool whole = rc == Z_STREAM_END && z.avail_in == 0 && out.size() <= kMaxInflated;
  inflateEnd(&z);
  if (!whole) return std::nullopt;
  return out;
}

// The texts of the top-level elements of a JSON array already known to be
// valid, each exactly as written (surrounding white space trimmed).
std::vector<std::string> SplitArray(const std::string& text) {
  std::vector<std::string> parts;
  int depth = 0;
  bool in_string = false;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      if (c == '\\') ++i;
      else if (c == '"') in_string = false;
      continue;
    }
    if (c == '"') in_string = true;
    if (c == '[' || c == '{') {
      if (++depth == 1) start = i + 1;
    } else if ((c == ']' || c == '}') && --depth == 0) {
      parts.push_back(text.substr(start, i - start));
    } else if (c == ',' && depth == 1) {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  for (std::string& part : parts) {
    size_t first = part.find_first_not_of(" \t\r\n");
    size_t last = part.find_last_not_of(" \t\r\n");
    part = first == std::string::npos ? std::string() : part.substr(first, last - first + 1);
  }
  return parts;
}

std::string TextMember(const cJSON* object, const char* name) {
  const cJSON* member = cJSON_GetObjectItemCaseSensitive(object, name);
  return cJSON_IsString(member) ? std::string(member->valuestring) : std::string();
}

std::optional<std::vector<CollectedRecord>> Fail(std::string* error, const std::string& why) {
  if (error != nullptr) *error = why;
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<CollectedRecord>> DecodeCollectorBody(const std::string& body, std::string* error) {
  httplib::Params params;
  httplib::detail::parse_query_text(body, params);
  auto data = params.find("data_list");
  if (data == params.end()) return Fail(error, "data_list is missing");
  std::optional<std::string> bytes = Base64Decode(data->second);
  if (!bytes) return Fail(error, "data_list is not base64");
  auto gzip = params.find("gzip");
  if (gzip != params.end() && gzip->second == "1") {
    bytes = Gunzip(*bytes);
    if (!bytes) return Fail(error, "data_list is not a whole gzip stream (or inflates past 16 MiB)");
  }
  std::string why;
  std::optional<Json> doc = Json::Parse(*bytes, &why);
  if (!doc) return Fail(error, "data_list is not JSON: " + why);
  if (!cJSON_IsArray(doc->node())) return Fail(error, "data_list is not a JSON array");
  std::vector<std::string> texts = SplitArray(*bytes);
  std::vector<CollectedRecord> records;
  size_t index = 0;
  for (const cJSON* item = doc->node()->child; item != nullptr; item = item->next, ++index) {
    if (!cJSON_IsObject(item)) return Fail(error, "record " + std::to_string(index) + " is not a JSON object");
    records.push_back(CollectedRecord{index < texts.size() ? texts[index] : std::string(),
                                      TextMember(item, "distinct_id"), TextMember(item, "event"),
                                      TextMember(item, "type")});
  }
  return records;
}

}  // namespace oru::product_server
