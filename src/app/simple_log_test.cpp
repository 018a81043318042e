#include "app/simple_log.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "support/scoped_temp_dir.h"
#include "support/test_clock.h"

namespace oru {
namespace {

using testing::ReadFileForTesting;
using testing::ScopedTempDir;
using testing::TestClock;
using testing::WriteFileForTesting;

std::set<std::string> FileNames(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

// Sets a file's modification time to Unix seconds + nanoseconds.
void SetMtime(const std::string& path, int64_t seconds, long nanoseconds = 0) {
  struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

class SimpleLogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("TZ", "UTC", 1);
    tzset();
  }
  // 2024-03-05 09:07:41 UTC.
  void SetUp() override { clock_.SetNow(Clock::WallTime(std::chrono::seconds(1709629661))); }

  // One start: a new logger on the same path, opened, writing one line.
  void StartOnce(const std::string& path) {
    simpleLog log(path, clock_);
    log.Open();
    log.Log(kLogInfo, "[INFO] MessageLoop");
  }

  ScopedTempDir dir_;
  TestClock clock_;
};

TEST_F(SimpleLogTest, LineHasDateTimeThreadAndMessage) {
  std::string path = dir_.Child("qvORU.log");
  simpleLog log(path, clock_);
  log.Open();
  log.Log(kLogInfo, "[INFO] start, fork=[%d].", 0);
  log.Log(kLogError, "[ERROR] %s", "second");
  std::string text = ReadFileForTesting(path);
  std::regex line(R"(\[2024-03-05 9:07:41\] [0-9]+ - \[INFO\] start, fork=\[0\]\.
\[2024-03-05 9:07:41\] [0-9]+ - \[ERROR\] second
)");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST_F(SimpleLogTest, FirstOpenWithoutEarlierLogRenamesNothing) {
  std::string path = dir_.Child("qvORU.log");
  simpleLog log(path, clock_);
  log.Open();
  EXPECT_TRUE(FileNames(dir_.path()).empty());
  log.Log(kLogInfo, "[INFO] x");
  EXPECT_EQ(FileNames(dir_.path()), std::set<std::string>{"qvORU.log"});
}

TEST_F(SimpleLogTest, SevenStartsKeepLiveFileAndFiveDatedCopies) {
  std::string path = dir_.Child("qvORU.log");
  for (int i = 0; i < 7; ++i) StartOnce(path);
  // Starts within one second must still be pruned one by one: the seventh
  // drops the oldest copy (the plain dated name) and reuses its name.
  EXPECT_EQ(FileNames(dir_.path()),
            (std::set<std::string>{"qvORU.log", "qvORU_2024-03-05.log", "qvORU_2024-03-05_1.log",
                                   "qvORU_2024-03-05_2.log", "qvORU_2024-03-05_3.log", "qvORU_2024-03-05_4.log"}));
}

TEST_F(SimpleLogTest, SameDayRotationsAppendCounters) {
  std::string path = dir_.Child("qvORU.log");
  for (int i = 0; i < 4; ++i) StartOnce(path);
  EXPECT_EQ(FileNames(dir_.path()), (std::set<std::string>{"qvORU.log", "qvORU_2024-03-05.log",
                                                           "qvORU_2024-03-05_1.log", "qvORU_2024-03-05_2.log"}));
}

TEST_F(SimpleLogTest, SixFamilyFilesLoseTheOldestBeforeRotating) {
  std::string path = dir_.Child("qvORU.log");
  const char* copies[] = {"qvORU_2024-01-01.log", "qvORU_2024-01-02.log", "qvORU_2024-01-03.log",
                          "qvORU_2024-01-04.log", "qvORU_2024-01-05.log"};
  int64_t t = 1704067200;
  // The second-newest copy is deliberately the oldest by time: time decides, not the name.
  int64_t offsets[] = {20, 30, 40, 10, 50};
  for (int i = 0; i < 5; ++i) {
    WriteFileForTesting(dir_.Child(copies[i]), "old");
    SetMtime(dir_.Child(copies[i]), t + offsets[i]);
  }
  WriteFileForTesting(path, "live");
  SetMtime(path, t + 60);
  WriteFileForTesting(dir_.Child("other.txt"), "not ours");
  SetMtime(dir_.Child("other.txt"), t);

  simpleLog log(path, clock_);
  log.Open();
  EXPECT_EQ(FileNames(dir_.path()),
            (std::set<std::string>{"qvORU_2024-01-01.log", "qvORU_2024-01-02.log", "qvORU_2024-01-03.log",
                                   "qvORU_2024-01-05.log", "qvORU_2024-03-05.log", "other.txt"}));
  EXPECT_EQ(ReadFileForTesting(dir_.Child("qvORU_2024-03-05.log")), "live");
}

TEST_F(SimpleLogTest, FilesWithEqualTimesAreCountedOneByOne) {
  std::string path = dir_.Child("qvORU.log");
  for (int i = 0; i < 8; ++i) {
    std::string copy = dir_.Child("qvORU_2024-01-0" + std::to_string(i + 1) + ".log");
    WriteFileForTesting(copy, "old");
    SetMtime(copy, 1704067200);
  }
  simpleLog log(path, clock_);
  log.Open();
  EXPECT_EQ(FileNames(dir_.path()).size(), simpleLog::kKeptFiles);
}

TEST_F(SimpleLogTest, ForkAndNormalFamiliesAreSeparate) {
  std::string normal = dir_.Child("qvORU.log");
  std::string fork = dir_.Child("qvForkORU.log");
  for (int i = 0; i < 7; ++i) StartOnce(normal);
  StartOnce(fork);
  StartOnce(fork);
  std::set<std::string> names = FileNames(dir_.path());
  EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.rfind("qvORU", 0) == 0; }),
            6);
  EXPECT_TRUE(names.count("qvForkORU.log"));
  EXPECT_TRUE(names.count("qvForkORU_2024-03-05.log"));
}

TEST_F(SimpleLogTest, SecondOpenDoesNotRotateAgain) {
  std::string path = dir_.Child("qvORU.log");
  StartOnce(path);
  simpleLog log(path, clock_);
  log.Open();
  log.Log(kLogInfo, "[INFO] line");
  log.Open();
  EXPECT_EQ(FileNames(dir_.path()), (std::set<std::string>{"qvORU.log", "qvORU_2024-03-05.log"}));
}

TEST_F(SimpleLogTest, UnwritableFileDropsLinesAndRecovers) {
  std::string folder = dir_.Child("later");
  std::string path = folder + "/qvORU.log";
  simpleLog log(path, clock_);
  log.Open();
  log.Log(kLogInfo, "[INFO] lost");
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  log.Log(kLogInfo, "[INFO] kept");
  std::string text = ReadFileForTesting(path);
  EXPECT_EQ(text.find("lost"), std::string::npos);
  EXPECT_NE(text.find("[INFO] kept"), std::string::npos);
}

TEST_F(SimpleLogTest, EmptyNameSaysSoAndWritesNothing) {
  ::testing::internal::CaptureStdout();
  simpleLog log("", clock_);
  log.Open();
  log.Log(kLogInfo, "[INFO] nowhere");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "[simpleLog::Log] log filename is empty\n");
}

TEST_F(SimpleLogTest, CallsBeforeTheLoggerExistsDoNothing) {
  SetProcessLog(nullptr);
  Log(kLogError, "[ERROR] nobody listens %d", 1);
  std::string path = dir_.Child("qvORU.log");
  simpleLog log(path, clock_);
  log.Open();
  SetProcessLog(&log);
  Log(kLogInfo, "[INFO] through the process log %s", "ok");
  SetProcessLog(nullptr);
  EXPECT_NE(ReadFileForTesting(path).find("[INFO] through the process log ok"), std::string::npos);
}

TEST_F(SimpleLogTest, LinesFromManyThreadsNeverInterleave) {
  std::string path = dir_.Child("qvORU.log");
  simpleLog log(path, clock_);
  log.Open();
  constexpr int kThreads = 8;
  constexpr int kLines = 300;
  const std::string payload(200, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) log.Log(kLogInfo, "[INFO] t=%d i=%d %s end", t, i, payload.c_str());
    });
  }
  for (auto& th : threads) th.join();

  std::istringstream in(ReadFileForTesting(path));
  std::regex line(R"(\[2024-03-05 9:07:41\] [0-9]+ - \[INFO\] t=([0-9]+) i=([0-9]+) x{200} end)");
  std::vector<int> next(kThreads, 0);
  std::string text;
  int total = 0;
  while (std::getline(in, text)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, line)) << text;
    int t = std::stoi(m[1]);
    EXPECT_EQ(std::stoi(m[2]), next[t]++) << "lines of one thread stay in call order";
    ++total;
  }
  EXPECT_EQ(total, kThreads * kLines);
}

}  // namespace
}  // namespace oru
