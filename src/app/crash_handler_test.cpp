#include "app/crash_handler.h"

#include <elf.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/crash_signals.h"
#include "platform/process_util.h"
#include "support/child_process.h"
#include "support/crash_dump_inspection.h"
#include "support/scoped_temp_dir.h"
#include "telemetry/report_store.h"
#include "telemetry/track_report.h"

namespace oru {
namespace {

using testing::ChildOptions;
using testing::ChildProcess;
using testing::LoadBaseInDump;
using testing::ReadFileForTesting;
using testing::ScopedTempDir;
using testing::TextSectionOf;
using testing::WaitUntil;
using testing::WriteFileForTesting;

constexpr unsigned kNobody = 65534;
const std::regex kAddressForm("0x[0-9A-F]{8,16}");

int g_initialised_data = 17;

[[gnu::noinline]] int CodeInThisProgram(int value) { return value * 3 + 1; }

std::string RecordText(const std::string& location, const std::string& state) {
  return "oru-crash-record 1\nsignal=11\nsigcode=1\ncode=3221225477\naddress=0x5555000012AB\n" + location +
         "state\n" + state;
}

// --- address look-up -------------------------------------------------------

TEST(FindCrashModuleTest, NamesModuleSectionAndOffset) {
  ASSERT_TRUE(LoadCrashModuleTable());
  const std::string self = OwnExecutablePath();
  struct Case {
    const char* what;
    uint64_t address;
    std::string module_contains;  // empty: no result expected
    std::string section;
  };
  const Case cases[] = {
      {"own code", reinterpret_cast<uintptr_t>(&CodeInThisProgram), self, ".text"},
      {"own initialised data", reinterpret_cast<uintptr_t>(&g_initialised_data), self, ".data"},
      // Under a sanitizer raise() is its interceptor, in the sanitizer runtime.
      {"a shared library's code", reinterpret_cast<uintptr_t>(&::raise), ".so", ".text"},
      {"the zero page", 0x10, "", ""},
      {"the last address", ~uint64_t{0}, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::optional<CrashModuleLocation> found = FindCrashModule(c.address);
    if (c.module_contains.empty()) {
      EXPECT_FALSE(found.has_value());
      continue;
    }
    ASSERT_TRUE(found.has_value());
    EXPECT_NE(found->module_file.find(c.module_contains), std::string::npos) << found->module_file;
    EXPECT_EQ(found->section, c.section);
    // The section starts `offset` bytes before the address: the byte before
    // that start belongs elsewhere.
    std::optional<CrashModuleLocation> start = FindCrashModule(c.address - found->offset);
    ASSERT_TRUE(start.has_value());
    EXPECT_EQ(start->offset, 0u);
    std::optional<CrashModuleLocation> before = FindCrashModule(c.address - found->offset - 1);
    EXPECT_TRUE(!before.has_value() || before->section != c.section || before->module_file != found->module_file);
  }
}

TEST(CrashCodeTest, SignalsMapToExceptionCodes) {
  const std::pair<int, uint32_t> cases[] = {
      {SIGSEGV, 3221225477u}, {SIGILL, 0xC000001Du}, {SIGFPE, 0xC0000094u}, {SIGBUS, 0xC0000006u}};
  for (const auto& [signo, code] : cases) EXPECT_EQ(CrashCodeForSignal(signo), code) << signo;
}

// --- record text -----------------------------------------------------------

TEST(ParseCrashRecordTest, ReadsLocationAndState) {
  std::optional<PendingCrash> crash = ParseCrashRecord(
      RecordText("module=/opt/odd\\nname\\\\dir/inst\nsection=.text\noffset=4779\n",
                 "enabled=1\nper_product=0\nfirst_install=0\nstart_time=1700000000\norigin=https://p.example/\n"
                 "value.client_sign=abc\nvalue.note=two\\nlines=and equals\n"));
  ASSERT_TRUE(crash.has_value());
  EXPECT_TRUE(crash->record.crashed);
  EXPECT_EQ(crash->record.code, 3221225477u);
  EXPECT_EQ(crash->record.address, 0x5555000012ABu);
  EXPECT_EQ(crash->record.offset, 4779u);
  EXPECT_EQ(crash->record.module_file, "/opt/odd\nname\\dir/inst");
  EXPECT_EQ(crash->record.section, ".text");
  EXPECT_EQ(crash->signal, 11);
  EXPECT_TRUE(crash->report_enabled);
  EXPECT_FALSE(crash->first_install);
  EXPECT_EQ(crash->start_time, 1700000000);
  EXPECT_EQ(crash->platform_origin, "https://p.example/");
  EXPECT_EQ(crash->values.at("client_sign"), "abc");
  EXPECT_EQ(crash->values.at("note"), "two\nlines=and equals");
}

TEST(ParseCrashRecordTest, RefusesDamagedRecordsAndDropsHalfLocations) {
  struct Case {
    const char* what;
    std::string text;
    bool parses;
  };
  const Case cases[] = {
      {"empty file", "", false},
      {"foreign header", "something else\ncode=1\n", false},
      {"no code", "oru-crash-record 1\naddress=0x00000010\nstate\n", false},
      {"address without 0x", "oru-crash-record 1\ncode=1\naddress=12AB\nstate\n", false},
      {"code beyond 32 bits", "oru-crash-record 1\ncode=4294967296\naddress=0x00000010\nstate\n", false},
      {"negative offset", "oru-crash-record 1\ncode=1\noffset=-4\nstate\n", false},
      {"cut off before the state", "oru-crash-record 1\ncode=1\naddress=0x00000010\n", true},
      {"section without module", RecordText("section=.text\noffset=5\n", ""), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::optional<PendingCrash> crash = ParseCrashRecord(c.text);
    ASSERT_EQ(crash.has_value(), c.parses);
    if (!crash) continue;
    EXPECT_EQ(crash->record.module_file, "");
    EXPECT_EQ(crash->record.section, "");
    EXPECT_EQ(crash->record.offset, 0u);
    EXPECT_FALSE(crash->report_enabled);
  }
}

TEST(CrashHelperArgumentsTest, OnlyTheExactHelperLineIsTaken) {
  ScopedTempDir dir;
  const std::vector<std::string> others[] = {
      {"oru"}, {"oru", "--crash-report"}, {"oru", "/fork", "x"}, {"oru", "--crash-report", "a", "b"}};
  for (const auto& args : others) EXPECT_FALSE(RunCrashReportHelperIfRequested(args).has_value());
  EXPECT_EQ(RunCrashReportHelperIfRequested({"oru", kCrashReportArgument, dir.Child("none.rec")}), 1);
}

// --- published state -------------------------------------------------------

// The store publishes through its listener, as once the handler is installed.
class PublishedStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ReportStore::Instance().ResetForTesting();
    ReportStore::Instance().SetChangeListener(&PublishReportStateForCrash);
  }
  void TearDown() override {
    ReportStore::Instance().SetChangeListener(nullptr);
    ReportStore::Instance().ResetForTesting();
  }
  // The state as the helper would read it back from a record.
  static PendingCrash Published() {
    std::optional<PendingCrash> crash = ParseCrashRecord(RecordText("", PublishedCrashState()));
    EXPECT_TRUE(crash.has_value());
    return crash.value_or(PendingCrash{});
  }
};

TEST_F(PublishedStateTest, EveryKindOfChangeIsPublishedAtOnce) {
  ReportStore& store = ReportStore::Instance();
  struct Case {
    const char* what;
    std::function<void()> change;
    std::function<bool(const PendingCrash&)> published;
  };
  const Case cases[] = {
      {"text", [&] { store.SetReportText("downcode", "12"); },
       [](const PendingCrash& c) { return c.values.count("downcode") && c.values.at("downcode") == "12"; }},
      {"snapshot update", [&] { store.UpdateAndSnapshot({{"product_id", "9"}}); },
       [](const PendingCrash& c) { return c.values.count("product_id") && c.values.at("product_id") == "9"; }},
      {"enabled", [&] { store.SetReportEnabled(true); }, [](const PendingCrash& c) { return c.report_enabled; }},
      {"per product", [&] { store.SetPerProduct(true); }, [](const PendingCrash& c) { return c.per_product; }},
      {"first install", [&] { store.SetFirstInstall(false); },
       [](const PendingCrash& c) { return !c.first_install; }},
      {"start time", [&] { store.SetStartTime(1700000123); },
       [](const PendingCrash& c) { return c.start_time == 1700000123; }},
      {"origin", [&] { store.SetPlatformOrigin("http://127.0.0.1:9/"); },
       [](const PendingCrash& c) { return c.platform_origin == "http://127.0.0.1:9/"; }},
      {"bind record", [&] { store.SetBindInstallFail(5, -2); },
       [](const PendingCrash& c) { return c.binds.count(5) && c.binds.at(5).install_fail == -2; }},
      {"bind digest", [&] { store.SetBindServerDigest(5, "ab cd\nef"); },
       [](const PendingCrash& c) { return c.binds.count(5) && c.binds.at(5).server_digest == "ab cd\nef"; }},
      {"cdn address", [&] { store.AddCdnAddress("10.0.0.1"); },
       [](const PendingCrash& c) { return c.cdn_addresses.count("10.0.0.1"); }},
      {"cdn url", [&] { store.AddCdnUrl("https://cdn/a b"); },
       [](const PendingCrash& c) { return c.cdn_urls.count("https://cdn/a b"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(c.published(Published())) << "already there before the change";
    c.change();
    EXPECT_TRUE(c.published(Published())) << PublishedCrashState();
  }
}

TEST_F(PublishedStateTest, DeliveryRebuildsTheStoreFromThePublishedState) {
  ReportStore& store = ReportStore::Instance();
  store.SetReportText("client_sign", "abc");
  store.SetReportText("note", "two\nlines\\ and = signs");
  store.SetPerProduct(true);
  store.SetBindForce(3, true);
  store.SetBindTimes(3, 10, 20, 30, 40);
  store.SetBindDownloadFail(4, -1);
  store.SetBindServerDigest(4, "d41d8cd9");
  for (int i = 0; i < 3; ++i) store.AddCdnAddress("10.0.0.1");
  store.AddCdnAddress("10.0.0.2");
  store.AddCdnUrl("https://cdn.example/a.exe");
  store.SetReportEnabled(true);
  const std::map<std::string, std::string> values = store.Values();
  const std::map<int32_t, BindRecord> binds = store.BindRecords();
  const std::map<std::string, int> addresses = store.CdnAddresses();
  const std::set<std::string> urls = store.CdnUrls();

  ScopedTempDir dir;
  const std::string record = dir.Child("oru_crash.rec");
  WriteFileForTesting(record, RecordText("", PublishedCrashState()));
  store.SetChangeListener(nullptr);
  store.ResetForTesting();
  int sends = 0;
  CrashDeliveryHooks hooks;
  hooks.send_report = [&] { ++sends; };
  ASSERT_TRUE(DeliverPendingCrashReport(record, hooks));
  EXPECT_EQ(sends, 1);
  std::map<std::string, std::string> expected = values;
  expected["closetype"] = "5";
  EXPECT_EQ(store.Values(), expected);
  EXPECT_TRUE(store.per_product());
  ASSERT_EQ(store.BindRecords().size(), binds.size());
  for (const auto& [id, bind] : binds) {
    const BindRecord got = store.BindRecords().at(id);
    EXPECT_EQ(got.force, bind.force) << id;
    EXPECT_EQ(got.down_start, bind.down_start) << id;
    EXPECT_EQ(got.install_end, bind.install_end) << id;
    EXPECT_EQ(got.down_fail, bind.down_fail) << id;
    EXPECT_EQ(got.server_digest, bind.server_digest) << id;
  }
  EXPECT_EQ(store.CdnAddresses(), addresses);
  EXPECT_EQ(store.CdnUrls(), urls);
}

TEST_F(PublishedStateTest, ConcurrentWritersLeaveTheLatestStatePublished) {
  ReportStore& store = ReportStore::Instance();
  constexpr int kWrites = 300;
  std::vector<std::thread> writers;
  for (int t = 0; t < 2; ++t) {
    writers.emplace_back([&store, t] {
      for (int i = 0; i < kWrites; ++i) {
        store.SetReportText("writer" + std::to_string(t), std::to_string(i));
        store.AddCdnAddress("10.0.0." + std::to_string(t));
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  PendingCrash published = Published();
  EXPECT_EQ(published.values, store.Values());
  EXPECT_EQ(published.cdn_addresses, store.CdnAddresses());
  EXPECT_EQ(published.values["writer0"], std::to_string(kWrites - 1));
}

TEST(ParseCrashRecordTest, DamagedDependentAndCdnLinesAreSkipped) {
  std::optional<PendingCrash> crash = ParseCrashRecord(RecordText(
      "", "bind=7 1 2 3 4 5 6 7 digest\nbind=8 1 2\nbind=x 1 2 3 4 5 6 7 d\nbind=9 1 2 3 4 5 6 99999999999 d\n"
          "cdnip=2 10.0.0.1\ncdnip=0 10.0.0.2\ncdnip=99999999 10.0.0.3\ncdnip=-1 10.0.0.4\ncdnurl=https://a/\n"));
  ASSERT_TRUE(crash.has_value());
  ASSERT_EQ(crash->binds.size(), 1u);
  EXPECT_EQ(crash->binds.at(7).install_fail, 7);
  EXPECT_EQ(crash->binds.at(7).server_digest, "digest");
  EXPECT_EQ(crash->cdn_addresses, (std::map<std::string, int>{{"10.0.0.1", 2}}));
  EXPECT_EQ(crash->cdn_urls, (std::set<std::string>{"https://a/"}));
}

// --- delivery --------------------------------------------------------------

class CrashDeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override { ReportStore::Instance().ResetForTesting(); }
  void TearDown() override { ReportStore::Instance().ResetForTesting(); }

  CrashDeliveryHooks Recording() {
    CrashDeliveryHooks hooks;
    hooks.send_report = [this] {
      ++sends_;
      closetype_ = ReportStore::Instance().Get("closetype").value_or("");
      reports_ = BuildTrackReports(false);
    };
    hooks.queue_crash_event = [this](const PendingCrash& crash) { events_.push_back(crash.record); };
    return hooks;
  }

  ScopedTempDir dir_;
  std::string record_ = dir_.Child("oru_crash.rec");
  int sends_ = 0;
  std::string closetype_;
  std::vector<std::string> reports_;
  std::vector<CrashRecord> events_;
};

TEST_F(CrashDeliveryTest, DeliversOnceAndRemovesTheRecord) {
  WriteFileForTesting(record_, RecordText("module=/opt/inst\nsection=.text\noffset=4779\n",
                                          "enabled=1\nvalue.client_sign=abc\nvalue.product_id=7\n"));
  EXPECT_TRUE(DeliverPendingCrashReport(record_, Recording()));
  EXPECT_FALSE(DeliverPendingCrashReport(record_, Recording()));

  EXPECT_EQ(sends_, 1);
  EXPECT_EQ(closetype_, "5");
  ASSERT_EQ(reports_.size(), 1u);
  const std::string& report = reports_[0];
  EXPECT_NE(report.find("\"crash\":\"1\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"crashcode\":\"3221225477\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"crashattr\":\"0x5555000012AB\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"crashoffset\":\"4779\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"crashfilename\":\"/opt/inst\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"crashsection\":\".text\""), std::string::npos) << report;
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0].code, 3221225477u);
  EXPECT_FALSE(std::filesystem::exists(record_));
  EXPECT_FALSE(std::filesystem::exists(record_ + ".sending"));
}

TEST_F(CrashDeliveryTest, ReportNotEnabledBeforeTheCrashSendsNothing) {
  WriteFileForTesting(record_, RecordText("", "enabled=0\nvalue.client_sign=abc\n"));
  EXPECT_TRUE(DeliverPendingCrashReport(record_, Recording()));
  EXPECT_TRUE(reports_.empty());
  EXPECT_EQ(events_.size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(record_));
}

TEST_F(CrashDeliveryTest, ARecordClaimedElsewhereIsLeftToThatProcess) {
  WriteFileForTesting(record_, RecordText("", "enabled=1\nvalue.client_sign=abc\n"));
  WriteFileForTesting(record_ + ".sending", "being sent by another run");
  EXPECT_FALSE(DeliverPendingCrashReport(record_, Recording()));
  EXPECT_EQ(sends_, 0);
  EXPECT_EQ(ReadFileForTesting(record_ + ".sending"), "being sent by another run");
}

TEST_F(CrashDeliveryTest, RecordNotOwnedOrALinkIsDroppedWithoutSending) {
  const std::string planted = dir_.Child("elsewhere.rec");
  const std::string valid = RecordText("", "enabled=1\nvalue.client_sign=abc\norigin=http://evil.example/\n");
  WriteFileForTesting(planted, valid);
  std::filesystem::create_symlink(planted, record_);
  EXPECT_FALSE(DeliverPendingCrashReport(record_, Recording()));
  EXPECT_FALSE(std::filesystem::exists(record_ + ".sending"));
  if (geteuid() == 0) {
    WriteFileForTesting(record_, valid);
    ASSERT_EQ(chown(record_.c_str(), kNobody, kNobody), 0);
    EXPECT_FALSE(DeliverPendingCrashReport(record_, Recording()));
  }
  EXPECT_EQ(sends_, 0);
  EXPECT_TRUE(events_.empty());
  EXPECT_EQ(ReadFileForTesting(planted), valid) << "the link's target is left alone";
}

TEST_F(CrashDeliveryTest, UnreadableRecordIsDroppedWithoutSending) {
  WriteFileForTesting(record_, "oru-crash-record 1\naddress=garbage\n");
  EXPECT_FALSE(DeliverPendingCrashReport(record_, Recording()));
  EXPECT_EQ(sends_, 0);
  EXPECT_FALSE(std::filesystem::exists(record_));
  EXPECT_FALSE(std::filesystem::exists(record_ + ".sending"));
}

// --- real crashes ----------------------------------------------------------

// A copy of the victim in its own folder, so that the dump lands there.
class CrashVictimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_dir_ = dir_.Child("bin");
    std::filesystem::create_directory(exe_dir_);
    exe_ = exe_dir_ + "/installer";
    std::filesystem::copy_file(ORU_CRASH_VICTIM_BIN, exe_);
    std::filesystem::permissions(exe_, std::filesystem::perms::all);
    record_dir_ = dir_.Child("tmp");
    std::filesystem::create_directory(record_dir_);
    chmod(record_dir_.c_str(), 0777);
    chmod(dir_.path().c_str(), 0755);
    record_ = record_dir_ + "/oru_crash.rec";
  }

  int Run(std::vector<std::string> args, std::optional<unsigned> uid = std::nullopt) {
    ChildOptions options;
    options.argv = {exe_};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.run_as_uid = uid;
    // Under ASan or TSan the handler under test must stay the one that runs.
    const std::string keep = "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0";
    options.env = {{"ASAN_OPTIONS", keep}, {"TSAN_OPTIONS", keep}};
    ChildProcess child(options);
    EXPECT_TRUE(child.started());
    return child.Wait().value_or(999);
  }

  ScopedTempDir dir_;
  std::string exe_dir_;
  std::string exe_;
  std::string record_dir_;
  std::string record_;
};

TEST_F(CrashVictimTest, CrashLeavesRecordAndDump) {
  struct Case {
    const char* how;
    int signo;
    uint32_t code;
    bool in_own_code;
  };
  const Case cases[] = {
      {"null_write", SIGSEGV, 3221225477u, true},
      {"divide", SIGFPE, 0xC0000094u, true},
      {"abort", SIGABRT, 0x40000015u, false},
      {"wild_jump", SIGSEGV, 3221225477u, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    std::filesystem::remove(exe_ + ".dmp");
    std::filesystem::remove(record_);
    EXPECT_EQ(Run({c.how, record_, "nohelper"}), -c.signo);
    std::optional<PendingCrash> crash = ParseCrashRecord(ReadFileForTesting(record_));
    ASSERT_TRUE(crash.has_value());
    EXPECT_EQ(crash->signal, c.signo);
    EXPECT_EQ(crash->values["closetype"], "5");
    EXPECT_EQ(crash->values["client_sign"], "victim-sign");
    // Changes made after the handler was installed reached the record.
    EXPECT_EQ(crash->values["late"], "after-install");
    EXPECT_EQ(crash->cdn_urls.count("https://cdn.example/pkg.exe"), 1u);
    EXPECT_EQ(crash->binds[42].down_fail, -3);
    EXPECT_EQ(crash->record.code, c.code);
    if (c.in_own_code) {
      EXPECT_EQ(crash->record.module_file, exe_);
      EXPECT_EQ(crash->record.section, ".text");
      std::optional<Elf64_Shdr> text = TextSectionOf(exe_);
      std::optional<uint64_t> base = LoadBaseInDump(ReadFileForTesting(exe_ + ".dmp"), exe_);
      ASSERT_TRUE(text && base);
      EXPECT_EQ(crash->record.address - crash->record.offset, *base + text->sh_addr);
      EXPECT_LT(crash->record.offset, text->sh_size);
    }
    if (std::string(c.how) == "wild_jump") {
      EXPECT_EQ(crash->record.address, 0x10u);
      EXPECT_EQ(crash->record.module_file, "");
      EXPECT_EQ(crash->record.section, "");
      EXPECT_EQ(crash->record.offset, 0u);
    }
    std::string text = ReadFileForTesting(record_);
    std::smatch address;
    ASSERT_TRUE(std::regex_search(text, address, std::regex("address=(.*)\n")));
    EXPECT_TRUE(std::regex_match(address[1].str(), kAddressForm)) << address[1];

    std::string dump = ReadFileForTesting(exe_ + ".dmp");
    EXPECT_NE(dump.find("\nrip 0x"), std::string::npos);
    EXPECT_NE(dump.find("[maps]\n"), std::string::npos);
    EXPECT_NE(dump.find(exe_), std::string::npos) << "the memory map names the program";
    EXPECT_NE(dump.find("[backtrace]\n#0 0x"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(record_ + ".tmp"));
  }
}

TEST_F(CrashVictimTest, HelperDeliversTheReportOnce) {
  EXPECT_EQ(Run({"null_write", record_, "helper", "enabled"}), -SIGSEGV);
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(record_ + ".event"); }));
  ASSERT_TRUE(WaitUntil([&] { return !std::filesystem::exists(record_ + ".sending"); }));
  std::string report = ReadFileForTesting(record_ + ".report");
  EXPECT_NE(report.find("\"crash\":\"1\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"crashcode\":\"3221225477\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"crashfilename\":\"" + exe_ + "\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"crashsection\":\".text\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"orutrackid\":\"victim-sign\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"closetype\":\"5\""), std::string::npos) << report;
  EXPECT_TRUE(std::regex_search(report, std::regex("\"crashattr\":\"0x[0-9A-F]{8,16}\""))) << report;
  EXPECT_EQ(ReadFileForTesting(record_ + ".event"), "downloader_crash 3221225477\n");
  EXPECT_FALSE(std::filesystem::exists(record_));
  // Nothing is left for the next start.
  EXPECT_FALSE(StartPendingCrashDelivery(exe_, record_));
}

TEST_F(CrashVictimTest, NextStartDeliversWhatTheCrashLeft) {
  EXPECT_EQ(Run({"null_write", record_, "nohelper", "enabled"}), -SIGSEGV);
  ASSERT_TRUE(std::filesystem::exists(record_));
  ASSERT_TRUE(StartPendingCrashDelivery(exe_, record_));
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(record_ + ".event"); }));
  ASSERT_TRUE(WaitUntil([&] { return !std::filesystem::exists(record_ + ".sending"); }));
  EXPECT_NE(ReadFileForTesting(record_ + ".report").find("\"crash\":\"1\""), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(record_));
}

TEST_F(CrashVictimTest, HelperThatCannotStartLeavesTheRecordForTheNextStart) {
  EXPECT_EQ(Run({"null_write", record_, "badhelper", "enabled"}), -SIGSEGV);
  EXPECT_TRUE(std::filesystem::exists(exe_ + ".dmp"));
  ASSERT_TRUE(std::filesystem::exists(record_));
  ASSERT_TRUE(StartPendingCrashDelivery(exe_, record_));
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(record_ + ".event"); }));
  ASSERT_TRUE(WaitUntil([&] { return !std::filesystem::exists(record_ + ".sending"); }));
  EXPECT_NE(ReadFileForTesting(record_ + ".report").find("\"late\":\"after-install\""), std::string::npos);
}

TEST_F(CrashVictimTest, ReportNotYetEnabledStillWritesTheDump) {
  EXPECT_EQ(Run({"null_write", record_, "helper"}), -SIGSEGV);
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(record_ + ".event"); }));
  ASSERT_TRUE(WaitUntil([&] { return !std::filesystem::exists(record_ + ".sending"); }));
  EXPECT_EQ(ReadFileForTesting(record_ + ".report"), "");
  EXPECT_TRUE(std::filesystem::exists(exe_ + ".dmp"));
}

TEST_F(CrashVictimTest, ReadOnlyProgramFolderCrashesWithoutDump) {
  chmod(exe_dir_.c_str(), 0555);
  EXPECT_EQ(Run({"null_write", record_, "nohelper"}, kNobody), -SIGSEGV);
  chmod(exe_dir_.c_str(), 0755);
  EXPECT_FALSE(std::filesystem::exists(exe_ + ".dmp"));
  std::optional<PendingCrash> crash = ParseCrashRecord(ReadFileForTesting(record_));
  ASSERT_TRUE(crash.has_value());
  EXPECT_EQ(crash->record.section, ".text");
}

}  // namespace
}  // namespace oru
