#include "product_server/multipart.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace oru::product_server {
namespace {

constexpr size_t kMaxBoundary = 70;
constexpr size_t kMaxHeadLine = 8 * 1024;

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

bool IsBoundaryChar(char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::strchr("'()+_,-./:=? ", c) != nullptr;
}

// A value of a header parameter list: a quoted string (with backslash
// escapes) or a token up to the next ";". Advances `at`; nullopt for an
// unterminated quote.
std::optional<std::string> ReadParameterValue(const std::string& text, size_t& at) {
  if (at < text.size() && text[at] == '"') {
    std::string value;
    for (++at; at < text.size(); ++at) {
      if (text[at] == '"') {
        ++at;
        return value;
      }
      if (text[at] == '\\' && at + 1 < text.size()) ++at;
      value.push_back(text[at]);
    }
    return std::nullopt;
  }
  size_t end = std::min(text.find(';', at), text.size());
  std::string value = Trim(text.substr(at, end - at));
  at = end;
  return value;
}

// The value before the first ";" (lower case) and the parameters after it
// (names lower case, first of each name kept). nullopt when malformed.
std::optional<std::pair<std::string, std::map<std::string, std::string>>> ParseHeaderValue(const std::string& text) {
  size_t at = std::min(text.find(';'), text.size());
  std::string main = Lower(Trim(text.substr(0, at)));
  std::map<std::string, std::string> parameters;
  while (at < text.size()) {
    ++at;  // the ";"
    size_t equals = text.find('=', at);
    if (equals == std::string::npos) {
      if (Trim(text.substr(at)).empty()) break;  // a trailing ";"
      return std::nullopt;
    }
    std::string name = Lower(Trim(text.substr(at, equals - at)));
    at = equals + 1;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    std::optional<std::string> value = ReadParameterValue(text, at);
    if (!value || name.empty()) return std::nullopt;
    parameters.emplace(name, *value);
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    if (at < text.size() && text[at] != ';') return std::nullopt;
  }
  return std::make_pair(main, parameters);
}

bool Fail(std::string* error, const std::string& what) {
  if (error != nullptr) *error = what;
  return false;
}

// Reads the head lines of a part starting at `at` up to its blank line;
// `at` ends on the first content byte.
bool ReadPartHead(const std::string& body, size_t& at, FormPart& part, std::string* error) {
  bool named = false;
  for (;;) {
    size_t end = body.find("\r\n", at);
    if (end == std::string::npos) return Fail(error, "the body ends inside a part head");
    if (end - at > kMaxHeadLine) return Fail(error, "a part head line is too long");
    std::string line = body.substr(at, end - at);
    at = end + 2;
    if (line.empty()) break;
    size_t colon = line.find(':');
    if (colon == std::string::npos) return Fail(error, "a part head line without \":\"");
    std::string name = Lower(Trim(line.substr(0, colon)));
    std::string value = Trim(line.substr(colon + 1));
    if (name == "content-type") {
      part.content_type = value;
      continue;
    }
    if (name != "content-disposition") continue;
    auto parsed = ParseHeaderValue(value);
    if (!parsed || parsed->first != "form-data") return Fail(error, "a part that is not form-data");
    auto field = parsed->second.find("name");
    if (field == parsed->second.end()) return Fail(error, "a part without a name");
    part.name = field->second;
    auto file = parsed->second.find("filename");
    if (file != parsed->second.end()) part.file_name = file->second;
    named = true;
  }
  return named || Fail(error, "a part without Content-Disposition");
}

// After a delimiter at `at`: true with *closed for "--", true for optional
// white space and CRLF (`at` moves past them), false otherwise.
bool ReadDelimiterEnd(const std::string& body, size_t& at, bool* closed, std::string* error) {
  if (body.compare(at, 2, "--") == 0) {
    *closed = true;
    return true;
  }
  while (at < body.size() && (body[at] == ' ' || body[at] == '\t')) ++at;
  if (at >= body.size()) return Fail(error, "the body ends after a boundary");
  if (body.compare(at, 2, "\r\n") != 0) return Fail(error, "a boundary line with text after it");
  at += 2;
  *closed = false;
  return true;
}

}  // namespace

std::optional<std::string> MultipartBoundary(const std::string& content_type) {
  auto parsed = ParseHeaderValue(content_type);
  if (!parsed || parsed->first != "multipart/form-data") return std::nullopt;
  auto it = parsed->second.find("boundary");
  if (it == parsed->second.end()) return std::nullopt;
  const std::string& boundary = it->second;
  if (boundary.empty() || boundary.size() > kMaxBoundary || boundary.back() == ' ') return std::nullopt;
  if (!std::all_of(boundary.begin(), boundary.end(), IsBoundaryChar)) return std::nullopt;
  return boundary;
}

std::optional<std::vector<FormPart>> ParseMultipart(const std::string& body, const std::string& boundary,
                                                    std::string* error) {
  if (boundary.empty()) {
    Fail(error, "no boundary");
    return std::nullopt;
  }
  const std::string delimiter = "--" + boundary;
  const std::string next_delimiter = "\r\n" + delimiter;
  // The first delimiter opens the body or follows a preamble line.
  size_t at = body.compare(0, delimiter.size(), delimiter) == 0 ? 0 : body.find(next_delimiter);
  if (at == std::string::npos) {
    Fail(error, "no opening boundary");
    return std::nullopt;
  }
  if (at != 0) at += 2;
  std::vector<FormPart> parts;
  for (;;) {
    at += delimiter.size();
    bool closed = false;
    if (!ReadDelimiterEnd(body, at, &closed, error)) return std::nullopt;
    if (closed) return parts;  // an epilogue after the closing boundary is ignored
    FormPart part;
    part.content_type = "text/plain";
    if (!ReadPartHead(body, at, part, error)) return std::nullopt;
    size_t end = body.find(next_delimiter, at);
    if (end == std::string::npos) {
      Fail(error, "the body ends before its closing boundary");
      return std::nullopt;
    }
    part.content = body.substr(at, end - at);
    parts.push_back(std::move(part));
    at = end + 2;
  }
}

}  // namespace oru::product_server
