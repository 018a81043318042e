#pragma once
// Facts about the running process.

#include <cstdint>
#include <optional>
#include <string>

namespace oru {

// The calling thread's numeric identifier (the kernel's thread id on Linux).
uint64_t CurrentThreadId();
int CurrentProcessId();
// Full path of the running executable; empty when it cannot be found.
std::string OwnExecutablePath();
// An environment variable; nullopt when unset.
std::optional<std::string> GetEnvironmentVariable(const char* name);

struct LocalDateTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};
// Local calendar time of a Unix time in seconds.
LocalDateTime ToLocalDateTime(int64_t unix_seconds);

}  // namespace oru
