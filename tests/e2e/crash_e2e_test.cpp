// Real crashes of a program that uses the crash handler, with the product
// server receiving what the helper run or the next start of `oru` sends.
#include <elf.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/json.h"
#include "e2e/e2e_sandbox.h"
#include "platform/file_util.h"
#include "product_server/product_server.h"
#include "product_server/server_config.h"
#include "support/child_process.h"
#include "support/crash_dump_inspection.h"
#include "support/scoped_temp_dir.h"

namespace oru {
namespace {

using testing::ChildOptions;
using testing::ChildProcess;
using testing::LoadBaseInDump;
using testing::ReadFileForTesting;
using testing::ScopedTempDir;
using testing::TextSectionOf;
using testing::WaitUntil;

constexpr unsigned kNobody = 65534;

// ASan and TSan keep their own fatal-signal handlers unless told not to;
// the handler under test must be the one that runs.
constexpr char kSanitizerOptions[] = "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0";

std::string Hex8(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
  return text;
}

class CrashE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Children run as another user when we are root (see Child); they
    // write the record, the dump and the log in here.
    chmod(dir_.path().c_str(), 0777);
    env_ = testing::SandboxEnvironment(dir_.path());
    env_["ASAN_OPTIONS"] = kSanitizerOptions;
    env_["TSAN_OPTIONS"] = kSanitizerOptions;
    // No product server listens on port 1: an installer run asks nothing of ours.
    ASSERT_TRUE(WriteFileAtomically(testing::SandboxResourceDir(dir_.path()) + "/XML_106",
                                    testing::DemoProductXmlForPort(1)));
    product_server::ServerConfig config;
    config.port = 0;
    std::string error;
    ASSERT_TRUE(server_.Start(config, &error)) << error;
    origin_ = server_.base_url() + "/";

    const std::string bin = dir_.Child("bin");
    std::filesystem::create_directory(bin);
    chmod(bin.c_str(), 0777);
    exe_ = bin + "/installer";
    std::filesystem::copy_file(ORU_CRASH_VICTIM_BIN, exe_);
    std::filesystem::permissions(exe_, std::filesystem::perms::all);
    record_ = dir_.Child("oru_crash.rec");
  }

  void TearDown() override { server_.Stop(); }

  // Not root's: the installer is refused at once, right after its crash
  // capture set-up; the victim's record must belong to the same user.
  ChildOptions Child(std::vector<std::string> argv) {
    ChildOptions o;
    o.argv = std::move(argv);
    o.env = env_;
    o.output_dir = dir_.path();
    if (geteuid() == 0) o.run_as_uid = kNobody;
    return o;
  }

  int Crash(const std::string& helper_mode) {
    ChildOptions o = Child({exe_, "null_write", record_, helper_mode, "enabled", origin_});
    o.env["CRASH_VICTIM_SEND"] = "1";
    ChildProcess victim(o);
    return victim.Wait().value_or(999);
  }

  ChildOptions Installer() { return Child({std::string(ORU_BIN_DIR) + "/oru"}); }

  // Every log file: a second start rotates the live one away.
  std::string Log() {
    std::string all;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Child("Quorvane/ORU"), ec)) {
      all += ReadFileForTesting(entry.path().string());
    }
    return all;
  }

  bool RecordGone() {
    return !std::filesystem::exists(record_) && !std::filesystem::exists(record_ + ".sending");
  }

  // The one stored report, checked field by field against the dump.
  void ExpectOneCrashReport() {
    std::vector<product_server::TrackReport> reports = server_.TrackReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].client_sign, "victim-sign");
    std::optional<JsonDocument> doc = JsonDocument::Parse(reports[0].body);
    ASSERT_TRUE(doc.has_value()) << reports[0].body;
    auto text = [&](const char* name) { return doc->root().Get(name).String().value_or("<missing>"); };
    EXPECT_EQ(text("crash"), "1");
    EXPECT_EQ(text("crashcode"), "3221225477");
    EXPECT_EQ(text("closetype"), "5");
    EXPECT_EQ(text("crashfilename"), exe_);
    EXPECT_EQ(text("crashsection"), ".text");
    EXPECT_EQ(text("late"), "after-install") << "a change after the handler was installed";

    const std::string dump = ReadFileForTesting(exe_ + ".dmp");
    for (const char* part : {"\n[registers]\n", "\nrip 0x", "\n[maps]\n", "\n[backtrace]\n#0 0x"}) {
      EXPECT_NE(dump.find(part), std::string::npos) << part;
    }
    std::optional<Elf64_Shdr> section = TextSectionOf(exe_);
    std::optional<uint64_t> base = LoadBaseInDump(dump, exe_);
    ASSERT_TRUE(section && base);
    const uint64_t offset = std::stoull(text("crashoffset"));
    EXPECT_LT(offset, section->sh_size);
    // The full address, not its low 32 bits.
    EXPECT_EQ(text("crashattr"), Hex8(*base + section->sh_addr + offset));

    // One crash event with the same place, and no start event of the helper.
    ASSERT_TRUE(WaitUntil([&] { return !server_.Events("downloader_crash").empty(); }));
    std::vector<product_server::AnalyticsEvent> events = server_.Events("downloader_crash");
    ASSERT_EQ(events.size(), 1u);
    const std::string& record = events[0].record;
    for (const std::string& part : std::vector<std::string>{"\"crashaddr\":\"" + text("crashattr") + "\"",
                                    "\"crashoffset\":\"" + text("crashoffset") + "\"",
                                    std::string("\"crashsection\":\".text\""), std::string("\"error_code\":3221225477"),
                                    std::string("\"pname\":\"Victim\"")}) {
      EXPECT_NE(record.find(part), std::string::npos) << part << " in " << record;
    }
    EXPECT_TRUE(server_.Events("downloader_startup").empty());
  }

  ScopedTempDir dir_;
  std::map<std::string, std::string> env_;
  product_server::ProductServer server_;
  std::string origin_;
  std::string exe_;
  std::string record_;
};

TEST_F(CrashE2eTest, HelperSendsTheReportOnceAndTheNextStartSendsNothing) {
  EXPECT_EQ(Crash("helper"), -SIGSEGV);
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(record_ + ".event"); }));
  ASSERT_TRUE(WaitUntil([&] { return RecordGone(); }));
  ExpectOneCrashReport();

  ChildProcess next(Installer());
  EXPECT_EQ(next.Wait(), 255);
  EXPECT_NE(Log().find("[INFO] start, fork=[0]."), std::string::npos) << Log();
  EXPECT_EQ(server_.TrackReports().size(), 1u);
}

TEST_F(CrashE2eTest, HelperThatCannotStartLeavesTheReportToOneOfTwoRacingStarts) {
  EXPECT_EQ(Crash("badhelper"), -SIGSEGV);
  ASSERT_TRUE(std::filesystem::exists(record_));
  EXPECT_TRUE(server_.TrackReports().empty());

  ChildProcess first(Installer());
  ChildProcess second(Installer());
  EXPECT_EQ(first.Wait(), 255);
  EXPECT_EQ(second.Wait(), 255);
  // The record is gone once the delivering helper sent it: nothing is left
  // for another helper to send.
  ASSERT_TRUE(WaitUntil([&] { return RecordGone() && !server_.TrackReports().empty(); })) << Log();
  ExpectOneCrashReport();
  EXPECT_NE(Log().find("[INFO] start, fork=[0]."), std::string::npos) << Log();
}

}  // namespace
}  // namespace oru
