#pragma once
// Process-wide log access. The writer (simpleLog, src/app) installs itself
// once at start-up; until then every call writes nothing and does not fail.
// Levels: 1 error, 2 warning, 3 information; the message text carries its
// own tag ("[ERROR] ", "[WARN] ", "[INFO] ").

#include <cstdarg>

namespace oru {

inline constexpr int kLogError = 1;
inline constexpr int kLogWarn = 2;
inline constexpr int kLogInfo = 3;

// What the process logger offers to the rest of the system. Implementations
// must accept calls from any thread.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void LogV(int level, const char* format, va_list args) = 0;
};

// Installs the process logger (not owned; must outlive every Log call).
// Written once before other threads start; passing nullptr uninstalls (tests).
void SetProcessLog(LogSink* sink);
LogSink* ProcessLog();

// printf-style; appends one line through the process logger, if any.
void Log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace oru
