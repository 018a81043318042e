#include "platform/single_instance.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/scoped_temp_dir.h"

extern char** environ;

namespace oru {
namespace {

using oru::testing::ScopedTempDir;

// ---------------------------------------------------------------------------
// Child mode. The test binary re-executes itself with these variables set; the
// child then acts at static initialisation, before gtest starts, and reports
// on stdout:
//   hold         acquire, print "acquired"/"running"/"error ...", keep the
//                lock until stdin closes
//   hold-listen  the same, listening; prints "activated" per activation
//   second-start acquire; when running, activate and print "ack" or "noack"
//   activate     only activate (no lock file access), print "ack"/"noack"
// ORU_TEST_INSTANCE_UID makes the child drop to that uid first.
constexpr char kFolderVar[] = "ORU_TEST_INSTANCE_FOLDER";
constexpr char kNameVar[] = "ORU_TEST_INSTANCE_NAME";
constexpr char kModeVar[] = "ORU_TEST_INSTANCE_MODE";
constexpr char kUidVar[] = "ORU_TEST_INSTANCE_UID";

void Say(const std::string& line) {
  const std::string text = line + "\n";
  [[maybe_unused]] const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
}

void WaitForStdinEof() {
  char c;
  while (::read(STDIN_FILENO, &c, 1) > 0 || errno == EINTR) {
  }
}

std::string AcquireWord(InstanceLockStatus status) {
  switch (status) {
    case InstanceLockStatus::kAcquired:
      return "acquired";
    case InstanceLockStatus::kAlreadyRunning:
      return "running";
    case InstanceLockStatus::kError:
      break;
  }
  return "error";
}

[[noreturn]] void RunChild(const std::string& folder, const std::string& name, const std::string& mode) {
  if (const char* uid = std::getenv(kUidVar); uid != nullptr && ::setuid(static_cast<uid_t>(std::atoi(uid))) != 0) {
    Say("error setuid");
    ::_exit(2);
  }
  if (mode == "activate") {
    Say(ActivateRunningInstance(folder, name).status == ActivateStatus::kAcknowledged ? "ack" : "noack");
    ::_exit(0);
  }
  InstanceLockResult result = AcquireInstanceLock(folder, name);
  Say(AcquireWord(result.status) + (result.error.empty() ? "" : " " + result.error));
  if (mode == "second-start" && result.status == InstanceLockStatus::kAlreadyRunning) {
    Say(ActivateRunningInstance(folder, name).status == ActivateStatus::kAcknowledged ? "ack" : "noack");
  }
  if (result.lock && mode == "hold-listen") {
    std::string error;
    Say(result.lock->StartListening([] { Say("activated"); }, &error) ? "listening" : "error " + error);
  }
  if (result.lock) WaitForStdinEof();
  result.lock.reset();
  ::_exit(0);
}

bool RunChildIfAsked() {
  const char* folder = std::getenv(kFolderVar);
  if (folder == nullptr) return false;
  RunChild(folder, std::getenv(kNameVar), std::getenv(kModeVar));
}

[[maybe_unused]] const bool kIsChild = RunChildIfAsked();

// The parent's handle on one child: its stdin (closing it ends a holder)
// and its stdout lines. The child is killed and reaped on destruction.
class Child {
 public:
  Child(const std::string& folder, const std::string& name, const std::string& mode, int uid = -1) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe2: " << std::strerror(errno);
      return;
    }
    std::vector<std::string> env_text = {std::string(kFolderVar) + "=" + folder, std::string(kNameVar) + "=" + name,
                                         std::string(kModeVar) + "=" + mode};
    if (uid >= 0) env_text.push_back(std::string(kUidVar) + "=" + std::to_string(uid));
    std::vector<char*> env;
    for (std::string& entry : env_text) env.push_back(entry.data());
    for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
    env.push_back(nullptr);
    // Should the child not see its mode, it runs no test at all.
    std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=-*";
    char* argv[] = {exe.data(), filter.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const int rc = posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv, env.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_fd_ = in[1];
    stdout_fd_ = out[0];
    if (rc != 0) {
      ADD_FAILURE() << "posix_spawn: " << std::strerror(rc);
      pid_ = -1;
    }
  }
  ~Child() {
    Kill();
    if (stdin_fd_ >= 0) ::close(stdin_fd_);
    if (stdout_fd_ >= 0) ::close(stdout_fd_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The next line the child printed, without its "\n"; empty at EOF. Waits
  // for the child, never for a fixed time (the bound only ends a broken test).
  std::string ReadLine() {
    std::string line;
    char c = 0;
    while (stdout_fd_ >= 0) {
      pollfd fd = {stdout_fd_, POLLIN, 0};
      if (::poll(&fd, 1, 20000) != 1) {
        ADD_FAILURE() << "child said nothing";
        break;
      }
      if (::read(stdout_fd_, &c, 1) != 1 || c == '\n') break;
      line.push_back(c);
    }
    return line;
  }

  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    Reap();
  }

  // Closes the child's stdin (a holder then closes its lock and exits) and
  // returns its exit status.
  int CloseStdinAndWait() {
    ::close(stdin_fd_);
    stdin_fd_ = -1;
    return Reap();
  }

 private:
  int Reap() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
};

// Connects to the activation socket of `folder`/`name` the raw way, as an
// arbitrary local program could.
int ConnectRaw(const std::string& folder, const std::string& name) {
  const std::string lock_path = std::filesystem::weakly_canonical(folder).string() + "/" + InstanceLockFileName(name);
  const std::string socket_name = ActivationSocketName(lock_path);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, socket_name.data(), socket_name.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + socket_name.size());
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    ADD_FAILURE() << "connect: " << std::strerror(errno);
  }
  return fd;
}

constexpr char kProduct[] = "Quorvane Studio_oru";
constexpr char kProductFork[] = "Quorvane Studio_oru_fork";

// ---------------------------------------------------------------------------

// readable part (1-48 of [A-Za-z0-9._-], not starting with ".") + "-" +
// 16 lower-case hex digits + ".lock"
bool IsSafeLockFileName(const std::string& file) {
  constexpr size_t kTail = 22;  // "-" + 16 digits + ".lock"
  if (file.size() <= kTail || file.size() > 48 + kTail || file[0] == '.') return false;
  const std::string readable = file.substr(0, file.size() - kTail);
  const std::string tail = file.substr(file.size() - kTail);
  const auto kept = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-'; };
  const auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
  return std::all_of(readable.begin(), readable.end(), kept) && tail[0] == '-' &&
         std::all_of(tail.begin() + 1, tail.begin() + 17, hex) && tail.substr(17) == ".lock";
}

struct FileNameCase {
  std::string name;
  std::string readable;
};

TEST(InstanceLockFileNameTest, IsOneSafeComponentWithAReadablePart) {
  const std::vector<FileNameCase> cases = {
      {"Quorvane Studio_oru", "Quorvane_Studio_oru"},
      {"Quorvane Studio_oru_fork", "Quorvane_Studio_oru_fork"},
      {"a/b\\c_oru", "a_b_c_oru"},
      {"../../etc/passwd", "_._.._etc_passwd"},
      {"Квант 量子_oru", "__oru"},
      {"line\nbreak\x01", "line_break_"},
      {".hidden", "_hidden"},
      {"", "instance"},
      {std::string(200, 'x'), std::string(48, 'x')},
  };
  for (const FileNameCase& c : cases) {
    const std::string file = InstanceLockFileName(c.name);
    EXPECT_TRUE(IsSafeLockFileName(file)) << file;
    EXPECT_EQ(file.substr(0, file.size() - 22), c.readable) << c.name;
    EXPECT_EQ(file, InstanceLockFileName(c.name));
  }
  // Names that differ only in replaced characters still get their own file.
  EXPECT_NE(InstanceLockFileName("a b"), InstanceLockFileName("a_b"));
  EXPECT_NE(InstanceLockFileName("a/b"), InstanceLockFileName("a b"));
  // Pinned: every version of the installer must find the same file.
  EXPECT_EQ(InstanceLockFileName(kProduct), "Quorvane_Studio_oru-3363f0b1ca14a647.lock");
}

class InstanceLockTest : public ::testing::Test {
 protected:
  ScopedTempDir dir_;
};

TEST_F(InstanceLockTest, SecondAcquireInTheSameProcessReportsRunning) {
  InstanceLockResult first = AcquireInstanceLock(dir_.path(), kProduct);
  ASSERT_EQ(first.status, InstanceLockStatus::kAcquired) << first.error;
  ASSERT_NE(first.lock, nullptr);
  EXPECT_EQ(first.lock->path(), dir_.Child(InstanceLockFileName(kProduct)));
  EXPECT_TRUE(std::filesystem::is_regular_file(first.lock->path()));

  InstanceLockResult second = AcquireInstanceLock(dir_.path(), kProduct);
  EXPECT_EQ(second.status, InstanceLockStatus::kAlreadyRunning);
  EXPECT_EQ(second.lock, nullptr);

  first.lock->Close();
  first.lock->Close();  // idempotent
  InstanceLockResult third = AcquireInstanceLock(dir_.path(), kProduct);
  EXPECT_EQ(third.status, InstanceLockStatus::kAcquired) << third.error;
}

TEST_F(InstanceLockTest, EveryNameGetsItsOwnLockInTheFolder) {
  const std::vector<std::string> names = {kProduct, kProductFork, "Quorvane/Studio_oru", "Квант 量子_oru",
                                          "Quorvane_Studio_oru"};
  std::vector<std::unique_ptr<InstanceLock>> held;
  for (const std::string& name : names) {
    InstanceLockResult result = AcquireInstanceLock(dir_.path(), name);
    ASSERT_EQ(result.status, InstanceLockStatus::kAcquired) << name << ": " << result.error;
    EXPECT_EQ(AcquireInstanceLock(dir_.path(), name).status, InstanceLockStatus::kAlreadyRunning) << name;
    held.push_back(std::move(result.lock));
  }
  // All of them plain files directly in the folder: "/" made no sub-folder.
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    EXPECT_TRUE(entry.is_regular_file()) << entry.path();
    ++files;
  }
  EXPECT_EQ(files, names.size());
}

TEST_F(InstanceLockTest, FoldersAreSeparateInstances) {
  ScopedTempDir other;
  InstanceLockResult here = AcquireInstanceLock(dir_.path(), kProduct);
  InstanceLockResult there = AcquireInstanceLock(other.path(), kProduct);
  EXPECT_EQ(here.status, InstanceLockStatus::kAcquired) << here.error;
  EXPECT_EQ(there.status, InstanceLockStatus::kAcquired) << there.error;
  // The same folder spelled differently is the same instance.
  EXPECT_EQ(AcquireInstanceLock(dir_.path() + "/./", kProduct).status, InstanceLockStatus::kAlreadyRunning);
}

TEST_F(InstanceLockTest, ReportsErrorsWithTheSystemsText) {
  InstanceLockResult missing = AcquireInstanceLock(dir_.Child("no/such/folder"), kProduct);
  EXPECT_EQ(missing.status, InstanceLockStatus::kError);
  EXPECT_EQ(missing.lock, nullptr);
  EXPECT_NE(missing.error.find("No such file or directory"), std::string::npos) << missing.error;
  EXPECT_NE(missing.error.find("no/such/folder"), std::string::npos) << missing.error;

  // A link planted where the lock file goes is not followed.
  const std::string victim = dir_.Child("victim");
  std::filesystem::create_symlink(victim, dir_.Child(InstanceLockFileName(kProduct)));
  InstanceLockResult linked = AcquireInstanceLock(dir_.path(), kProduct);
  EXPECT_EQ(linked.status, InstanceLockStatus::kError);
  EXPECT_FALSE(std::filesystem::exists(victim));
}

TEST_F(InstanceLockTest, ActivationReachesTheListenerOnItsOwnThread) {
  InstanceLockResult held = AcquireInstanceLock(dir_.path(), kProduct);
  ASSERT_EQ(held.status, InstanceLockStatus::kAcquired) << held.error;
  // Not listening yet: a second start learns that at once.
  EXPECT_EQ(ActivateRunningInstance(dir_.path(), kProduct).status, ActivateStatus::kNoListener);

  std::mutex mutex;
  std::vector<std::thread::id> callers;
  std::string error;
  ASSERT_TRUE(held.lock->StartListening(
      [&] {
        std::lock_guard lock(mutex);
        callers.push_back(std::this_thread::get_id());
      },
      &error))
      << error;
  EXPECT_FALSE(held.lock->StartListening([] {}, &error));
  EXPECT_EQ(error, "already listening");

  for (int i = 0; i < 2; ++i) {
    const ActivateResult result = ActivateRunningInstance(dir_.path(), kProduct);
    EXPECT_EQ(result.status, ActivateStatus::kAcknowledged) << result.error;
  }
  // Other names and folders are other instances.
  EXPECT_EQ(ActivateRunningInstance(dir_.path(), kProductFork).status, ActivateStatus::kNoListener);
  ScopedTempDir other;
  EXPECT_EQ(ActivateRunningInstance(other.path(), kProduct).status, ActivateStatus::kNoListener);

  held.lock->Close();
  EXPECT_EQ(ActivateRunningInstance(dir_.path(), kProduct).status, ActivateStatus::kNoListener);
  ASSERT_EQ(callers.size(), 2u);
  EXPECT_NE(callers[0], std::this_thread::get_id());
  EXPECT_FALSE(held.lock->StartListening([] {}, &error));
}

TEST_F(InstanceLockTest, ListenerIgnoresGarbageAndKeepsServing) {
  InstanceLockResult held = AcquireInstanceLock(dir_.path(), kProduct);
  ASSERT_EQ(held.status, InstanceLockStatus::kAcquired) << held.error;
  std::atomic<int> activations{0};
  ASSERT_TRUE(held.lock->StartListening([&] { ++activations; }, nullptr));

  // A client that hangs up at once, and one that says something else.
  ::close(ConnectRaw(dir_.path(), kProduct));
  const int fd = ConnectRaw(dir_.path(), kProduct);
  ASSERT_EQ(::send(fd, "hello\n", 6, MSG_NOSIGNAL), 6);
  char reply[8];
  EXPECT_EQ(::recv(fd, reply, sizeof(reply), 0), 0);  // closed without an answer
  ::close(fd);
  EXPECT_EQ(activations, 0);

  const ActivateResult result = ActivateRunningInstance(dir_.path(), kProduct);
  EXPECT_EQ(result.status, ActivateStatus::kAcknowledged) << result.error;
  EXPECT_EQ(activations, 1);
}

TEST_F(InstanceLockTest, ListeningFailsWhenTheNameIsTaken) {
  InstanceLockResult held = AcquireInstanceLock(dir_.path(), kProduct);
  ASSERT_EQ(held.status, InstanceLockStatus::kAcquired) << held.error;
  // Someone else bound the socket first: reported, not fatal to the lock.
  const std::string socket_name = ActivationSocketName(held.lock->path());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, socket_name.data(), socket_name.size());
  const int squatter = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + socket_name.size());
  ASSERT_EQ(::bind(squatter, reinterpret_cast<const sockaddr*>(&address), length), 0);
  std::string error;
  EXPECT_FALSE(held.lock->StartListening([] {}, &error));
  EXPECT_NE(error.find("Address already in use"), std::string::npos) << error;
  ::close(squatter);
  EXPECT_TRUE(held.lock->StartListening([] {}, &error)) << error;
}

// ---------------------------------------------------------------------------
// Real second processes.

TEST_F(InstanceLockTest, ChildHoldsTheLockUntilKilled) {
  Child child(dir_.path(), kProduct, "hold");
  ASSERT_EQ(child.ReadLine(), "acquired");
  EXPECT_EQ(AcquireInstanceLock(dir_.path(), kProduct).status, InstanceLockStatus::kAlreadyRunning);
  // The fork-mode copy of the same product runs beside it.
  EXPECT_EQ(AcquireInstanceLock(dir_.path(), kProductFork).status, InstanceLockStatus::kAcquired);

  child.Kill();  // SIGKILL: no chance to clean up
  InstanceLockResult after = AcquireInstanceLock(dir_.path(), kProduct);
  EXPECT_EQ(after.status, InstanceLockStatus::kAcquired) << after.error;
}

TEST_F(InstanceLockTest, ChildClosingItsLockReleasesIt) {
  Child child(dir_.path(), "Квант/Studio_oru", "hold");
  ASSERT_EQ(child.ReadLine(), "acquired");
  EXPECT_EQ(AcquireInstanceLock(dir_.path(), "Квант/Studio_oru").status, InstanceLockStatus::kAlreadyRunning);
  const int status = child.CloseStdinAndWait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(AcquireInstanceLock(dir_.path(), "Квант/Studio_oru").status, InstanceLockStatus::kAcquired);
}

// A program started while the lock is held (a package installer) must not
// keep the instance locked after this process lets go.
TEST_F(InstanceLockTest, StartedProgramsDoNotInheritTheLock) {
  InstanceLockResult held = AcquireInstanceLock(dir_.path(), kProduct);
  ASSERT_EQ(held.status, InstanceLockStatus::kAcquired) << held.error;
  ASSERT_TRUE(held.lock->StartListening([] {}, nullptr));
  Child started(dir_.path(), "unrelated_oru", "hold");
  ASSERT_EQ(started.ReadLine(), "acquired");
  held.lock->Close();
  InstanceLockResult again = AcquireInstanceLock(dir_.path(), kProduct);
  EXPECT_EQ(again.status, InstanceLockStatus::kAcquired) << again.error;
  ASSERT_TRUE(again.lock->StartListening([] {}, nullptr));  // the socket name is free too
}

TEST_F(InstanceLockTest, ChildSeesTheParentRunningAndActivatesIt) {
  InstanceLockResult held = AcquireInstanceLock(dir_.path(), kProduct);
  ASSERT_EQ(held.status, InstanceLockStatus::kAcquired) << held.error;
  std::atomic<int> activations{0};
  ASSERT_TRUE(held.lock->StartListening([&] { ++activations; }, nullptr));

  Child second(dir_.path(), kProduct, "second-start");
  EXPECT_EQ(second.ReadLine(), "running");
  EXPECT_EQ(second.ReadLine(), "ack");
  EXPECT_EQ(activations, 1);
}

TEST_F(InstanceLockTest, ParentActivatesAListeningChild) {
  Child child(dir_.path(), kProduct, "hold-listen");
  ASSERT_EQ(child.ReadLine(), "acquired");
  ASSERT_EQ(child.ReadLine(), "listening");
  const ActivateResult result = ActivateRunningInstance(dir_.path(), kProduct);
  EXPECT_EQ(result.status, ActivateStatus::kAcknowledged) << result.error;
  EXPECT_EQ(child.ReadLine(), "activated");

  child.Kill();
  EXPECT_EQ(ActivateRunningInstance(dir_.path(), kProduct).status, ActivateStatus::kNoListener);
}

// The socket is reachable by anyone on the machine: a program of another user
// must not be able to drive the installer.
TEST_F(InstanceLockTest, ActivationFromAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to start a child as another user";
  InstanceLockResult held = AcquireInstanceLock(dir_.path(), kProduct);
  ASSERT_EQ(held.status, InstanceLockStatus::kAcquired) << held.error;
  std::atomic<int> activations{0};
  ASSERT_TRUE(held.lock->StartListening([&] { ++activations; }, nullptr));

  Child stranger(dir_.path(), kProduct, "activate", 65534);
  EXPECT_EQ(stranger.ReadLine(), "noack");
  Child same_user(dir_.path(), kProduct, "activate");
  EXPECT_EQ(same_user.ReadLine(), "ack");
  EXPECT_EQ(activations, 1);
}

}  // namespace
}  // namespace oru
