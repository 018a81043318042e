// Whole starts of the built installer in a sandbox folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>

#include "e2e/e2e_sandbox.h"
#include "platform/file_util.h"
#include "support/child_process.h"
#include "support/scoped_temp_dir.h"

namespace oru {
namespace {

using testing::ChildOptions;
using testing::ChildProcess;
using testing::ReadFileForTesting;
using testing::ScopedTempDir;
using testing::WaitUntil;

constexpr unsigned kNobody = 65534;

class StartupE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A refused run as another user must be able to write its log here.
    chmod(dir_.path().c_str(), 0777);
    env_ = testing::SandboxEnvironment(dir_.path());
    // No product server listens on port 1: announcements fail at once.
    ASSERT_TRUE(WriteFileAtomically(testing::SandboxResourceDir(dir_.path()) + "/XML_106",
                                    testing::DemoProductXmlForPort(1)));
  }

  ChildOptions Options(std::vector<std::string> args, bool as_non_admin = false) {
    ChildOptions o;
    o.argv = {std::string(ORU_BIN_DIR) + "/oru"};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.env = env_;
    o.output_dir = dir_.path();
    if (as_non_admin && geteuid() == 0) o.run_as_uid = kNobody;
    return o;
  }

  std::string LogPath(const char* name = "qvORU.log") { return dir_.Child(std::string("Quorvane/ORU/") + name); }

  std::string Log(const char* name = "qvORU.log") {
    std::error_code ec;
    if (!std::filesystem::exists(LogPath(name), ec)) return {};
    return ReadFileForTesting(LogPath(name));
  }

  bool LogHas(const std::string& text, const char* name = "qvORU.log") {
    return Log(name).find(text) != std::string::npos;
  }

  // Starts a copy and waits until its message loop runs (the main thread's
  // id in the line prefix is the process id).
  std::unique_ptr<ChildProcess> StartRunning(std::vector<std::string> args = {}, const char* log = "qvORU.log") {
    auto child = std::make_unique<ChildProcess>(Options(std::move(args)));
    std::string line = "] " + std::to_string(child->pid()) + " - [INFO] MessageLoop\n";
    EXPECT_TRUE(WaitUntil([&] { return LogHas(line, log); })) << Log(log);
    return child;
  }

  ScopedTempDir dir_;
  std::map<std::string, std::string> env_;
};

TEST_F(StartupE2eTest, NonAdministratorIsRefused) {
  struct Case {
    std::vector<std::string> args;
    const char* log;
    bool box;
  };
  const Case cases[] = {{{}, "qvORU.log", true}, {{"OnlyForkInstallDependent=1"}, "qvForkORU.log", false}};
  for (const Case& c : cases) {
    ChildProcess child(Options(c.args, /*as_non_admin=*/true));
    EXPECT_EQ(child.Wait(), 255);
    EXPECT_TRUE(LogHas("[ERROR] You must be logged in as administrator when installing this program.", c.log))
        << Log(c.log);
    EXPECT_EQ(child.Stderr().find("You must be logged in") != std::string::npos, c.box) << child.Stderr();
    if (!c.box) {
      EXPECT_EQ(child.Stdout() + child.Stderr(), "") << "a fork-mode copy shows nothing";
    }
  }
}

TEST_F(StartupE2eTest, SevenStartsKeepTheLiveLogAndFiveCopies) {
  for (int i = 0; i < 7; ++i) {
    ChildProcess child(Options({}, /*as_non_admin=*/true));
    ASSERT_EQ(child.Wait(), 255);
  }
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir_.Child("Quorvane/ORU"))) {
    names.insert(e.path().filename().string());
  }
  EXPECT_EQ(names.size(), 6u);
  EXPECT_TRUE(names.count("qvORU.log"));
  for (const std::string& n : names) {
    EXPECT_TRUE(n == "qvORU.log" || std::regex_match(n, std::regex(R"(qvORU_\d{4}-\d{2}-\d{2}(_[1-9])?\.log)"))) << n;
  }
}

TEST_F(StartupE2eTest, SignalClosesTheWindowAndExitsInOrder) {
  if (geteuid() != 0) GTEST_SKIP() << "a full run needs administrator rights (root)";
  for (int signo : {SIGINT, SIGTERM}) {
    auto child = StartRunning();
    child->Signal(signo);
    EXPECT_EQ(child->Wait(), 0);
    std::string log = Log();
    size_t loop_end = log.find("[INFO] MessageLoop end");
    EXPECT_NE(loop_end, std::string::npos) << log;
    EXPECT_NE(log.find("[INFO] exit!", loop_end), std::string::npos) << log;
  }
}

TEST_F(StartupE2eTest, SecondStartActivatesTheFirstAndForkRunsBeside) {
  if (geteuid() != 0) GTEST_SKIP() << "a full run needs administrator rights (root)";
  auto first = StartRunning();

  ChildProcess second(Options({}));
  EXPECT_EQ(second.Wait(), 255);
  EXPECT_TRUE(WaitUntil([&] { return LogHas("[INFO] activated by a second start."); })) << Log();
  std::string rotated;  // the second start rotated the first copy's live log away
  for (const auto& e : std::filesystem::directory_iterator(dir_.Child("Quorvane/ORU"))) {
    rotated += ReadFileForTesting(e.path().string());
  }
  EXPECT_NE(rotated.find("[WARN] Already exist PreInstance."), std::string::npos) << rotated;

  auto fork = StartRunning({"OnlyForkInstallDependent=1"}, "qvForkORU.log");
  EXPECT_FALSE(fork->Wait(std::chrono::milliseconds(200))) << "the fork copy keeps running";
  fork->Signal(SIGTERM);
  EXPECT_EQ(fork->Wait(), 0);

  first->Signal(SIGKILL);
  EXPECT_EQ(first->Wait(), -SIGKILL);
  auto next = StartRunning();
  next->Signal(SIGTERM);
  EXPECT_EQ(next->Wait(), 0) << "a killed copy never blocks the next start";
}

}  // namespace
}  // namespace oru
