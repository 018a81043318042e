#include "config/run_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "config/xml_document.h"
#include "platform/file_util.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"

namespace oru {
namespace {

using testing::LogCapture;
using testing::ReadFileForTesting;
using testing::ScopedTempDir;
using testing::WriteFileForTesting;

class RunStateTest : public ::testing::Test {
 protected:
  ScopedTempDir dir_;
  std::string path_ = dir_.Child("ORU_DOWNTASK_1001.xml");
};

RunState Sample() {
  RunState s;
  s.Status = "1";
  s.JoinExp = "1";
  s.SelectLang = "Espa\u00F1ol";
  s.InstallPath = "/opt/Quorvane <&> \"Studio\" 'x' \u65E5\u672C/";
  s.AgreeExtInstall = "";
  s.TmpPackagePath = "/var/lib/Quorvane/Download/Setup.exe.~P2S";
  return s;
}

TEST_F(RunStateTest, WritesTheDocumentAndReadsItBack) {
  LogCapture log;
  ASSERT_TRUE(WriteRunConfig(path_, Sample(), /*fork=*/false));
  EXPECT_EQ(log.Count("[INFO] WriteRunConfig"), 1);
  EXPECT_EQ(ReadFileForTesting(path_),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<config><Status>1</Status><JoinExp>1</JoinExp><SelectLang>Espa\u00F1ol</SelectLang>"
            "<InstallPath>/opt/Quorvane &lt;&amp;&gt; &quot;Studio&quot; &apos;x&apos; \u65E5\u672C/"
            "</InstallPath><AgreeExtInstall/>"
            "<TmpPackagePath>/var/lib/Quorvane/Download/Setup.exe.~P2S</TmpPackagePath></config>");

  RunState read;
  ASSERT_TRUE(ReadRunConfig(path_, &read));
  RunState expected = Sample();
  expected.resume = true;
  EXPECT_EQ(read, expected);
  EXPECT_EQ(log.Count("[INFO] ReadRunConfig"), 1);
}

TEST_F(RunStateTest, ReadsAnyOrderAndKeepsMissingFields) {
  WriteFileForTesting(path_,
                      "\xEF\xBB\xBF<?xml version=\"1.0\"?>\r\n<config>\r\n"
                      "  <TmpPackagePath>/t.~P2S</TmpPackagePath>\r\n"
                      "  <SelectLang>Deutsch</SelectLang>\r\n"
                      "  <SelectLang>English</SelectLang>\r\n"
                      "  <Status>0</Status>\r\n"
                      "</config>\r\n");
  RunState s;
  s.JoinExp = "kept";
  s.InstallPath = "/kept/";
  ASSERT_TRUE(ReadRunConfig(path_, &s));
  EXPECT_EQ(s.TmpPackagePath, "/t.~P2S");
  EXPECT_EQ(s.SelectLang, "Deutsch");  // the first wins
  EXPECT_EQ(s.Status, "0");
  EXPECT_EQ(s.JoinExp, "kept");
  EXPECT_EQ(s.InstallPath, "/kept/");
  EXPECT_EQ(s.AgreeExtInstall, "1");
  EXPECT_FALSE(s.resume);
}

TEST_F(RunStateTest, InstallPathGainsTrailingSeparator) {
  struct Case {
    const char* stored;
    const char* read;
  } cases[] = {
      {"/opt/Quorvane", "/opt/Quorvane/"},
      {"/opt/Quorvane/", "/opt/Quorvane/"},
      {"/", "/"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    RunState s;
    s.InstallPath = c.stored;
    ASSERT_TRUE(WriteRunConfig(path_, s, false));
    RunState read;
    ASSERT_TRUE(ReadRunConfig(path_, &read));
    EXPECT_EQ(read.InstallPath, c.read);
  }
}

TEST_F(RunStateTest, StatusReadsAsANumber) {
  struct Case {
    const char* status;
    bool resume;
  } cases[] = {
      {"1", true}, {"01", true}, {" 1", true}, {"1x", true},
      {"0", false}, {"abc", false}, {"", false}, {"2", false}, {"11", false}, {"-1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    WriteFileForTesting(path_, std::string("<config><Status>") + c.status + "</Status></config>");
    RunState s;
    ASSERT_TRUE(ReadRunConfig(path_, &s));
    EXPECT_EQ(s.Status, c.status);
    EXPECT_EQ(s.resume, c.resume);
  }
}

TEST_F(RunStateTest, UnusableFilesChangeNothing) {
  struct Case {
    const char* name;
    const char* content;  // nullptr: no file
  } cases[] = {
      {"missing", nullptr},
      {"wrong root", "<state><Status>1</Status><SelectLang>x</SelectLang></state>"},
      {"nested config", "<root><config><Status>1</Status></config></root>"},
      {"not xml", "Status=1"},
      {"cut short", "<config><Status>1</Status>"},
      {"empty", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RemoveFile(path_);
    if (c.content != nullptr) WriteFileForTesting(path_, c.content);
    RunState s;
    EXPECT_FALSE(ReadRunConfig(path_, &s));
    EXPECT_EQ(s, RunState());
  }
}

TEST_F(RunStateTest, EmptyPathDoesNothing) {
  LogCapture log;
  RunState s;
  s.Status = "1";  // the flag still follows the record
  EXPECT_FALSE(ReadRunConfig("", &s));
  EXPECT_TRUE(s.resume);
  EXPECT_FALSE(WriteRunConfig("", s, false));
  EXPECT_FALSE(DeleteRunConfig("", &s, false));
  EXPECT_FALSE(s.resume);
  EXPECT_TRUE(log.Lines().empty()) << log.All();
}

TEST_F(RunStateTest, ForkModeLeavesTheFileAlone) {
  ASSERT_TRUE(WriteRunConfig(path_, Sample(), false));
  const std::string before = ReadFileForTesting(path_);

  LogCapture log;
  RunState other;
  other.Status = "0";
  EXPECT_FALSE(WriteRunConfig(path_, other, /*fork=*/true));
  EXPECT_EQ(ReadFileForTesting(path_), before);
  RunState s = Sample();
  s.resume = true;
  EXPECT_FALSE(DeleteRunConfig(path_, &s, /*fork=*/true));
  EXPECT_FALSE(s.resume);
  EXPECT_EQ(ReadFileForTesting(path_), before);
  EXPECT_EQ(log.Count("WriteRunConfig"), 0);

  EXPECT_FALSE(WriteRunConfig(dir_.Child("fork-only.xml"), other, true));
  EXPECT_FALSE(PathExists(dir_.Child("fork-only.xml")));
}

TEST_F(RunStateTest, DeleteRemovesTheFileAndClearsResume) {
  ASSERT_TRUE(WriteRunConfig(path_, Sample(), false));
  RunState s;
  ASSERT_TRUE(ReadRunConfig(path_, &s));
  ASSERT_TRUE(s.resume);
  EXPECT_TRUE(DeleteRunConfig(path_, &s, false));
  EXPECT_FALSE(s.resume);
  EXPECT_FALSE(PathExists(path_));
  EXPECT_TRUE(DeleteRunConfig(path_, &s, false));  // already gone
}

TEST_F(RunStateTest, FailedWriteKeepsTheEarlierFile) {
  EXPECT_FALSE(WriteRunConfig(dir_.Child("no-such-folder/state.xml"), Sample(), false));
  ASSERT_TRUE(WriteRunConfig(path_, Sample(), false));
  const std::string before = ReadFileForTesting(path_);
  // A folder in the way of the temporary file's rename target.
  ASSERT_TRUE(CreateDirectoryLevels(dir_.Child("blocked.xml/inner")));
  EXPECT_FALSE(WriteRunConfig(dir_.Child("blocked.xml"), Sample(), false));
  EXPECT_EQ(ReadFileForTesting(path_), before);
}

TEST_F(RunStateTest, ConcurrentWritersNeverLeaveATornFile) {
  // Two writers with different records (long values make a torn write
  // likely to show) and a reader that must always see one of them whole.
  RunState a = Sample();
  a.TmpPackagePath = std::string(64 * 1024, 'a');
  RunState b;
  b.Status = "0";
  b.SelectLang = "Deutsch";
  b.TmpPackagePath = std::string(48 * 1024, 'b');
  ASSERT_TRUE(WriteRunConfig(path_, a, false));

  std::atomic<bool> done{false};
  std::atomic<int> bad_reads{0};
  std::atomic<int> failed_writes{0};
  std::vector<std::thread> writers;
  for (const RunState* state : {&a, &b}) {
    writers.emplace_back([&, state] {
      for (int i = 0; i < 150; ++i) {
        if (!WriteRunConfig(path_, *state, false)) ++failed_writes;
      }
    });
  }
  std::thread reader([&] {
    while (!done.load()) {
      RunState read;
      if (!ReadRunConfig(path_, &read)) {
        ++bad_reads;
        continue;
      }
      read.resume = false;
      if (!(read == a) && !(read == b)) ++bad_reads;
    }
  });
  for (std::thread& t : writers) t.join();
  done = true;
  reader.join();
  EXPECT_EQ(failed_writes.load(), 0);
  EXPECT_EQ(bad_reads.load(), 0);
  // No temporary files are left beside it.
  EXPECT_EQ(ListFiles(dir_.path()).size(), 1u);
}

}  // namespace
}  // namespace oru
