#include "platform/system_info.h"

#include <sys/random.h>
#include <sys/utsname.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>

namespace oru {
namespace {

struct LocaleLcid {
  std::string_view name;
  uint32_t lcid;
};

// POSIX locale names and the Windows locale identifier of the same locale.
// Every identifier the install-language detection knows has a row (the
// language-neutral ones aside: a POSIX name is never neutral), plus the
// English ones and a few other common locales.
constexpr LocaleLcid kLocaleTable[] = {
    {"en_US", 0x0409}, {"en_GB", 0x0809}, {"en_AU", 0x0C09}, {"en_CA", 0x1009}, {"en_NZ", 0x1409},
    {"en_IE", 0x1809}, {"en_ZA", 0x1C09}, {"en_JM", 0x2009}, {"en_BZ", 0x2809}, {"en_TT", 0x2C09},
    {"en_ZW", 0x3009}, {"en_PH", 0x3409}, {"en_HK", 0x3C09}, {"en_IN", 0x4009}, {"en_MY", 0x4409},
    {"en_SG", 0x4809},
    {"fr_BE", 0x080C}, {"fr_CA", 0x0C0C}, {"fr_FR", 0x040C}, {"fr_LU", 0x140C}, {"fr_MC", 0x180C},
    {"fr_CH", 0x100C},
    {"de_AT", 0x0C07}, {"de_DE", 0x0407}, {"de_LI", 0x1407}, {"de_LU", 0x1007}, {"de_CH", 0x0807},
    {"ja_JP", 0x0411},
    {"pt_BR", 0x0416}, {"pt_PT", 0x0816},
    {"es_AR", 0x2C0A}, {"es_BO", 0x400A}, {"es_CL", 0x340A}, {"es_CO", 0x240A}, {"es_CR", 0x140A},
    {"es_DO", 0x1C0A}, {"es_EC", 0x300A}, {"es_SV", 0x440A}, {"es_GT", 0x100A}, {"es_HN", 0x480A},
    {"es_MX", 0x080A}, {"es_NI", 0x4C0A}, {"es_PA", 0x180A}, {"es_PY", 0x3C0A}, {"es_PE", 0x280A},
    {"es_PR", 0x500A}, {"es_ES@tradnl", 0x040A}, {"es_ES", 0x0C0A}, {"es_UY", 0x380A}, {"es_VE", 0x200A},
    {"it_IT", 0x0410}, {"it_CH", 0x0810},
    {"zh_TW", 0x0404}, {"zh_HK", 0x0C04}, {"zh_CN", 0x0804}, {"zh_SG", 0x1004}, {"zh_MO", 0x1404},
    {"ru_RU", 0x0419}, {"ru_MD", 0x0819},
    {"nl_NL", 0x0413}, {"nl_BE", 0x0813},
    {"ko_KR", 0x0412},
    {"id_ID", 0x0421},
    {"sv_SE", 0x041D}, {"sv_FI", 0x081D},
    {"ar_AE", 0x3801}, {"ar_BH", 0x3C01}, {"ar_DZ", 0x1401}, {"ar_EG", 0x0C01}, {"ar_IQ", 0x0801},
    {"ar_JO", 0x2C01}, {"ar_KW", 0x3401}, {"ar_LB", 0x3001}, {"ar_LY", 0x1001}, {"ar_MA", 0x1801},
    {"ar_OM", 0x2001}, {"ar_QA", 0x4001}, {"ar_SA", 0x0401}, {"ar_SY", 0x2801}, {"ar_TN", 0x1C01},
    {"ar_YE", 0x2401},
    {"mr_IN", 0x044E}, {"te_IN", 0x044A}, {"ta_IN", 0x0449}, {"bn_IN", 0x0445}, {"bn_BD", 0x0845},
    {"hi_IN", 0x0439}, {"th_TH", 0x041E},
    {"pl_PL", 0x0415}, {"tr_TR", 0x041F}, {"cs_CZ", 0x0405}, {"uk_UA", 0x0422}, {"vi_VN", 0x042A},
    {"he_IL", 0x040D}, {"el_GR", 0x0408}, {"hu_HU", 0x040E}, {"da_DK", 0x0406}, {"nb_NO", 0x0414},
    {"fi_FI", 0x040B}, {"ro_RO", 0x0418},
};

// A name without a territory ("fr") stands for the language's main locale, as
// a Windows user of that language would have it.
constexpr LocaleLcid kLanguageTable[] = {
    {"en", 0x0409}, {"fr", 0x040C}, {"de", 0x0407}, {"ja", 0x0411}, {"pt", 0x0416}, {"es", 0x0C0A},
    {"it", 0x0410}, {"zh", 0x0804}, {"ru", 0x0419}, {"nl", 0x0413}, {"ko", 0x0412}, {"id", 0x0421},
    {"sv", 0x041D}, {"ar", 0x0401}, {"mr", 0x044E}, {"te", 0x044A}, {"ta", 0x0449}, {"bn", 0x0445},
    {"hi", 0x0439}, {"th", 0x041E}, {"pl", 0x0415}, {"tr", 0x041F}, {"cs", 0x0405}, {"uk", 0x0422},
    {"vi", 0x042A}, {"he", 0x040D}, {"el", 0x0408}, {"hu", 0x040E}, {"da", 0x0406}, {"nb", 0x0414},
    {"fi", 0x040B}, {"ro", 0x0418},
};

std::optional<uint32_t> FindLcid(const LocaleLcid* begin, const LocaleLcid* end, std::string_view name) {
  for (const LocaleLcid* row = begin; row != end; ++row) {
    if (row->name == name) return row->lcid;
  }
  return std::nullopt;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

struct LocaleParts {
  std::string language;   // "pt"
  std::string territory;  // "BR"; empty when none
  std::string modifier;   // "latin"; empty when none
};

// "pt_br.UTF-8@euro" -> {"pt", "BR", "euro"}: language lower-case, territory
// upper-case, code set dropped.
LocaleParts SplitLocale(std::string_view name) {
  LocaleParts parts;
  if (size_t at = name.find('@'); at != std::string_view::npos) {
    parts.modifier = std::string(name.substr(at + 1));
    name = name.substr(0, at);
  }
  name = name.substr(0, name.find('.'));
  size_t underscore = name.find('_');
  for (char c : name.substr(0, underscore)) parts.language.push_back(Lower(c));
  if (underscore != std::string_view::npos) {
    for (char c : name.substr(underscore + 1)) parts.territory.push_back(Upper(c));
  }
  return parts;
}

bool IsPlainLocale(std::string_view name) {
  std::string_view base = name.substr(0, name.find_first_of(".@"));
  return base.empty() || base == "C" || base == "POSIX";
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

// The locale that governs messages: LC_ALL, then LC_MESSAGES, then LANG.
std::string MessagesLocale() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    std::string value = Env(name);
    if (!value.empty()) return value;
  }
  return {};
}

// "en_US.UTF-8" -> "en-US"; empty for "C", "POSIX" and empty names.
std::string UiLanguageTag(std::string_view locale_name) {
  if (IsPlainLocale(locale_name)) return {};
  LocaleParts parts = SplitLocale(locale_name);
  if (parts.language.empty()) return {};
  return parts.territory.empty() ? parts.language : parts.language + "-" + parts.territory;
}

void AddUiLanguage(std::vector<std::string>* tags, const std::string& tag) {
  if (tag.empty()) return;
  for (const std::string& known : *tags) {
    if (known == tag) return;
  }
  tags->push_back(tag);
}

std::vector<std::string> ReadUiLanguages() {
  std::vector<std::string> tags;
  std::string list = Env("LANGUAGE");
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    AddUiLanguage(&tags, UiLanguageTag(std::string_view(list).substr(start, end - start)));
    start = end + 1;
  }
  AddUiLanguage(&tags, UiLanguageTag(MessagesLocale()));
  return tags;
}

// Up to three dotted numbers from the front of a kernel release
// ("6.1.0-18-amd64" -> 6, 1, 0).
void ParseKernelRelease(std::string_view release, MachineFacts* facts) {
  int* fields[] = {&facts->os_major, &facts->os_minor, &facts->os_build};
  const char* p = release.data();
  const char* end = p + release.size();
  for (int* field : fields) {
    auto [next, ec] = std::from_chars(p, end, *field);
    if (ec != std::errc()) return;
    if (next == end || *next != '.') return;
    p = next + 1;
  }
}

void ReadArchitecture(MachineFacts* facts) {
  struct utsname names {};
  if (::uname(&names) != 0) return;
  std::string_view machine(names.machine);
  if (machine == "x86_64") {
    facts->native = CpuArchitecture::kX64;
  } else if (machine == "aarch64") {
    facts->native = CpuArchitecture::kArm64;
  } else {
    facts->native = CpuArchitecture::kX86;
  }
  facts->wow64 = facts->native != CpuArchitecture::kX86;
  ParseKernelRelease(names.release, facts);
}

int32_t ReadTimeZoneBias() {
  ::tzset();
  time_t now = ::time(nullptr);
  struct tm local {};
  if (::localtime_r(&now, &local) == nullptr) return 0;
  return static_cast<int32_t>(-(local.tm_gmtoff / 60));
}

std::unique_ptr<MachineFacts>& FactsRecord() {
  static auto* record = new std::unique_ptr<MachineFacts>();
  return *record;
}

std::mutex& FactsMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

// ---------------------------------------------------------------- mounts

std::mutex& MountsMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

std::optional<std::vector<MountInfo>>& TestMounts() {
  static auto* mounts = new std::optional<std::vector<MountInfo>>();
  return *mounts;
}

int OctalDigit(char c) { return (c >= '0' && c <= '7') ? c - '0' : -1; }

// The kernel writes space, tab, newline and backslash in mount points as
// three octal digits after a backslash ("\040").
std::string UnescapeMountField(std::string_view field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      int a = OctalDigit(field[i + 1]);
      int b = OctalDigit(field[i + 2]);
      int c = OctalDigit(field[i + 3]);
      if (a >= 0 && a <= 3 && b >= 0 && c >= 0) {
        out.push_back(static_cast<char>(a * 64 + b * 8 + c));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  while (start < line.size()) {
    size_t end = line.find(' ', start);
    if (end == std::string_view::npos) end = line.size();
    if (end > start) fields.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

// File systems with a device under /dev/ that still are no local disk one
// could download to: memory, kernel views, network shares, read-only media.
bool IsDiskFileSystem(std::string_view fs_type) {
  if (fs_type == "fuseblk") return true;  // ntfs-3g and friends on a real partition
  if (fs_type.substr(0, 4) == "fuse") return false;
  constexpr std::string_view kNotDisks[] = {"tmpfs", "devtmpfs", "ramfs",  "proc",     "sysfs", "nfs",
                                            "nfs4",  "cifs",     "smb3",   "smbfs",    "9p",    "overlay",
                                            "autofs", "iso9660", "udf",    "squashfs", "ceph",  "devpts"};
  for (std::string_view type : kNotDisks) {
    if (fs_type == type) return false;
  }
  return true;
}

std::string ReadSmallFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  return text;
}

// removable and external bus of a block device, from its sysfs entry.
void ReadBlockDeviceFlags(std::string_view major_minor, MountInfo* mount) {
  std::error_code ec;
  std::filesystem::path device =
      std::filesystem::canonical(std::filesystem::path("/sys/dev/block") / std::string(major_minor), ec);
  if (ec) return;
  std::filesystem::path disk = device;
  if (std::filesystem::exists(device / "partition", ec)) disk = device.parent_path();
  mount->removable = ReadSmallFile(disk / "removable") == "1";
  const std::string sys_path = disk.string();
  mount->external_bus = sys_path.find("/usb") != std::string::npos || sys_path.find("mmc") != std::string::npos ||
                        sys_path.find("firewire") != std::string::npos;
}

// One line of /proc/self/mountinfo:
//   id parent major:minor root mount-point options [optional...] - type source super-options
std::optional<MountInfo> ParseMountLine(std::string_view line) {
  std::vector<std::string_view> fields = SplitFields(line);
  if (fields.size() < 7) return std::nullopt;
  size_t dash = 6;
  while (dash < fields.size() && fields[dash] != "-") ++dash;
  if (dash + 2 >= fields.size()) return std::nullopt;
  MountInfo mount;
  mount.mount_point = UnescapeMountField(fields[4]);
  if (mount.mount_point.empty() || mount.mount_point.back() != '/') mount.mount_point.push_back('/');
  mount.fs_type = UnescapeMountField(fields[dash + 1]);
  mount.device = UnescapeMountField(fields[dash + 2]);
  mount.block_backed = mount.device.rfind("/dev/", 0) == 0 && IsDiskFileSystem(mount.fs_type);
  if (mount.block_backed) ReadBlockDeviceFlags(fields[2], &mount);
  return mount;
}

std::vector<MountInfo> ReadSystemMounts() {
  std::ifstream in("/proc/self/mountinfo");
  std::vector<MountInfo> mounts;
  std::string line;
  while (std::getline(in, line)) {
    if (std::optional<MountInfo> mount = ParseMountLine(line)) mounts.push_back(std::move(*mount));
  }
  return mounts;
}

// `path` with symbolic links of its existing part resolved and "." / ".."
// removed, ending in the separator.
std::string ResolvedFolderText(const std::string& path) {
  std::error_code ec;
  std::filesystem::path resolved = std::filesystem::weakly_canonical(path, ec);
  std::string text = ec ? std::filesystem::path(path).lexically_normal().string() : resolved.string();
  if (text.empty() || text.back() != '/') text.push_back('/');
  return text;
}

}  // namespace

MachineFacts ReadMachineFacts() {
  MachineFacts facts;
  ReadArchitecture(&facts);
  std::string lang = Env("LANG");
  facts.system_default_lcid = LcidFromPosixLocale(lang).value_or(0x0409);
  facts.user_default_lcid = LcidFromPosixLocale(MessagesLocale()).value_or(0x0409);
  facts.ui_languages = ReadUiLanguages();
  facts.time_zone_bias_minutes = ReadTimeZoneBias();
  facts.screen_width = 0;  // no display server is asked; the report shows 0*0
  facts.screen_height = 0;
  return facts;
}

const MachineFacts& GetMachineFacts() {
  std::lock_guard<std::mutex> lock(FactsMutex());
  std::unique_ptr<MachineFacts>& record = FactsRecord();
  if (!record) record = std::make_unique<MachineFacts>(ReadMachineFacts());
  return *record;
}

void SetMachineFactsForTesting(const MachineFacts& facts) {
  std::lock_guard<std::mutex> lock(FactsMutex());
  std::unique_ptr<MachineFacts>& record = FactsRecord();
  if (record) {
    *record = facts;  // keep earlier references valid
  } else {
    record = std::make_unique<MachineFacts>(facts);
  }
}

std::optional<uint32_t> LcidFromPosixLocale(const std::string& locale_name) {
  if (IsPlainLocale(locale_name)) return std::nullopt;
  LocaleParts parts = SplitLocale(locale_name);
  if (parts.territory.empty()) {
    return FindLcid(std::begin(kLanguageTable), std::end(kLanguageTable), parts.language);
  }
  std::string name = parts.language + "_" + parts.territory;
  if (!parts.modifier.empty()) {
    if (auto lcid = FindLcid(std::begin(kLocaleTable), std::end(kLocaleTable), name + "@" + parts.modifier))
      return lcid;
  }
  return FindLcid(std::begin(kLocaleTable), std::end(kLocaleTable), name);
}

bool FillRandomBytes(void* buffer, size_t size) {
  auto* out = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::getrandom(out + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::vector<MountInfo> ListMounts() {
  {
    std::lock_guard<std::mutex> lock(MountsMutex());
    if (TestMounts()) return *TestMounts();
  }
  return ReadSystemMounts();
}

std::optional<MountInfo> FindMount(const std::string& path) {
  const std::string folder = ResolvedFolderText(path);
  std::optional<MountInfo> best;
  for (MountInfo& mount : ListMounts()) {
    if (folder.compare(0, mount.mount_point.size(), mount.mount_point) != 0) continue;
    // ">=": a later mount on the same point hides the earlier one.
    if (best && mount.mount_point.size() < best->mount_point.size()) continue;
    best = std::move(mount);
  }
  return best;
}

std::string MountPointOf(const std::string& path) {
  std::optional<MountInfo> mount = FindMount(path);
  return mount ? mount->mount_point : std::string("/");
}

void SetMountsForTesting(std::optional<std::vector<MountInfo>> mounts) {
  std::lock_guard<std::mutex> lock(MountsMutex());
  TestMounts() = std::move(mounts);
}

}  // namespace oru
