#pragma once
// Fatal-signal capture: SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT run a
// handler on an alternate stack that only makes async-signal-safe calls.
// Everything it needs (module and section table, file names, the helper's
// argv, the published report state) is prepared before the crash.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace oru {

// Where a code address lies: the module file, the ELF section holding it
// and the distance from that section's start.
struct CrashModuleLocation {
  std::string module_file;
  std::string section;
  uint64_t offset = 0;
};

struct CrashSignalSetup {
  // The crash record; written as "<record_path>.tmp" and renamed, so a
  // reader never sees half a record. Required.
  std::string record_path;
  // The dump file; empty writes none.
  std::string dump_path;
  // Program and arguments of the process started after the record is
  // written (argv[0] is the program path); empty starts none.
  std::vector<std::string> helper_argv;
};

// Largest state text PublishCrashState accepts.
inline constexpr size_t kCrashStateCapacity = 64 * 1024;

// Reads the loaded modules and their ELF section headers into the fixed
// table the handler looks addresses up in. Modules loaded later are not in
// it until this runs again. Returns false when no module could be read.
bool LoadCrashModuleTable();

// Looks `address` up in the table; nullopt when no section of a listed
// module holds it.
std::optional<CrashModuleLocation> FindCrashModule(uint64_t address);

// Loads the module table, preloads the unwinder, gives the calling thread
// an alternate signal stack and installs the handler. The handler writes
// the record and the dump, starts the helper and then lets the signal end
// the process. Returns false when the setup is incomplete (no record path,
// names too long, a handler not installed) or when it ran before.
bool InstallCrashSignals(const CrashSignalSetup& setup);

// Gives the calling thread its own alternate signal stack, so that a stack
// overflow there still reaches the handler. The stack lives until the
// process ends. Returns false when it could not be set up.
bool EnableCrashStackForThread();

// Copies `text` to where the handler appends it to the record. Returns
// false (keeping the previous text) when it is longer than
// kCrashStateCapacity, or once the handler runs (it may be reading the
// state then). Safe from any thread; never blocks the handler, which reads
// whichever complete text was published last.
bool PublishCrashState(std::string_view text);

// A copy of the text the handler would append now (empty until published).
std::string PublishedCrashState();

// Reads `path` when it is a regular file (not a link) owned by this
// process's effective user and at most `max_size` bytes long; nullopt
// otherwise, so a record planted by another user is never acted on.
std::optional<std::string> ReadOwnedRegularFile(const std::string& path, size_t max_size);

// The exception code a signal is reported with (the codes the report's
// consumers know: access violation, illegal instruction, ...).
uint32_t CrashCodeForSignal(int signo);

// Starts `argv` as a detached process (its parent is not this process), not
// waiting for it. Returns false when it could not be started.
bool StartDetachedProcess(const std::vector<std::string>& argv);

// Moves `from` to `to` when `to` does not exist yet; false otherwise. Of
// several processes claiming the same file, exactly one succeeds.
bool ClaimFile(const std::string& from, const std::string& to);

}  // namespace oru
