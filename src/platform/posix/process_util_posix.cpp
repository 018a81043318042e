#include "platform/process_util.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ctime>

namespace oru {

uint64_t CurrentThreadId() { return static_cast<uint64_t>(::syscall(SYS_gettid)); }

int CurrentProcessId() { return static_cast<int>(::getpid()); }

std::string OwnExecutablePath() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

std::optional<std::string> GetEnvironmentVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

LocalDateTime ToLocalDateTime(int64_t unix_seconds) {
  time_t t = static_cast<time_t>(unix_seconds);
  struct tm tm_local{};
  ::localtime_r(&t, &tm_local);
  LocalDateTime out;
  out.year = tm_local.tm_year + 1900;
  out.month = tm_local.tm_mon + 1;
  out.day = tm_local.tm_mday;
  out.hour = tm_local.tm_hour;
  out.minute = tm_local.tm_min;
  out.second = tm_local.tm_sec;
  return out;
}

}  // namespace oru
