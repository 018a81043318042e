#pragma once
// Environment variables set for one scope and put back afterwards (the time
// zone is re-read both times, so TZ changes take effect at once).

#include <time.h>

#include <cstdlib>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace oru::testing {

class ScopedEnv {
 public:
  // A null value unsets the variable for the scope.
  ScopedEnv(std::initializer_list<std::pair<const char*, const char*>> values) {
    for (const auto& [name, value] : values) {
      const char* old = std::getenv(name);
      saved_.emplace(name, old ? std::optional<std::string>(old) : std::nullopt);
      Set(name, value);
    }
    ::tzset();
  }
  ScopedEnv(const char* name, const std::string& value) : ScopedEnv({{name, value.c_str()}}) {}
  ~ScopedEnv() {
    for (const auto& [name, value] : saved_) Set(name.c_str(), value ? value->c_str() : nullptr);
    ::tzset();
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  static void Set(const char* name, const char* value) {
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace oru::testing
