#include "app/command_line.h"

#include <charconv>

namespace oru {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Value(const ArgumentMap& arguments, const std::string& key) {
  auto it = arguments.find(key);
  return it == arguments.end() ? std::string_view() : std::string_view(it->second);
}

// The program name: up to the closing quote, or up to the first blank.
size_t ReadProgramName(std::string_view line, std::string& out) {
  size_t i = 0;
  if (!line.empty() && line[0] == '"') {
    size_t close = line.find('"', 1);
    out = std::string(line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    return close == std::string_view::npos ? line.size() : close + 1;
  }
  while (i < line.size() && !IsBlank(line[i])) ++i;
  out = std::string(line.substr(0, i));
  return i;
}

// One argument after the program name, starting at a non-blank character.
size_t ReadArgument(std::string_view line, size_t i, std::string& out) {
  bool quoted = false;
  while (i < line.size()) {
    char c = line[i];
    if (c == '\\') {
      size_t slashes = 0;
      while (i < line.size() && line[i] == '\\') ++slashes, ++i;
      if (i < line.size() && line[i] == '"') {
        out.append(slashes / 2, '\\');
        if (slashes % 2 == 1) {
          out.push_back('"');
          ++i;
        }
      } else {
        out.append(slashes, '\\');
      }
      continue;
    }
    if (c == '"') {
      if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
        out.push_back('"');
        i += 2;
        continue;
      }
      quoted = !quoted;
      ++i;
      continue;
    }
    if (IsBlank(c) && !quoted) break;
    out.push_back(c);
    ++i;
  }
  return i;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  if (line.empty()) return args;
  std::string program;
  size_t i = ReadProgramName(line, program);
  args.push_back(std::move(program));
  for (;;) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size()) break;
    std::string arg;
    i = ReadArgument(line, i, arg);
    args.push_back(std::move(arg));
  }
  return args;
}

ArgumentMap BuildArgumentMap(const std::vector<std::string>& arguments) {
  ArgumentMap map;
  for (const std::string& arg : arguments) {
    size_t eq = arg.find('=');
    if (eq == std::string::npos) {
      map[arg] = std::string();
    } else {
      map[arg.substr(0, eq)] = arg.substr(eq + 1);
    }
  }
  return map;
}

StartupArguments ReadStartupArguments(const ArgumentMap& arguments) {
  StartupArguments out;
  out.fork = Value(arguments, "OnlyForkInstallDependent") == "1";
  out.host_lang = std::string(Value(arguments, "HostLang"));
  out.host_version = std::string(Value(arguments, "HostVersion"));
  out.host_hwnd = std::string(Value(arguments, "HostHwnd"));
  return out;
}

std::optional<int32_t> ParseDecimalHandle(std::string_view text) {
  int32_t value = 0;
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  if (begin == end) return std::nullopt;
  auto [ptr, ec] = std::from_chars(begin, end, value, 10);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

}  // namespace oru
