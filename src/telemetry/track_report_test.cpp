#include "telemetry/track_report.h"

#include <cjson/cJSON.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/json.h"
#include "platform/locations.h"
#include "platform/system_info.h"
#include "probes/platform_facts.h"
#include "support/http_test_server.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"
#include "support/test_clock.h"
#include "telemetry/report_store.h"

namespace oru {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using testing::HttpRequest;
using testing::HttpResponse;
using testing::HttpTestServer;
using testing::LogCapture;
using testing::ReadFileForTesting;
using testing::ScopedTempDir;
using testing::TestClock;

constexpr char kTrackPath[] = "/rest/v2/downloader/track";
// Nothing listens on port 1 of the loopback: a post fails at once.
constexpr char kDeadOrigin[] = "http://127.0.0.1:1/";

// A report's members in order: name and value, a number written as "#<n>".
using Members = std::vector<std::pair<std::string, std::string>>;

Members MembersOf(const std::string& json) {
  Members members;
  cJSON* root = cJSON_Parse(json.c_str());
  if (root == nullptr) return members;
  for (const cJSON* item = root->child; item != nullptr; item = item->next) {
    std::string value = cJSON_IsString(item) ? std::string(item->valuestring)
                        : cJSON_IsNumber(item) ? "#" + std::to_string(item->valueint)
                                               : "<other>";
    members.emplace_back(item->string, value);
  }
  cJSON_Delete(root);
  return members;
}

std::vector<std::string> NamesOf(const Members& members) {
  std::vector<std::string> names;
  for (const auto& member : members) names.push_back(member.first);
  return names;
}

// The value of the first member `name`; "<missing>" when there is none.
std::string Field(const Members& members, const std::string& name) {
  for (const auto& member : members) {
    if (member.first == name) return member.second;
  }
  return "<missing>";
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class TrackReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_locations_ = ProcessLocations();
    Locations locations = saved_locations_;
    locations.temp_dir = temp_.path() + "/";
    locations.registry_dir = registry_.path() + "/";
    SetProcessLocationsForTesting(locations);

    saved_facts_ = GetMachineFacts();
    MachineFacts facts = saved_facts_;
    facts.time_zone_bias_minutes = -480;  // UTC+8
    facts.system_default_lcid = 0x0804;
    facts.screen_width = 1920;
    facts.screen_height = 1080;
    SetMachineFactsForTesting(facts);

    store().ResetForTesting();
    store().SetReportEnabled(true);
    store().SetStartTime(start_time_);
    store().SetPlatformOrigin(kDeadOrigin);
    store().SetReportText("client_sign", "{0123ABCD-0000-4000-8000-00000000000AG}");
    store().SetReportText("product_id", "100");
  }

  void TearDown() override {
    store().ResetForTesting();
    SetMachineFactsForTesting(saved_facts_);
    SetProcessLocationsForTesting(saved_locations_);
  }

  static ReportStore& store() { return ReportStore::Instance(); }

  // The one report of a normal run.
  Members OnlyReport(bool deferred = false) {
    std::vector<std::string> reports = BuildTrackReports(deferred, clock_);
    EXPECT_EQ(reports.size(), 1u);
    if (reports.empty()) return {};
    return MembersOf(reports.front());
  }

  std::string LocalCopyPath(const std::string& product_id) const {
    return temp_.Child("ORU_" + product_id + "_T" + GetTimestampText(clock_) + ".json");
  }

  ScopedTempDir temp_;
  ScopedTempDir registry_;
  TestClock clock_;
  const int64_t start_time_ = TestClock::kStartUnixSeconds.count() - 600;
  Locations saved_locations_;
  MachineFacts saved_facts_;
};

// ------------------------------------------------------------- the fields

TEST_F(TrackReportTest, FieldsComeInOrderAsTextsExceptTheFirstInstallFlag) {
  store().SetReportText("channel", "web");
  store().SetReportNumber("closetype", 1);
  const Members report = OnlyReport();
  EXPECT_THAT(NamesOf(report),
              ElementsAre("product_id", "oruver", "oruversion", "orunamepid",
                          // the store, in key order ("product_id" is there already)
                          "channel", "client_sign", "closetype",
                          "winver", "winbits", "auto_install", "iever", "orustart", "oruend", "downstate",
                          "installstate", "cdniplist", "cdnurllist", "bindtasks", "binddownfail", "bindinstallfail",
                          "binddowntime", "bindinstalltime", "crash", "crashcode", "crashattr", "crashoffset",
                          "crashfilename", "crashsection", "timezone", "syslcid", "srceensize", "oruclose",
                          "remark1", "remark2", "remark3", "orutrackid", "is_first_install"));
  const std::string now = std::to_string(TestClock::kStartUnixSeconds.count());
  EXPECT_EQ(Field(report, "product_id"), "100");
  EXPECT_EQ(Field(report, "oruver"), "204");
  EXPECT_EQ(Field(report, "oruversion"), GetSelfVersion());
  EXPECT_EQ(Field(report, "winver"), GetWinVersion());
  EXPECT_EQ(Field(report, "winbits"), IsWow64() ? "64" : "32");
  EXPECT_EQ(Field(report, "auto_install"), "0");
  EXPECT_EQ(Field(report, "iever"), GetIeVersion());
  EXPECT_EQ(Field(report, "orustart"), std::to_string(start_time_));
  EXPECT_EQ(Field(report, "oruend"), now);
  EXPECT_EQ(Field(report, "oruclose"), now);
  EXPECT_EQ(Field(report, "crash"), "0");
  EXPECT_EQ(Field(report, "crashattr"), "0x00000000");
  EXPECT_EQ(Field(report, "timezone"), "8");
  EXPECT_EQ(Field(report, "syslcid"), "2052");
  EXPECT_EQ(Field(report, "srceensize"), "1920*1080");
  EXPECT_EQ(Field(report, "remark3"), "");
  EXPECT_EQ(Field(report, "orutrackid"), "{0123ABCD-0000-4000-8000-00000000000AG}");
  EXPECT_EQ(Field(report, "is_first_install"), "#1");

  store().SetFirstInstall(false);
  EXPECT_EQ(Field(OnlyReport(), "is_first_install"), "#0");
}

TEST_F(TrackReportTest, TheFirstValueOfANameWins) {
  store().SetReportText("oruver", "999");      // after a computed field: dropped
  store().SetReportText("orunamepid", "77");   // likewise
  store().SetReportText("winver", "from the store");  // before its computed field: kept
  const Members report = OnlyReport();
  EXPECT_EQ(Field(report, "oruver"), "204");
  EXPECT_EQ(Field(report, "orunamepid"), "");
  EXPECT_EQ(Field(report, "winver"), "from the store");
  std::vector<std::string> names = NamesOf(report);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end()) << "a name appears twice";
}

TEST_F(TrackReportTest, AFileNameWithoutDigitsGivesAnEmptyNamePid) {
  const std::string name = GetSelfFileName();
  ASSERT_EQ(name.find_first_of("0123456789"), std::string::npos) << name;
  EXPECT_EQ(Field(OnlyReport(), "orunamepid"), "");
}

TEST_F(TrackReportTest, DownloadAndInstallStateCodes) {
  struct Case {
    int32_t down_status, down_code, install_status, install_code;
    int32_t close_type;  // -1: not written
    const char* resume;  // nullptr: not written
    bool crashed;
    const char* down_state;
    const char* install_state;
  };
  const Case cases[] = {
      {3, 0, 3, 0, -1, nullptr, false, "1000", "2000"},
      {2, 12, 2, 5, -1, nullptr, false, "1012", "2002"},
      {2, 7, 2, 1, -1, nullptr, false, "1007", "2001"},
      {2, 27, 2, 9, -1, nullptr, false, "1027", "2003"},
      {1, 0, 2, -1, -1, nullptr, false, "1015", "2003"},
      {1, 0, 1, 0, -1, nullptr, true, "1016", "2004"},
      {0, 0, 0, 0, 13, nullptr, false, "1013", "2005"},
      {0, 0, 4, 0, -1, nullptr, false, "1017", "2005"},
      {0, 0, 0, 0, 2, "1", false, "1017", "2005"},
      {5, 0, 3, 0, -1, nullptr, false, "1099", "2000"},
      // a second resume or close type 3 hide the download's outcome
      {2, 12, 3, 0, -1, "2", false, "1000", "2000"},
      {2, 12, 3, 0, 3, nullptr, false, "1000", "2000"},
      {1, 0, 3, 0, 3, nullptr, true, "1000", "2000"},
      {0, 0, 3, 0, 13, "2", false, "1000", "2000"},
      // outside the deferred-consent mode close type 13 leaves the status alone
      {3, 0, 3, 0, 13, nullptr, false, "1000", "2000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.down_status << "/" << c.down_code << " " << c.install_status << "/"
                                    << c.install_code << " close " << c.close_type);
    store().ResetForTesting();
    store().SetReportEnabled(true);
    store().SetReportText("client_sign", "sign");
    store().SetReportNumber("downstatus", c.down_status);
    store().SetReportNumber("downcode", c.down_code);
    store().SetReportNumber("installstatus", c.install_status);
    store().SetReportNumber("installcode", c.install_code);
    if (c.close_type >= 0) store().SetReportNumber("closetype", c.close_type);
    if (c.resume != nullptr) store().SetReportText("resumedown", c.resume);
    CrashRecord crash;
    crash.crashed = c.crashed;
    store().SetCrashRecord(crash);
    const Members report = OnlyReport();
    EXPECT_EQ(Field(report, "downstate"), c.down_state);
    EXPECT_EQ(Field(report, "installstate"), c.install_state);
  }
}

TEST_F(TrackReportTest, DeferredConsentHidesMachineFactsAndStopsTheDownloadOnCloseType13) {
  store().SetReportNumber("downstatus", 3);
  store().SetReportNumber("closetype", 13);
  const Members report = OnlyReport(/*deferred=*/true);
  EXPECT_EQ(Field(report, "winver"), "unknown");
  EXPECT_EQ(Field(report, "winbits"), "0");
  EXPECT_EQ(Field(report, "auto_install"), "2");
  EXPECT_EQ(Field(report, "timezone"), "0");
  EXPECT_EQ(Field(report, "syslcid"), "0");
  EXPECT_EQ(Field(report, "downstate"), "1013");
  EXPECT_EQ(Field(report, "downstatus"), "0");
  EXPECT_EQ(store().Get("downstatus"), "0");
  // Unaffected by the mode.
  EXPECT_EQ(Field(report, "srceensize"), "1920*1080");
  EXPECT_EQ(Field(report, "iever"), GetIeVersion());
}

TEST_F(TrackReportTest, TimeZoneIsTheNearestWholeHourAsUnsigned32Bits) {
  struct Case {
    int32_t bias_minutes;
    const char* timezone;
  };
  const Case cases[] = {
      {-480, "8"},            // UTC+8
      {-330, "6"},            // UTC+5:30, half away from zero
      {-345, "6"},            // UTC+5:45
      {-570, "10"},           // UTC+9:30
      {-29, "0"},
      {0, "0"},
      {-780, "13"},           // UTC+13
      {60, "4294967295"},     // UTC-1
      {30, "4294967295"},     // UTC-0:30, half away from zero
      {210, "4294967292"},    // UTC-3:30
      {300, "4294967291"},    // UTC-5
  };
  for (const Case& c : cases) {
    MachineFacts facts = GetMachineFacts();
    facts.time_zone_bias_minutes = c.bias_minutes;
    SetMachineFactsForTesting(facts);
    EXPECT_EQ(Field(OnlyReport(), "timezone"), c.timezone) << c.bias_minutes;
  }
}

TEST_F(TrackReportTest, WithoutDependentsTheBindFieldsAreEmptyOrADash) {
  const Members report = OnlyReport();
  EXPECT_EQ(Field(report, "bindtasks"), "");
  EXPECT_EQ(Field(report, "binddownfail"), "-");
  EXPECT_EQ(Field(report, "bindinstallfail"), "-");
  EXPECT_EQ(Field(report, "binddowntime"), "");
  EXPECT_EQ(Field(report, "bindinstalltime"), "");
  EXPECT_EQ(Field(report, "cdniplist"), "-");
  EXPECT_EQ(Field(report, "cdnurllist"), "-");
  EXPECT_EQ(Field(report, "remark1"), "");
  EXPECT_EQ(Field(report, "remark2"), "");
}

TEST_F(TrackReportTest, BindRecordsAndCdnSetsAreJoined) {
  store().SetBindForce(12, false);
  store().SetBindForce(11, true);
  store().SetBindDownloadFail(12, 7);
  store().SetBindInstallFail(12, -3);
  store().SetBindTimes(11, 100, 200, 300, 400);
  store().AddCdnAddress("127.0.0.2");
  store().AddCdnAddress("127.0.0.1");
  store().AddCdnAddress("127.0.0.2");
  store().AddCdnUrl("https://b.test/p.exe");
  store().AddCdnUrl("https://a.test/p.exe");
  const Members report = OnlyReport();
  EXPECT_EQ(Field(report, "bindtasks"), "11,1;12,0");
  EXPECT_EQ(Field(report, "binddownfail"), "11,0;12,7");
  EXPECT_EQ(Field(report, "bindinstallfail"), "11,0;12,-3");
  EXPECT_EQ(Field(report, "binddowntime"), "11:100,200;12:0,0");
  EXPECT_EQ(Field(report, "bindinstalltime"), "11:300,400;12:0,0");
  EXPECT_EQ(Field(report, "cdniplist"), "127.0.0.1,127.0.0.2");
  EXPECT_EQ(Field(report, "cdnurllist"), "https://a.test/p.exe,https://b.test/p.exe");
}

TEST_F(TrackReportTest, CrashFields) {
  struct Case {
    uint64_t address;
    const char* text;
  };
  const Case cases[] = {
      {0x401000u, "0x00401000"},
      {0xDEADBEEFu, "0xDEADBEEF"},
      {0x7FF612345678ull, "0x7FF612345678"},  // every digit of a 64-bit address
  };
  for (const Case& c : cases) {
    CrashRecord crash;
    crash.crashed = true;
    crash.code = 0xC0000005u;
    crash.address = c.address;
    crash.offset = 0x1234;
    crash.module_file = "/opt/Quorvane/oru";
    crash.section = ".text";
    store().SetCrashRecord(crash);
    store().SetReportNumber("downstatus", 1);
    const Members report = OnlyReport();
    EXPECT_EQ(Field(report, "crash"), "1");
    EXPECT_EQ(Field(report, "crashcode"), "3221225477");
    EXPECT_EQ(Field(report, "crashattr"), c.text);
    EXPECT_EQ(Field(report, "crashoffset"), "4660");
    EXPECT_EQ(Field(report, "crashfilename"), "/opt/Quorvane/oru");
    EXPECT_EQ(Field(report, "crashsection"), ".text");
    EXPECT_EQ(Field(report, "downstate"), "1016");
  }
}

TEST_F(TrackReportTest, RemarkTextsStopGrowingOncePastTwoThousandCharacters) {
  // {"k":"..."} of exactly 2000 characters: not yet past the limit.
  store().AddRemark("k", std::string(2000 - 8, 'x'), true);
  store().AddRemark("a", "1", false);
  store().AddRemark("b", "2", false);
  EXPECT_EQ(Field(OnlyReport(), "remark1"), "{\"k\":\"" + std::string(1992, 'x') + "\"},{\"a\":1}");

  // Installer entries of 200 characters: the tenth passes the limit.
  std::u16string message = u"{\"pid\":7,\"event\":\"e\",\"time\":\"1\",\"data\":\"" + std::u16string(190, u'y') + u"\"}";
  for (int i = 0; i < 12; ++i) store().AddInstallerMessage(message);
  const std::string entry = "{7:\"e,1," + std::string(190, 'y') + "\"}";
  ASSERT_EQ(entry.size(), 200u);
  std::string expected = entry;
  for (int i = 1; i < 10; ++i) expected += "," + entry;
  EXPECT_EQ(Field(OnlyReport(), "remark2"), expected);
}

TEST_F(TrackReportTest, PerProductModeGivesOneReportPerRecordInIdOrder) {
  store().SetPerProduct(true);
  store().SetReportText("startupproduct", "100");
  store().SetBindServerDigest(12, "BB");
  store().SetBindDownloadFail(12, 12);
  store().SetBindInstallFail(12, 5);
  store().SetBindServerDigest(11, "AA");
  store().SetBindForce(11, true);

  std::vector<std::string> reports = BuildTrackReports(false, clock_);
  ASSERT_EQ(reports.size(), 2u);
  struct Expected {
    const char* id;
    const char* digest;
    const char* down_state;
    const char* install_state;
  };
  const Expected expected[] = {{"11", "AA", "1000", "2000"}, {"12", "BB", "1012", "2002"}};
  for (size_t i = 0; i < 2; ++i) {
    const Members report = MembersOf(reports[i]);
    SCOPED_TRACE(expected[i].id);
    EXPECT_EQ(Field(report, "product_id"), expected[i].id);
    EXPECT_EQ(Field(report, "orunamepid"), expected[i].id);
    EXPECT_EQ(Field(report, "startupproduct"), expected[i].id);
    EXPECT_EQ(Field(report, "serverxmlmd5"), expected[i].digest);
    EXPECT_EQ(Field(report, "downstate"), expected[i].down_state);
    EXPECT_EQ(Field(report, "installstate"), expected[i].install_state);
    // Built as if there were no records.
    EXPECT_EQ(Field(report, "bindtasks"), "");
    EXPECT_EQ(Field(report, "binddownfail"), "-");
    EXPECT_EQ(Field(report, "bindinstallfail"), "-");
    EXPECT_EQ(Field(report, "binddowntime"), "");
    EXPECT_EQ(Field(report, "bindinstalltime"), "");
  }
  EXPECT_EQ(store().Get("product_id"), "12");

  store().ResetForTesting();
  store().SetReportEnabled(true);
  store().SetPerProduct(true);
  store().SetReportText("client_sign", "sign");
  EXPECT_THAT(BuildTrackReports(false, clock_), IsEmpty());
}

// -------------------------------------------------------------- collecting

TaskReportInput Task(int32_t id, TaskKind kind, int64_t size) {
  TaskReportInput task;
  task.product_id = id;
  task.kind = kind;
  task.package_size = size;
  return task;
}

TEST_F(TrackReportTest, CollectCopiesTheMainAndDotNetTasksAndTheTotals) {
  const int64_t now = TestClock::kStartUnixSeconds.count();
  TaskReportInput product = Task(100, TaskKind::kProduct, 3000);
  product.down_start = now - 100;
  product.down_end = now - 40;
  product.install_start = now - 30;
  product.install_end = now - 10;
  product.down_status = 3;
  product.install_status = 3;
  product.version = "5.1.0";
  TaskReportInput dotnet = Task(9876, TaskKind::kDotNet, 1000);
  dotnet.down_start = now - 110;
  dotnet.down_end = now - 100;
  dotnet.install_start = now - 35;
  dotnet.install_end = now - 31;
  dotnet.down_status = 3;
  dotnet.install_status = 2;
  dotnet.install_code = 1;
  TaskReportInput dependent = Task(11, TaskKind::kDependent, 2000);
  dependent.down_start = now - 90;  // still downloading: ends now
  dependent.down_status = 1;

  ASSERT_TRUE(CollectTaskReport({dotnet, product, dependent}, false, "5.1.1", clock_));
  const std::pair<const char*, std::string> expected[] = {
      {"packagesize", "3000"},
      {"downstart", std::to_string(now - 100)},
      {"downend", std::to_string(now - 40)},
      {"installstart", std::to_string(now - 30)},
      {"installend", std::to_string(now - 10)},
      {"downstatus", "3"},
      {"downcode", "0"},
      {"installstatus", "3"},
      {"installcode", "0"},
      {"prodcutver", "5.1.0"},
      {"xmlprodcutver", "5.1.1"},
      {"dotnetdownstate", "3"},
      {"dotnetdowncode", "0"},
      {"dotnetinstallstate", "2"},
      {"dotnetinstallcode", "1"},
      {"downtime", "110"},  // now-110 .. now
      {"installtime", "25"},  // now-35 .. now-10
      {"downspeed", "54"},    // 6000 bytes / 110 s
  };
  for (const auto& [key, value] : expected) EXPECT_EQ(store().Get(key), value) << key;

  std::map<int32_t, BindRecord> binds = store().BindRecords();
  ASSERT_EQ(binds.count(11), 1u);
  EXPECT_EQ(binds[11].down_start, now - 90);
  EXPECT_EQ(binds[11].down_end, 0);
  EXPECT_EQ(binds.count(100), 0u);
}

TEST_F(TrackReportTest, CollectInAForkRunReportsTheFirstDependentAndNoBindTimes) {
  TaskReportInput first = Task(11, TaskKind::kDependent, 10);
  first.down_status = 2;
  first.down_code = 12;
  first.version = "1.0";
  TaskReportInput second = Task(12, TaskKind::kDependent, 20);
  second.down_status = 3;
  ASSERT_TRUE(CollectTaskReport({first, second}, true, "", clock_));
  EXPECT_EQ(store().Get("downstatus"), "2");
  EXPECT_EQ(store().Get("downcode"), "12");
  EXPECT_EQ(store().Get("prodcutver"), "1.0");
  EXPECT_EQ(store().Get("packagesize"), "10");
  EXPECT_THAT(store().BindRecords(), IsEmpty());
}

TEST_F(TrackReportTest, CollectGivesZeroDurationsWithoutAnOrderlySpan) {
  const int64_t now = TestClock::kStartUnixSeconds.count();
  struct Case {
    int64_t start, end;
  };
  const Case cases[] = {{0, 0}, {0, now - 5}, {now - 5, now - 10}, {now, now}};
  for (const Case& c : cases) {
    store().ResetForTesting();
    TaskReportInput task = Task(100, TaskKind::kProduct, 5000);
    task.down_start = c.start;
    task.down_end = c.end;
    task.install_start = c.start;
    task.install_end = c.end;
    ASSERT_TRUE(CollectTaskReport({task}, false, "", clock_));
    EXPECT_EQ(store().Get("downtime"), "0") << c.start << ".." << c.end;
    EXPECT_EQ(store().Get("installtime"), "0");
    EXPECT_EQ(store().Get("downspeed"), "0");
  }
}

TEST_F(TrackReportTest, CollectWithoutTasksWritesNothing) {
  store().ResetForTesting();
  EXPECT_FALSE(CollectTaskReport({}, false, "5.1.1", clock_));
  EXPECT_THAT(store().Values(), IsEmpty());
}

// ----------------------------------------------------------------- sending

// Collects every report posted to it.
class ReportSink {
 public:
  ReportSink() {
    server_.SetHandler("POST", kTrackPath, [](const HttpRequest&) {
      HttpResponse response;
      response.body = "{\"code\":0}";
      response.content_type = "application/json";
      return response;
    });
  }
  HttpTestServer& server() { return server_; }
  std::string origin() const { return server_.BaseUrl() + "/"; }
  std::vector<testing::RequestRecord> Reports() const { return server_.RequestsFor(kTrackPath); }

 private:
  HttpTestServer server_;
};

TEST_F(TrackReportTest, TheReportReceivedEqualsTheLocalCopy) {
  ReportSink sink;
  ASSERT_TRUE(sink.server().ok()) << sink.server().error();
  store().SetPlatformOrigin(sink.origin());
  store().SetReportText("client_sign", "{ab&c=d G}");
  store().SetReportText("selectlang", "Fran\xC3\xA7" "ais");
  store().AddRemark("retry", "2", false);

  SendTrackReport(false, clock_);

  std::vector<testing::RequestRecord> received = sink.Reports();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].Param("client_sign"), "{ab&c=d G}");
  EXPECT_EQ(received[0].target, std::string(kTrackPath) + "?client_sign=%7Bab%26c%3Dd%20G%7D");
  EXPECT_EQ(received[0].Header("Content-Type"), "application/json");
  std::optional<JsonDocument> parsed = JsonDocument::Parse(received[0].body);
  ASSERT_TRUE(parsed) << received[0].body;
  EXPECT_EQ(parsed->root().Print(), received[0].body) << "compact JSON";

  ASSERT_THAT(FilesIn(temp_.path()), ElementsAre("ORU_100_T" + GetTimestampText(clock_) + ".json"));
  const std::string local = ReadFileForTesting(LocalCopyPath("100"));
  const Members local_members = MembersOf(local);
  ASSERT_FALSE(local_members.empty()) << local;
  EXPECT_THAT(MembersOf(received[0].body), ElementsAreArray(local_members));
  EXPECT_EQ(Field(local_members, "selectlang"), "Fran\xC3\xA7" "ais");
  EXPECT_EQ(Field(local_members, "remark1"), "{\"retry\":2}");
  EXPECT_EQ(std::filesystem::status(LocalCopyPath("100")).permissions() & std::filesystem::perms::others_read,
            std::filesystem::perms::none);
}

TEST_F(TrackReportTest, ALaterReportInTheSameSecondKeepsTheFirstLocalCopy) {
  LogCapture log;
  store().SetReportNumber("closetype", 1);
  SendTrackReport(false, clock_);  // the post fails: the copy is written anyway
  store().SetReportNumber("closetype", 2);
  SendTrackReport(false, clock_);
  EXPECT_EQ(Field(MembersOf(ReadFileForTesting(LocalCopyPath("100"))), "closetype"), "1");
  EXPECT_EQ(log.Count("[WARN] track report post failed"), 2) << log.All();
  EXPECT_EQ(log.Count("copy not written"), 0) << log.All();

  const std::string first_name = "ORU_100_T" + GetTimestampText(clock_) + ".json";
  clock_.Advance(std::chrono::seconds(1));
  SendTrackReport(false, clock_);
  EXPECT_EQ(Field(MembersOf(ReadFileForTesting(LocalCopyPath("100"))), "closetype"), "2");
  EXPECT_EQ(FilesIn(temp_.path()).size(), 2u);
  EXPECT_EQ(Field(MembersOf(ReadFileForTesting(temp_.Child(first_name))), "closetype"), "1");
}

TEST_F(TrackReportTest, NothingIsSentWhenDisabledOrWithoutAClientSign) {
  ReportSink sink;
  ASSERT_TRUE(sink.server().ok()) << sink.server().error();
  struct Case {
    const char* name;
    bool enabled;
    std::optional<std::string> sign;
  };
  const Case cases[] = {
      {"disabled", false, "sign"},
      {"empty sign", true, ""},
      {"no sign", true, std::nullopt},
  };
  for (const Case& c : cases) {
    store().ResetForTesting();
    store().SetPlatformOrigin(sink.origin());
    store().SetReportEnabled(c.enabled);
    store().SetReportText("product_id", "100");
    if (c.sign) store().SetReportText("client_sign", *c.sign);
    EXPECT_THAT(BuildTrackReports(false, clock_), IsEmpty()) << c.name;
    SendTrackReport(false, clock_);
    EXPECT_EQ(sink.server().RequestCount(), 0) << c.name;
    EXPECT_THAT(FilesIn(temp_.path()), IsEmpty()) << c.name;
  }
}

TEST_F(TrackReportTest, PerProductSendingPostsAndCopiesEachRecord) {
  ReportSink sink;
  ASSERT_TRUE(sink.server().ok()) << sink.server().error();
  store().SetPlatformOrigin(sink.origin());
  store().SetPerProduct(true);
  store().SetBindForce(12, true);
  store().SetBindForce(11, false);
  SendTrackReport(false, clock_);

  std::vector<testing::RequestRecord> received = sink.Reports();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(Field(MembersOf(received[0].body), "product_id"), "11");
  EXPECT_EQ(Field(MembersOf(received[1].body), "product_id"), "12");
  const std::string stamp = GetTimestampText(clock_);
  EXPECT_THAT(FilesIn(temp_.path()), ElementsAre("ORU_11_T" + stamp + ".json", "ORU_12_T" + stamp + ".json"));
  EXPECT_EQ(ReadFileForTesting(LocalCopyPath("12")), received[1].body);
}

TEST_F(TrackReportTest, AProductIdCannotPlaceTheCopyOutsideTheTempFolder) {
  store().SetReportText("product_id", "../x/y");
  SendTrackReport(false, clock_);
  EXPECT_THAT(FilesIn(temp_.path()), ElementsAre("ORU_.._x_y_T" + GetTimestampText(clock_) + ".json"));
}

TEST_F(TrackReportTest, SettersOnOtherThreadsDoNotWaitForThePost) {
  // The platform host's handler writes to the store while the post is in
  // flight; were the store lock held across the post, the setter would
  // wait for it and the post would run into its time limit.
  ReportSink sink;
  ASSERT_TRUE(sink.server().ok()) << sink.server().error();
  std::atomic<bool> written{false};
  sink.server().SetHandler("POST", kTrackPath, [&written](const HttpRequest&) {
    ReportStore::Instance().SetReportText("selectlang", "English");
    written = true;
    return HttpResponse{};
  });
  store().SetPlatformOrigin(sink.origin());
  LogCapture log;
  SendTrackReport(false, clock_);
  EXPECT_TRUE(written);
  EXPECT_EQ(log.Count("post failed"), 0) << log.All();
}

TEST_F(TrackReportTest, ReportsBuiltWhileOtherThreadsWriteAreWholeAndParse) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([t, &stop] {
      ReportStore& s = ReportStore::Instance();
      for (int i = 0; !stop; ++i) {
        s.SetReportNumber("retrytips", i);
        s.AddRemark("r" + std::to_string(t), std::to_string(i % 50), false);
        s.SetBindDownloadFail(t, i);
        s.AddCdnAddress("127.0.0." + std::to_string(t + 1));
        s.SetCrashRecord(CrashRecord{});
      }
    });
  }
  std::vector<TaskReportInput> tasks = {Task(100, TaskKind::kProduct, 10)};
  for (int round = 0; round < 20; ++round) {
    ASSERT_TRUE(CollectTaskReport(tasks, false, "1", clock_));
    for (const std::string& report : BuildTrackReports(false, clock_)) {
      EXPECT_TRUE(JsonDocument::Parse(report)) << report;
    }
  }
  stop = true;
  for (std::thread& writer : writers) writer.join();
}

}  // namespace
}  // namespace oru
