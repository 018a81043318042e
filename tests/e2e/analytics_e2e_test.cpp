// Whole runs of the installer reporting analytics events to the reference
// product server's collector, and keeping them when the collector is away.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <httplib.h>

#include <filesystem>

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

// A stored record of the start event, as the admin read shows it.
constexpr char kStartupRecord[] = "\"event\":\"downloader_startup\",\"lib\"";

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class AnalyticsE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = testing::SandboxEnvironment(dir_.path());
    resources_ = testing::SandboxResourceDir(dir_.path());
  }

  int StartProductServer() {
    int port = 0;
    server_ = testing::StartDemoProductServer(ORU_PRODUCT_SERVER_BIN, dir_.path(), &port);
    return port;
  }

  // One run up to its message loop, ended as a user's logout would end it.
  void RunOnce() {
    std::string log_path = dir_.Child("Quorvane/ORU/qvORU.log");
    std::filesystem::remove(log_path);
    ChildOptions o;
    o.argv = {std::string(ORU_BIN_DIR) + "/oru"};
    o.env = env_;
    o.output_dir = dir_.path();
    ChildProcess oru(o);
    auto log = [&] { return PathExists(log_path) ? ReadFileForTesting(log_path) : std::string(); };
    ASSERT_TRUE(WaitUntil([&] { return log().find("[INFO] MessageLoop\n") != std::string::npos; })) << log();
    oru.Signal(SIGTERM);
    EXPECT_EQ(oru.Wait(), 0) << log();
    last_log_ = log();
  }

  std::string Events(int port, const std::string& name) {
    httplib::Client admin("127.0.0.1", port);
    auto answer = admin.Get("/__admin/events?event=" + name);
    return answer ? answer->body : std::string("(admin unreachable)");
  }

  std::string StagingPath() { return dir_.Child("oru_analytics"); }

  ScopedTempDir dir_;
  std::map<std::string, std::string> env_;
  std::string resources_;
  std::unique_ptr<ChildProcess> server_;
  std::string last_log_;
};

TEST_F(AnalyticsE2eTest, EveryRunReportsItsStartWithTheSuperProperties) {
  if (geteuid() != 0) GTEST_SKIP() << "a full run needs administrator rights (root)";
  int port = StartProductServer();
  ASSERT_NE(port, 0);
  ASSERT_TRUE(WriteFileAtomically(resources_ + "/XML_106", testing::DemoProductXmlForPort(port)));
  RunOnce();

  std::string events = Events(port, "downloader_startup");
  EXPECT_EQ(CountOf(events, kStartupRecord), 1u) << events;
  for (const char* part : {"\"lib\":{\"$lib\":\"cpp\"", "\"pid\":1001", "\"pname\":\"Quorvane Studio\"",
                           "\"tid\":\"UA-Oru-Web\"", "\"ostype\":\"windows\""}) {
    EXPECT_NE(events.find(part), std::string::npos) << part << " in " << events;
  }
  EXPECT_NE(last_log_.find("[INFO] report EVENT_STARTUP after all super properties set."), std::string::npos)
      << last_log_;
  EXPECT_NE(last_log_.find("[INFO] analytics, event=[downloader_startup]."), std::string::npos) << last_log_;
}

TEST_F(AnalyticsE2eTest, EventsWaitInTheStagingFileWhileTheCollectorIsAwayAndLeaveFirstNextRun) {
  if (geteuid() != 0) GTEST_SKIP() << "a full run needs administrator rights (root)";
  int port = StartProductServer();
  ASSERT_NE(port, 0);
  std::string xml = testing::DemoProductXmlForPort(port);
  const std::string collectors = "http://127.0.0.1:" + std::to_string(port) + "/sa,http://127.0.0.2:" +
                                 std::to_string(port) + "/sa";
  size_t at = xml.find(collectors);
  ASSERT_NE(at, std::string::npos) << xml;
  std::string away = xml;
  away.replace(at, collectors.size(), "http://127.0.0.1:9/sa");
  ASSERT_TRUE(WriteFileAtomically(resources_ + "/XML_106", away));
  RunOnce();
  EXPECT_NE(last_log_.find("[ERROR] analytics flush failed! event=[downloader_startup]"), std::string::npos)
      << last_log_;
  ASSERT_TRUE(PathExists(StagingPath())) << "unsent records are kept for the next run";
  EXPECT_NE(ReadFileForTesting(StagingPath()).find("downloader_startup"), std::string::npos);
  EXPECT_EQ(CountOf(Events(port, "downloader_startup"), kStartupRecord), 0u);

  ASSERT_TRUE(WriteFileAtomically(resources_ + "/XML_106", xml));
  RunOnce();
  std::string events = Events(port, "downloader_startup");
  EXPECT_EQ(CountOf(events, kStartupRecord), 2u) << "the kept one and this run's: " << events;
  std::string staged = PathExists(StagingPath()) ? ReadFileForTesting(StagingPath()) : std::string();
  EXPECT_EQ(staged.find("downloader_startup"), std::string::npos) << "sent records leave the staging file";
}

}  // namespace
}  // namespace oru
