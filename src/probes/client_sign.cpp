#include "probes/platform_facts.h"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string_view>

#include "common/log.h"
#include "platform/process_util.h"
#include "platform/registry.h"
#include "platform/system_info.h"
#include "probes/system_registry.h"

namespace oru {
namespace {

constexpr std::string_view kSignValue = "ClientSign";
constexpr size_t kSignBufferBytes = 100;  // 49 characters and the terminator
constexpr std::string_view kSignPattern = "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx";
constexpr std::string_view kHexDigits = "0123456789abcdef";
constexpr std::string_view kVariantDigits = "89ab";

std::string ServiceKitKey(const std::string& brand) { return "Software\\" + brand + "\\" + brand + " Service Kit\\"; }
std::string HlmKey(const std::string& brand) { return "Software\\" + brand + "\\HLM\\"; }

// xorshift128+: the first word is s[0].
struct SignGenerator {
  uint64_t s[2] = {0, 0};

  uint64_t Next() {
    uint64_t s1 = s[0];
    const uint64_t s0 = s[1];
    s[0] = s0;
    s1 ^= s1 << 23;
    s[1] = s1 ^ s0 ^ (s1 >> 18) ^ (s0 >> 5);
    return s[1] + s0;
  }
};

uint64_t SplitMix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

uint64_t LittleEndianWord(const unsigned char* bytes) {
  uint64_t word = 0;
  for (int i = 7; i >= 0; --i) word = (word << 8) | bytes[i];
  return word;
}

std::atomic<bool (*)(void*, size_t)> g_random_source{nullptr};

// Guards the generator and the remembered signs; GetClientSign holds it from
// its read to its write so that two threads never make two signs.
std::mutex& SignMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

SignGenerator& Generator() {
  static auto* generator = new SignGenerator();
  return *generator;
}

// Signs that could not be stored, so the process keeps using one identity.
std::map<std::string, std::string>& UnstoredSigns() {
  static auto* signs = new std::map<std::string, std::string>();
  return *signs;
}

// Without the system's random source the state would stay as it was (zero in
// a fresh process: every such machine would get the same sign), so mix in
// what differs between processes and calls instead.
void SeedFromFallbackEntropy(SignGenerator* generator) {
  static std::atomic<uint64_t> calls{0};
  int stack_marker = 0;
  const uint64_t entropy[] = {
      static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()),
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()),
      static_cast<uint64_t>(CurrentProcessId()),
      CurrentThreadId(),
      static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&stack_marker)),
      calls.fetch_add(1) + 1,
  };
  for (uint64_t value : entropy) {
    generator->s[0] ^= SplitMix64(value ^ generator->s[1]);
    generator->s[1] ^= SplitMix64(value + generator->s[0]);
    generator->Next();
  }
  if (generator->s[0] == 0 && generator->s[1] == 0) generator->s[0] = 0x9E3779B97F4A7C15ULL;
}

void SeedGenerator(SignGenerator* generator) {
  bool (*source)(void*, size_t) = g_random_source.load();
  if (source == nullptr) source = &FillRandomBytes;
  unsigned char seed[16] = {};
  if (source(seed, sizeof seed)) {
    generator->s[0] = LittleEndianWord(seed);
    generator->s[1] = LittleEndianWord(seed + 8);
    if (generator->s[0] != 0 || generator->s[1] != 0) return;
  }
  Log(kLogWarn, "[WARN] GetClientSign, random source unavailable, seeding from time and process facts.");
  SeedFromFallbackEntropy(generator);
}

// Nibble n of the 16 random bytes: byte n/2, low half for even n.
unsigned Nibble(const unsigned char* bytes, size_t n) {
  const unsigned byte = bytes[n / 2];
  return n % 2 == 0 ? (byte & 0x0F) : (byte >> 4);
}

std::string NewSign() {
  SignGenerator& generator = Generator();
  SeedGenerator(&generator);
  unsigned char bytes[16];
  for (int word = 0; word < 2; ++word) {
    const uint64_t value = generator.Next();
    for (int i = 0; i < 8; ++i) bytes[word * 8 + i] = static_cast<unsigned char>(value >> (8 * i));
  }
  std::string sign = "{";
  size_t nibble = 0;
  for (char c : kSignPattern) {
    if (c == 'x') {
      sign.push_back(kHexDigits[Nibble(bytes, nibble++)]);
    } else if (c == 'y') {
      sign.push_back(kVariantDigits[Nibble(bytes, nibble++) & 3]);
    } else {
      sign.push_back(c);
    }
  }
  return sign + "G}";
}

std::string ReadSignAt(const Registry& registry, RegHive hive, const std::string& path, RegView view,
                       bool create_key) {
  RegKey key;
  long status = kErrorFileNotFound;
  if (create_key) status = registry.CreateKey(hive, path, kKeyRead, view, &key);
  if (status != kErrorSuccess) status = registry.OpenKey(hive, path, kKeyRead, view, &key);
  if (status != kErrorSuccess) return {};
  std::string sign;
  if (key.QueryString(kSignValue, kSignBufferBytes, &sign) != kErrorSuccess) return {};
  return sign;
}

bool WriteSignAt(const Registry& registry, const std::string& path, const std::string& sign) {
  RegKey key;
  if (registry.CreateKey(RegHive::kLocalMachine, path, kKeyWrite, InstallerMachineView(), &key) != kErrorSuccess)
    return false;
  return key.SetString(kSignValue, sign) == kErrorSuccess;
}

}  // namespace

std::string ReadClientSign(const std::string& brand) {
  const Registry registry = ProcessRegistry();
  const RegView machine_view = InstallerMachineView();
  // An empty stored text is no sign: stopping at it would hide a real sign in
  // the next key and make every call generate a new one.
  std::string sign = ReadSignAt(registry, RegHive::kCurrentUser, ServiceKitKey(brand), RegView::kNone, true);
  if (sign.empty()) sign = ReadSignAt(registry, RegHive::kLocalMachine, ServiceKitKey(brand), machine_view, true);
  if (sign.empty()) sign = ReadSignAt(registry, RegHive::kLocalMachine, HlmKey(brand), machine_view, false);
  return sign;
}

std::string GetClientSign(const std::string& brand) {
  std::lock_guard<std::mutex> lock(SignMutex());
  std::string sign = ReadClientSign(brand);
  if (!sign.empty()) return sign;
  auto unstored = UnstoredSigns().find(brand);
  if (unstored != UnstoredSigns().end()) return unstored->second;

  sign = NewSign();
  const Registry registry = ProcessRegistry();
  const bool kit_written = WriteSignAt(registry, ServiceKitKey(brand), sign);
  const bool hlm_written = WriteSignAt(registry, HlmKey(brand), sign);
  if (!kit_written && !hlm_written) UnstoredSigns()[brand] = sign;
  return sign;
}

void SetRandomSourceForTesting(bool (*source)(void* buffer, size_t size)) { g_random_source.store(source); }

}  // namespace oru
