#include "platform/crash_signals.h"

#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

extern char** environ;

namespace oru {
namespace {

// Fixed tables: the handler may neither allocate nor lock.
constexpr size_t kMaxModules = 256;
constexpr size_t kMaxSections = 8192;
constexpr size_t kMaxPath = 1024;
constexpr size_t kMaxSectionName = 32;
constexpr size_t kMaxHelperArgs = 8;
constexpr size_t kAltStackSize = 64 * 1024;
constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

struct ModuleEntry {
  char path[kMaxPath];
};

struct SectionEntry {
  uint64_t start;
  uint64_t size;
  uint32_t module;
  char name[kMaxSectionName];
};

ModuleEntry g_modules[kMaxModules];
SectionEntry g_sections[kMaxSections];
std::atomic<size_t> g_module_count{0};
std::atomic<size_t> g_section_count{0};
std::mutex g_table_mu;  // only for building; the handler never takes it

char g_record_path[kMaxPath];
char g_record_tmp_path[kMaxPath + 8];
char g_dump_path[kMaxPath];
char g_helper_storage[kMaxHelperArgs][kMaxPath];
char* g_helper_argv[kMaxHelperArgs + 1];
std::atomic<bool> g_installed{false};
std::atomic<bool> g_in_handler{false};

// Every alternate signal stack handed out; they live until the process ends.
struct AltStack {
  AltStack* next = nullptr;
  alignas(16) char memory[kAltStackSize];
};
std::atomic<AltStack*> g_alt_stacks{nullptr};

// Two state buffers: writers fill the idle one, then flip the index.
char g_state[2][kCrashStateCapacity];
std::atomic<size_t> g_state_size[2];
std::atomic<int> g_state_current{0};
std::mutex g_state_mu;  // among writers only

bool CopyName(const std::string& from, char* to, size_t capacity) {
  if (from.size() >= capacity) return false;
  std::memcpy(to, from.c_str(), from.size() + 1);
  return true;
}

// ---- table building (before any crash; may allocate) ----

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

bool ReadAt(int fd, void* buffer, size_t size, uint64_t offset) {
  return ::pread(fd, buffer, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

void AddSection(uint64_t start, uint64_t size, uint32_t module, const char* name) {
  size_t count = g_section_count.load();
  if (count >= kMaxSections) return;
  SectionEntry& entry = g_sections[count];
  entry.start = start;
  entry.size = size;
  entry.module = module;
  std::strncpy(entry.name, name, kMaxSectionName - 1);
  entry.name[kMaxSectionName - 1] = '\0';
  g_section_count.store(count + 1);
}

// Adds the allocated sections of the ELF file at `path`, loaded at `base`.
bool ReadSections(const char* path, uint64_t base, uint32_t module) {
  FdCloser file{::open(path, O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return false;
  ElfW(Ehdr) header;
  if (!ReadAt(file.fd, &header, sizeof header, 0)) return false;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_shentsize != sizeof(ElfW(Shdr))) return false;
  if (header.e_shnum == 0 || header.e_shstrndx >= header.e_shnum) return false;
  std::vector<ElfW(Shdr)> sections(header.e_shnum);
  if (!ReadAt(file.fd, sections.data(), sections.size() * sizeof(ElfW(Shdr)), header.e_shoff)) return false;
  const ElfW(Shdr)& names_header = sections[header.e_shstrndx];
  std::vector<char> names(names_header.sh_size + 1, '\0');
  if (!ReadAt(file.fd, names.data(), names_header.sh_size, names_header.sh_offset)) return false;
  for (const ElfW(Shdr)& section : sections) {
    if ((section.sh_flags & SHF_ALLOC) == 0 || section.sh_addr == 0 || section.sh_size == 0) continue;
    if (section.sh_name >= names_header.sh_size) continue;
    AddSection(base + section.sh_addr, section.sh_size, module, names.data() + section.sh_name);
  }
  return true;
}

std::string OwnExecutablePathForCrash() {
  char buffer[kMaxPath];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<size_t>(n));
}

struct ModuleListing {
  std::string path;
  uint64_t base = 0;
};

int CollectModule(dl_phdr_info* info, size_t, void* data) {
  auto* list = static_cast<std::vector<ModuleListing>*>(data);
  std::string path = info->dlpi_name != nullptr ? info->dlpi_name : "";
  // The main program is listed without a name.
  if (path.empty() && list->empty()) path = OwnExecutablePathForCrash();
  if (!path.empty() && path.front() == '/') list->push_back({path, info->dlpi_addr});
  return 0;
}

// ---- async-signal-safe output ----

class SafeWriter {
 public:
  explicit SafeWriter(int fd) : fd_(fd) {}
  ~SafeWriter() { Flush(); }
  SafeWriter(const SafeWriter&) = delete;
  SafeWriter& operator=(const SafeWriter&) = delete;

  void Put(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      if (used_ == sizeof buffer_) Flush();
      buffer_[used_++] = data[i];
    }
  }
  void Text(const char* text) { Put(text, std::strlen(text)); }
  // Escapes "\" and line breaks so that one value stays on one line.
  void Escaped(const char* text, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      if (text[i] == '\\') Text("\\\\");
      else if (text[i] == '\n') Text("\\n");
      else if (text[i] == '\r') Text("\\r");
      else Put(&text[i], 1);
    }
  }
  // "0x" and upper-case digits, at least `min_digits` of them.
  void Hex(uint64_t value, int min_digits) {
    char digits[16];
    int count = 0;
    do {
      digits[count++] = "0123456789ABCDEF"[value & 0xF];
      value >>= 4;
    } while (value != 0);
    Text("0x");
    for (int i = count; i < min_digits; ++i) Put("0", 1);
    while (count > 0) Put(&digits[--count], 1);
  }
  void Decimal(uint64_t value) {
    char digits[20];
    int count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (count > 0) Put(&digits[--count], 1);
  }
  void Flush() {
    size_t done = 0;
    while (done < used_) {
      ssize_t n = ::write(fd_, buffer_ + done, used_ - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    used_ = 0;
  }

 private:
  int fd_;
  char buffer_[512];
  size_t used_ = 0;
};

const SectionEntry* LookUp(uint64_t address) {
  size_t count = g_section_count.load();
  for (size_t i = 0; i < count; ++i) {
    const SectionEntry& entry = g_sections[i];
    if (address >= entry.start && address - entry.start < entry.size) return &entry;
  }
  return nullptr;
}

uint64_t ProgramCounter(const void* context) {
  const auto* uc = static_cast<const ucontext_t*>(context);
  if (uc == nullptr) return 0;
#if defined(__x86_64__)
  return static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return uc->uc_mcontext.pc;
#else
  return 0;
#endif
}

void WriteRegisters(SafeWriter& out, const void* context) {
  const auto* uc = static_cast<const ucontext_t*>(context);
  if (uc == nullptr) return;
#if defined(__x86_64__)
  static const char* const kNames[] = {"r8",  "r9",  "r10", "r11", "r12", "r13",    "r14", "r15",
                                       "rdi", "rsi", "rbp", "rbx", "rdx", "rax",    "rcx", "rsp",
                                       "rip", "efl", "csgsfs", "err", "trapno", "oldmask", "cr2"};
  for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
    out.Text(kNames[i]);
    out.Text(" ");
    out.Hex(static_cast<uint64_t>(uc->uc_mcontext.gregs[i]), 16);
    out.Text("\n");
  }
#elif defined(__aarch64__)
  for (int i = 0; i < 31; ++i) {
    out.Text("x");
    out.Decimal(static_cast<uint64_t>(i));
    out.Text(" ");
    out.Hex(uc->uc_mcontext.regs[i], 16);
    out.Text("\n");
  }
  out.Text("sp ");
  out.Hex(uc->uc_mcontext.sp, 16);
  out.Text("\npc ");
  out.Hex(uc->uc_mcontext.pc, 16);
  out.Text("\npstate ");
  out.Hex(uc->uc_mcontext.pstate, 16);
  out.Text("\n");
#else
  out.Text("(registers not captured on this machine)\n");
#endif
}

void WriteLocation(SafeWriter& out, uint64_t address) {
  const SectionEntry* section = LookUp(address);
  if (section == nullptr) return;
  const char* path = g_modules[section->module].path;
  out.Text("module=");
  out.Escaped(path, std::strlen(path));
  out.Text("\nsection=");
  out.Escaped(section->name, std::strlen(section->name));
  out.Text("\noffset=");
  out.Decimal(address - section->start);
  out.Text("\n");
}

void WriteRecord(int signo, const siginfo_t* info, uint64_t pc) {
  int fd = ::open(g_record_tmp_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  {
    SafeWriter out(fd);
    out.Text("oru-crash-record 1\nsignal=");
    out.Decimal(static_cast<uint64_t>(signo));
    out.Text("\nsigcode=");
    out.Decimal(static_cast<uint32_t>(info != nullptr ? info->si_code : 0));
    out.Text("\ncode=");
    out.Decimal(CrashCodeForSignal(signo));
    out.Text("\naddress=");
    out.Hex(pc, 8);
    out.Text("\n");
    WriteLocation(out, pc);
    int current = g_state_current.load();
    out.Text("state\n");
    out.Put(g_state[current], g_state_size[current].load());
    // After the published values, so that it replaces an earlier close type.
    out.Text("value.closetype=5\n");
  }
  ::fsync(fd);
  ::close(fd);
  ::rename(g_record_tmp_path, g_record_path);
}

void CopyMaps(SafeWriter& out) {
  int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (maps < 0) return;
  char chunk[512];
  for (;;) {
    ssize_t n = ::read(maps, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.Put(chunk, static_cast<size_t>(n));
  }
  ::close(maps);
}

void WriteBacktrace(SafeWriter& out, uint64_t pc) {
  // The unwinder reads the code at each frame's address: at an address
  // outside every module that read faults again, so it is not asked.
  if (LookUp(pc) == nullptr) {
    out.Text("#0 ");
    out.Hex(pc, 16);
    out.Text(" outside every module; not unwound\n");
    return;
  }
  void* frames[64];
  int count = ::backtrace(frames, 64);
  for (int i = 0; i < count; ++i) {
    uint64_t address = reinterpret_cast<uintptr_t>(frames[i]);
    out.Text("#");
    out.Decimal(static_cast<uint64_t>(i));
    out.Text(" ");
    out.Hex(address, 16);
    const SectionEntry* section = LookUp(address);
    if (section != nullptr) {
      out.Text(" ");
      out.Text(g_modules[section->module].path);
      out.Text(" ");
      out.Text(section->name);
      out.Text("+");
      out.Hex(address - section->start, 1);
    }
    out.Text("\n");
    out.Flush();
  }
}

void WriteDump(int signo, const siginfo_t* info, const void* context, uint64_t pc) {
  if (g_dump_path[0] == '\0') return;
  int fd = ::open(g_dump_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  {
    SafeWriter out(fd);
    out.Text("oru-crash-dump 1\npid ");
    out.Decimal(static_cast<uint64_t>(::getpid()));
    out.Text("\nsignal ");
    out.Decimal(static_cast<uint64_t>(signo));
    out.Text("\nfault_address ");
    out.Hex(info != nullptr ? reinterpret_cast<uintptr_t>(info->si_addr) : 0, 16);
    out.Text("\npc ");
    out.Hex(pc, 16);
    out.Text("\n[registers]\n");
    WriteRegisters(out, context);
    out.Text("[maps]\n");
    CopyMaps(out);
    out.Flush();
    // Last: the unwinder is the part most likely to fault on a broken stack.
    out.Text("[backtrace]\n");
    out.Flush();
    WriteBacktrace(out, pc);
  }
  ::close(fd);
}

void StartHelper() {
  if (g_helper_argv[0] == nullptr) return;
  pid_t pid = ::_Fork();
  if (pid != 0) return;
  sigset_t all;
  sigemptyset(&all);
  ::sigprocmask(SIG_SETMASK, &all, nullptr);
  ::setsid();
  ::execve(g_helper_argv[0], g_helper_argv, environ);
  ::_exit(127);
}

void OnCrashSignal(int signo, siginfo_t* info, void* context) {
  // A second crashing thread waits here; the first one ends the process.
  if (g_in_handler.exchange(true)) {
    for (;;) ::pause();
  }
  uint64_t pc = ProgramCounter(context);
  WriteRecord(signo, info, pc);
  WriteDump(signo, info, context, pc);
  StartHelper();
  struct sigaction fallback{};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signo, &fallback, nullptr);
  // Delivered on return (the signal is blocked while we run); a fault that
  // repeats on return is delivered to the default action as well.
  ::raise(signo);
}

bool StoreSetup(const CrashSignalSetup& setup) {
  if (setup.record_path.empty() || setup.helper_argv.size() > kMaxHelperArgs) return false;
  if (!CopyName(setup.record_path, g_record_path, kMaxPath)) return false;
  std::string tmp = setup.record_path + ".tmp";
  if (!CopyName(tmp, g_record_tmp_path, sizeof g_record_tmp_path)) return false;
  if (!CopyName(setup.dump_path, g_dump_path, kMaxPath)) return false;
  for (size_t i = 0; i < setup.helper_argv.size(); ++i) {
    if (!CopyName(setup.helper_argv[i], g_helper_storage[i], kMaxPath)) return false;
  }
  for (size_t i = 0; i <= kMaxHelperArgs; ++i) {
    g_helper_argv[i] = i < setup.helper_argv.size() ? g_helper_storage[i] : nullptr;
  }
  return true;
}

}  // namespace

bool LoadCrashModuleTable() {
  std::lock_guard<std::mutex> lock(g_table_mu);
  std::vector<ModuleListing> listing;
  ::dl_iterate_phdr(&CollectModule, &listing);
  // Readers see the shrunken count first and the new entries only after
  // they are complete.
  g_section_count.store(0);
  g_module_count.store(0);
  uint32_t module = 0;
  for (const ModuleListing& entry : listing) {
    if (module >= kMaxModules) break;
    if (!CopyName(entry.path, g_modules[module].path, kMaxPath)) continue;
    if (ReadSections(entry.path.c_str(), entry.base, module)) ++module;
  }
  g_module_count.store(module);
  return module > 0;
}

std::optional<CrashModuleLocation> FindCrashModule(uint64_t address) {
  const SectionEntry* section = LookUp(address);
  if (section == nullptr) return std::nullopt;
  return CrashModuleLocation{g_modules[section->module].path, section->name, address - section->start};
}

bool EnableCrashStackForThread() {
  auto* entry = new (std::nothrow) AltStack();
  if (entry == nullptr) return false;
  stack_t stack{};
  stack.ss_sp = entry->memory;
  stack.ss_size = sizeof entry->memory;
  if (::sigaltstack(&stack, nullptr) != 0) {
    delete entry;
    return false;
  }
  // Kept reachable: only the kernel refers to the stack otherwise.
  entry->next = g_alt_stacks.load();
  while (!g_alt_stacks.compare_exchange_weak(entry->next, entry)) {
  }
  return true;
}

bool InstallCrashSignals(const CrashSignalSetup& setup) {
  if (g_installed.load() || !StoreSetup(setup)) return false;
  if (!LoadCrashModuleTable()) return false;
  // The first backtrace() loads the unwinder, which allocates: do it now.
  void* warm_up[2];
  ::backtrace(warm_up, 2);
  if (!EnableCrashStackForThread()) return false;
  for (int signo : kCrashSignals) {
    struct sigaction action{};
    action.sa_sigaction = &OnCrashSignal;
    sigemptyset(&action.sa_mask);
    for (int other : kCrashSignals) sigaddset(&action.sa_mask, other);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    if (::sigaction(signo, &action, nullptr) != 0) return false;
  }
  g_installed.store(true);
  return true;
}

bool PublishCrashState(std::string_view text) {
  if (text.size() > kCrashStateCapacity) return false;
  std::lock_guard<std::mutex> lock(g_state_mu);
  // The handler raises its flag before it picks a buffer: a writer that
  // still sees the flag clear fills the buffer the handler will not pick,
  // and every later writer stops here.
  if (g_in_handler.load()) return false;
  int idle = 1 - g_state_current.load();
  std::memcpy(g_state[idle], text.data(), text.size());
  g_state_size[idle].store(text.size());
  g_state_current.store(idle);
  return true;
}

std::string PublishedCrashState() {
  std::lock_guard<std::mutex> lock(g_state_mu);
  int current = g_state_current.load();
  return std::string(g_state[current], g_state_size[current].load());
}

std::optional<std::string> ReadOwnedRegularFile(const std::string& path, size_t max_size) {
  FdCloser file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK)};
  if (file.fd < 0) return std::nullopt;
  struct stat info{};
  if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) return std::nullopt;
  if (static_cast<uint64_t>(info.st_size) > max_size) return std::nullopt;
  std::string content(static_cast<size_t>(info.st_size), '\0');
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::read(file.fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    done += static_cast<size_t>(n);
  }
  return content;
}

uint32_t CrashCodeForSignal(int signo) {
  switch (signo) {
    case SIGSEGV: return 0xC0000005u;  // access violation
    case SIGBUS: return 0xC0000006u;   // in-page error
    case SIGILL: return 0xC000001Du;   // illegal instruction
    case SIGFPE: return 0xC0000094u;   // integer divide by zero
    case SIGABRT: return 0x40000015u;  // fatal application exit
    default: return 0xE0000000u | static_cast<uint32_t>(signo);
  }
}

bool StartDetachedProcess(const std::vector<std::string>& argv) {
  if (argv.empty()) return false;
  std::vector<char*> pointers;
  for (const std::string& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
  pointers.push_back(nullptr);
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) return false;
  pid_t child = ::fork();
  if (child < 0) {
    ::close(ready[0]);
    ::close(ready[1]);
    return false;
  }
  if (child == 0) {
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild == 0) {
      ::execve(pointers[0], pointers.data(), environ);
      char failed = 1;
      ssize_t ignored = ::write(ready[1], &failed, 1);
      (void)ignored;
    }
    ::_exit(grandchild < 0 ? 1 : 0);
  }
  ::close(ready[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // The write end closes on a successful exec, so EOF means "started".
  char failed = 0;
  ssize_t n;
  do {
    n = ::read(ready[0], &failed, 1);
  } while (n < 0 && errno == EINTR);
  ::close(ready[0]);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
}

bool ClaimFile(const std::string& from, const std::string& to) {
  return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

}  // namespace oru
