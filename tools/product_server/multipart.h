#pragma once
// A small multipart/form-data reader for the upload services: the whole
// body is in memory, so parts are cut out of it without copying chunks.
// Only well-formed bodies are accepted; a body that ends before its closing
// boundary is refused rather than taken in part.

#include <optional>
#include <string>
#include <vector>

namespace oru::product_server {

struct FormPart {
  std::string name;                      // the Content-Disposition "name"
  std::optional<std::string> file_name;  // its "filename"; nullopt when the part has none
  std::string content_type;              // "text/plain" when the part names none
  std::string content;                   // bytes exactly as sent
};

// The boundary of a "multipart/form-data; boundary=..." Content-Type value
// (token or quoted). nullopt for another type or a missing or invalid
// boundary (1 to 70 characters of the boundary alphabet).
std::optional<std::string> MultipartBoundary(const std::string& content_type);

// The parts of `body`, in order. nullopt with *error for a body without the
// opening boundary, a malformed boundary line or part head, a part without
// a form-data name, or a body cut short before its closing boundary.
std::optional<std::vector<FormPart>> ParseMultipart(const std::string& body, const std::string& boundary,
                                                    std::string* error);

}  // namespace oru::product_server
