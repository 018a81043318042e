// The product server parses upload bodies from any client: no input may
// crash it, and every part it returns must lie inside the body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "product_server/multipart.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  // First line: the Content-Type value; the rest: the body.
  const size_t newline = input.find('\n');
  const std::string content_type = input.substr(0, newline);
  const std::string body = newline == std::string::npos ? std::string() : input.substr(newline + 1);
  const auto boundary = oru::product_server::MultipartBoundary(content_type);
  std::string error;
  const auto parts = oru::product_server::ParseMultipart(body, boundary.value_or("b"), &error);
  if (parts) {
    size_t total = 0;
    for (const auto& part : *parts) total += part.content.size();
    if (total > body.size()) std::abort();
  }
  return 0;
}
