#include "platform/net_info.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string_view>

extern char** environ;

namespace oru {
namespace {

constexpr const char* kSnmpPath = "/proc/net/snmp";
constexpr const char* kMeminfoPath = "/proc/meminfo";

class AddrInfoList {
 public:
  explicit AddrInfoList(addrinfo* list) : list_(list) {}
  ~AddrInfoList() {
    if (list_ != nullptr) ::freeaddrinfo(list_);
  }
  AddrInfoList(const AddrInfoList&) = delete;
  AddrInfoList& operator=(const AddrInfoList&) = delete;
  const addrinfo* get() const { return list_; }

 private:
  addrinfo* list_;
};

class SpawnFileActions {
 public:
  SpawnFileActions() { ok_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnFileActions() {
    if (ok_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

std::vector<std::string_view> SplitWords(std::string_view line) {
  std::vector<std::string_view> words;
  size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    size_t start = pos;
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') ++pos;
    if (pos > start) words.push_back(line.substr(start, pos - start));
  }
  return words;
}

std::optional<uint64_t> ParseUnsigned(std::string_view text) {
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool ReadSmallFile(const std::string& path, std::string& out) {
  std::ifstream in(path);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  out = text.str();
  return true;
}

// The "Tcp:" header line names the columns; the next "Tcp:" line holds them.
std::optional<uint64_t> ParseInSegs(const std::string& snmp) {
  std::istringstream lines(snmp);
  std::string header;
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("Tcp:", 0) != 0) continue;
    if (header.empty()) {
      header = line;
      continue;
    }
    std::vector<std::string_view> names = SplitWords(header);
    std::vector<std::string_view> values = SplitWords(line);
    auto it = std::find(names.begin(), names.end(), "InSegs");
    if (it == names.end()) return std::nullopt;
    size_t index = static_cast<size_t>(it - names.begin());
    if (index >= values.size()) return std::nullopt;
    return ParseUnsigned(values[index]);
  }
  return std::nullopt;
}

std::optional<uint64_t> ParseMemAvailable(const std::string& meminfo) {
  std::istringstream lines(meminfo);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("MemAvailable:", 0) != 0) continue;
    std::vector<std::string_view> words = SplitWords(line);
    if (words.size() < 2) return std::nullopt;
    std::optional<uint64_t> value = ParseUnsigned(words[1]);
    if (!value) return std::nullopt;
    bool in_kib = words.size() >= 3 && words[2] == "kB";
    return in_kib ? *value * 1024 : *value;
  }
  return std::nullopt;
}

int WaitForChild(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

}  // namespace

std::vector<uint32_t> ResolveIpv4(const std::string& host) {
  std::vector<uint32_t> addresses;
  if (host.empty()) return addresses;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* raw = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &raw) != 0) return addresses;
  AddrInfoList list(raw);
  for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
    sockaddr_in sin{};
    std::copy_n(reinterpret_cast<const unsigned char*>(ai->ai_addr), sizeof sin,
                reinterpret_cast<unsigned char*>(&sin));
    uint32_t address = ntohl(sin.sin_addr.s_addr);
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
      addresses.push_back(address);
    }
  }
  return addresses;
}

bool FlushResolverCache() {
  SpawnFileActions actions;
  if (!actions.ok()) return false;
  ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  char tool[] = "resolvectl";
  char verb[] = "flush-caches";
  char* argv[] = {tool, verb, nullptr};
  pid_t pid = 0;
  // posix_spawnp searches PATH; a missing tool fails here (or exits 127).
  if (::posix_spawnp(&pid, tool, actions.get(), nullptr, argv, environ) != 0) return false;
  int status = WaitForChild(pid);
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::optional<uint64_t> ReceivedTcpSegments() { return ReceivedTcpSegmentsFromFileForTesting(kSnmpPath); }

std::optional<uint64_t> AvailablePhysicalMemory() { return AvailablePhysicalMemoryFromFileForTesting(kMeminfoPath); }

std::optional<uint64_t> ReceivedTcpSegmentsFromFileForTesting(const std::string& path) {
  std::string text;
  if (!ReadSmallFile(path, text)) return std::nullopt;
  return ParseInSegs(text);
}

std::optional<uint64_t> AvailablePhysicalMemoryFromFileForTesting(const std::string& path) {
  std::string text;
  if (!ReadSmallFile(path, text)) return std::nullopt;
  return ParseMemAvailable(text);
}

}  // namespace oru
