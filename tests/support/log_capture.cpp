#include "support/log_capture.h"

#include <cstdio>

namespace oru::testing {

LogCapture::LogCapture() { oru::SetProcessLog(this); }

LogCapture::~LogCapture() { oru::SetProcessLog(nullptr); }

void LogCapture::LogV(int, const char* format, va_list args) {
  char line[4096];
  std::vsnprintf(line, sizeof(line), format, args);
  std::lock_guard lock(mu_);
  lines_.emplace_back(line);
}

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard lock(mu_);
  return lines_;
}

int LogCapture::Count(const std::string& text) const { return static_cast<int>(Matching(text).size()); }

std::vector<std::string> LogCapture::Matching(const std::string& text) const {
  std::vector<std::string> out;
  for (const std::string& l : Lines()) {
    if (l.find(text) != std::string::npos) out.push_back(l);
  }
  return out;
}

int64_t LogCapture::NumberAfter(const std::string& line_part, const std::string& key) const {
  for (const std::string& l : Matching(line_part)) {
    size_t at = l.find(key + "[");
    if (at != std::string::npos) return std::stoll(l.substr(at + key.size() + 1));
  }
  return -1;
}

std::string LogCapture::All() const {
  std::string out;
  for (const std::string& l : Lines()) out += l + "\n";
  return out;
}

void LogCapture::Clear() {
  std::lock_guard lock(mu_);
  lines_.clear();
}

}  // namespace oru::testing
