#pragma once
// Every line logged through the process log while the capture exists.
// Installs itself as the process log on construction and removes itself on
// destruction; thread-safe.

#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/log.h"

namespace oru::testing {

class LogCapture : public oru::LogSink {
 public:
  LogCapture();
  ~LogCapture() override;
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  void LogV(int level, const char* format, va_list args) override;

  std::vector<std::string> Lines() const;
  // Number of lines that contain `text`.
  int Count(const std::string& text) const;
  // The lines that contain `text`, in order.
  std::vector<std::string> Matching(const std::string& text) const;
  // The number in "<key>[<number>]" of the first line holding `line_part`; -1 when none.
  int64_t NumberAfter(const std::string& line_part, const std::string& key) const;
  // Every line, each followed by "\n" (for failure messages).
  std::string All() const;
  void Clear();

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

}  // namespace oru::testing
