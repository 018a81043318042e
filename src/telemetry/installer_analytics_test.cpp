#include "telemetry/installer_analytics.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/locations.h"
#include "platform/system_info.h"
#include "probes/platform_facts.h"
#include "product_server/product_server.h"
#include "product_server/server_config.h"
#include "server_api/service_endpoints.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"
#include "support/test_clock.h"
#include "telemetry/analytics_client.h"

namespace oru {
namespace {

using product_server::AnalyticsEvent;
using product_server::Fault;
using testing::LogCapture;
using testing::ReadFileForTesting;
using testing::ScopedTempDir;
using testing::TestClock;

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

JsonPtr Parse(const std::string& text) { return JsonPtr(cJSON_Parse(text.c_str()), &cJSON_Delete); }

std::string Print(const cJSON* node) {
  char* text = cJSON_PrintUnformatted(node);
  std::string out = text != nullptr ? text : "<none>";
  cJSON_free(text);
  return out;
}

std::set<std::string> Keys(const cJSON* object) {
  std::set<std::string> keys;
  for (const cJSON* item = object != nullptr ? object->child : nullptr; item != nullptr; item = item->next) {
    keys.insert(item->string);
  }
  return keys;
}

// The record's properties without the super properties (those of a
// "downloader_startup" record, which carries nothing else).
std::string OwnProperties(const AnalyticsEvent& event, const std::set<std::string>& super_keys) {
  JsonPtr record = Parse(event.record);
  cJSON* properties = cJSON_GetObjectItemCaseSensitive(record.get(), "properties");
  if (properties == nullptr) return "<no properties in " + event.record + ">";
  for (const std::string& key : super_keys) cJSON_DeleteItemFromObjectCaseSensitive(properties, key.c_str());
  return Print(properties);
}

// A text property of the record; "<missing>" when absent.
std::string TextProperty(const AnalyticsEvent& event, const char* key) {
  JsonPtr record = Parse(event.record);
  const cJSON* value =
      cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(record.get(), "properties"), key);
  return cJSON_IsString(value) ? value->valuestring : "<missing>";
}

class InstallerAnalyticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_locations_ = ProcessLocations();
    Locations locations = saved_locations_;
    locations.temp_dir = dir_.Child("temp/");
    std::filesystem::create_directories(locations.temp_dir);
    locations.registry_dir = dir_.Child("registry/");
    SetProcessLocationsForTesting(locations);
    saved_facts_ = GetMachineFacts();
    MachineFacts facts;
    facts.os_major = 10;
    facts.os_minor = 0;
    facts.os_build = 19045;
    facts.ui_languages = {"de-DE"};
    facts.time_zone_bias_minutes = -120;
    SetMachineFactsForTesting(facts);

    product_server::ServerConfig config = product_server::DemoConfig(dir_.Child("packages"));
    config.port = 0;
    std::string error;
    ASSERT_TRUE(server_.Start(config, &error)) << error;
    ConfigureAnalytics(TestSetup());

    context_.brand = "Quorvane";
    context_.scene_code = "sc1";
    context_.clipboard_param = "clip";
    context_.download_url = "https://dl.quorvane.example/studio.exe";
    context_.package_size = 5000000000ull;
    context_.product_id = 1001;
    context_.product_version = "2.1.0";
    context_.channel = "web";
    context_.lang_code = "en";
    context_.product_name = "Quorvane Studio";
  }

  void TearDown() override {
    server_.Stop();
    ResetAnalyticsForTesting();
    SetMachineFactsForTesting(saved_facts_);
    SetProcessLocationsForTesting(saved_locations_);
  }

  AnalyticsSetup TestSetup() {
    AnalyticsSetup setup;
    setup.collectors = {server_.base_url() + "/sa"};
    setup.staging_path = dir_.Child("oru_analytics");
    setup.clock = &clock_;
    return setup;
  }

  void Init() { InitAnalytics(kAnalyticsProject, kAnalyticsTrackingName, context_); }

  std::vector<std::string> EventNames() const {
    std::vector<std::string> names;
    for (const AnalyticsEvent& e : server_.Events()) names.push_back(e.event);
    return names;
  }

  AnalyticsEvent Only(const std::string& name) const {
    const auto events = server_.Events(name);
    EXPECT_EQ(events.size(), 1u) << name;
    return events.empty() ? AnalyticsEvent() : events.back();
  }

  // Spins (no sleep) until another thread has logged `line`; false after 10 s.
  bool WaitForLogLine(const std::string& line) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (log_.Count(line) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::yield();
    }
    return true;
  }

  std::set<std::string> SuperKeys() const {
    JsonPtr record = Parse(Only("downloader_startup").record);
    return Keys(cJSON_GetObjectItemCaseSensitive(record.get(), "properties"));
  }

  ScopedTempDir dir_;
  TestClock clock_;
  LogCapture log_;
  product_server::ProductServer server_;
  AnalyticsContext context_;
  Locations saved_locations_;
  MachineFacts saved_facts_;
};

// StopAnalytics returns once the worker has delivered everything, so it is
// the point after which the collector has every event.
TEST_F(InstallerAnalyticsTest, EventsBeforeInitAreDeliveredInOrderWithTheSuperProperties) {
  ReportPop("install_init");
  ReportClick("install_init", "settings");
  ReportDns("dl.quorvane.example", "127.0.0.1");
  EXPECT_TRUE(server_.Requests("collect").empty());

  Init();
  StopAnalytics();

  EXPECT_EQ(EventNames(), (std::vector<std::string>{"downloader_pop", "downloader_click", "downloader_dns",
                                                    "downloader_startup"}));
  for (const AnalyticsEvent& e : server_.Events()) {
    EXPECT_EQ(TextProperty(e, "pname"), "Quorvane Studio") << e.record;
    EXPECT_EQ(TextProperty(e, "tid"), "UA-Oru-Web") << e.record;
  }
  EXPECT_EQ(log_.Count("[INFO] analytics, event=[downloader_pop]."), 1) << log_.All();
  EXPECT_EQ(log_.Count("[INFO] analytics sync"), 0) << log_.All();
  EXPECT_EQ(log_.Count("[INFO] analytics, exit thread."), 1);
  EXPECT_EQ(log_.Count("[INFO] analytics init tid=[UA-Oru-Web], did=[" + GetClientSign("Quorvane") +
                       "], privacyPostpone=[0], result=[1]."),
            1)
      << log_.All();
}

TEST_F(InstallerAnalyticsTest, SecondInitReplacesPlangAndFiresNoSecondStartup) {
  Init();
  context_.lang_code = "de";
  Init();
  ReportEvent("language_changed");
  StopAnalytics();

  EXPECT_EQ(TextProperty(Only("language_changed"), "plang"), "de");
  EXPECT_EQ(server_.Events("downloader_startup").size(), 1u);
  EXPECT_EQ(log_.Count("[INFO] report EVENT_STARTUP after all super properties set."), 1);
  EXPECT_EQ(log_.Count("[INFO] analytics init tid="), 1);
}

TEST_F(InstallerAnalyticsTest, ClickLeavesOutAnEmptyButtonAndAZeroProgress) {
  struct Case {
    std::string pop, button;
    int progress;
    std::string own_properties;
    std::string log_line;
  };
  const std::vector<Case> cases = {
      {"install_init", "", 0, R"({"pop_name":"install_init"})",
       "[INFO] analytics enqueue click, pop=[install_init], btn=[]."},
      {"error_installation", "help", 0, R"({"button":"help","pop_name":"error_installation"})",
       "[INFO] analytics enqueue click, pop=[error_installation], btn=[help]."},
      {"stop_downloading", "stop_downloading_yes", 40,
       R"({"button":"stop_downloading_yes","pop_name":"stop_downloading","progress_rate":40})",
       "[INFO] analytics enqueue click, pop=[stop_downloading], btn=[stop_downloading_yes]."},
  };
  Init();
  for (const Case& c : cases) ReportClick(c.pop, c.button, c.progress);
  StopAnalytics();

  const auto clicks = server_.Events("downloader_click");
  ASSERT_EQ(clicks.size(), cases.size());
  const auto super_keys = SuperKeys();
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(OwnProperties(clicks[i], super_keys), cases[i].own_properties);
    EXPECT_EQ(log_.Count(cases[i].log_line), 1) << log_.All();
  }
}

// Texts go out as the UTF-8 they are; a text the client rejects is missing.
TEST_F(InstallerAnalyticsTest, ProductNamesArriveUnchangedOrGoMissingWhenNotUtf8) {
  struct Case {
    std::string name;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"Квартира Студия", "Квартира Студия"},
      {"夸尔文工作室", "夸尔文工作室"},
      {"استوديو كوارفين", "استوديو كوارفين"},
      {"Studio \xC3\x28", "<missing>"},
      {"Studio \xED\xA0\x80", "<missing>"},  // an encoded surrogate
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    ResetAnalyticsForTesting();
    ConfigureAnalytics(TestSetup());
    context_.product_name = c.name;
    Init();
    StopAnalytics();
    const auto startups = server_.Events("downloader_startup");
    ASSERT_FALSE(startups.empty());
    EXPECT_EQ(TextProperty(startups.back(), "pname"), c.expected);
    EXPECT_EQ(TextProperty(startups.back(), "pver"), "2.1.0");
  }
}

TEST_F(InstallerAnalyticsTest, EachEventCarriesItsProperties) {
  Init();
  ConfigEventRecord config;
  config.name = "Quorvane Studio";
  config.exe_name = "Studio.exe";
  config.pkg_size = 5000000000;
  config.pkg_url = "https://dl/x86.exe";
  config.pkg_md5 = "aa";
  config.x64_pkg_url = "https://dl/x64.exe";
  config.x64_pkg_md5 = "bb";
  config.arm64_pkg_url = "https://dl/arm.exe";
  config.arm64_pkg_md5 = "cc";
  config.error_code = 0;
  ReportConfig(config);
  DownloadEventRecord download;
  download.type = "product";
  download.state = "finish";
  download.url = "https://pkg.quorvane.example:8443/packages/studio.exe?x=1";
  download.resumedown = 1;
  download.times = 2;
  download.speed = 1048576;
  download.duration = 30;
  download.error_code = 0;
  download.thread = 8;
  download.buffer = 65536;
  download.is_timeout = true;
  download.package_tier = "0-100";
  download.strategy_version = "v3";
  download.network_tier = "fast";
  download.chunk_cnt = 16;
  download.chunk_size = "4";
  download.concurrency_cnt = 4;
  download.preheat_file_size = 1024;
  ReportDownload(download);
  InstallEventRecord install;
  install.type = "product";
  install.state = "finish";
  install.times = 1;
  install.speed = 2000;
  install.duration = 12;
  install.error_code = 0;
  install.is_first_install = false;
  ReportInstall(install);
  ReportCrash({0x7F00DEADBEEFull, 4096, "oru", ".text", 11});
  ReportStartProduct(42, "");
  ReportRedeemFailed(-3);
  ReportEvent("downloader_web", "page", "thank_you_page");
  ReportCoverClick("2.0.1", "downloader_cover_yes");
  StopAnalytics();

  const auto super_keys = SuperKeys();
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"downloader_config",
       R"({"arm64_pkg_md5":"cc","arm64_pkg_url":"https://dl/arm.exe","error_code":0,"error_msg":"",)"
       R"("name":"Quorvane Studio","pkg_md5":"aa","pkg_size":5000000000,)"
       R"("pkg_url":"https://dl/x86.exe","x64_pkg_md5":"bb","x64_pkg_url":"https://dl/x64.exe"})"},
      {"downloader_download",
       R"({"buffer":65536,"chunk_cnt":16,"chunk_size":"4","concurrency_cnt":4,"domain":"pkg.quorvane.example:8443",)"
       R"("duration":30,"error_code":0,"error_msg":"","is_timeout":"1","network_tier":"fast","package_tier":"0-100",)"
       R"("preheat_file_size":1024,"resumedown":1,"speed":1048576,"state":"finish","strategy_version":"v3",)"
       R"("thread":8,"times":2,"type":"product"})"},
      {"downloader_install",
       R"({"duration":12,"error_code":0,"error_msg":"","is_first_install":0,"speed":2000,"state":"finish",)"
       R"("times":1,"type":"product"})"},
      {"downloader_crash",
       R"({"crashaddr":"0x7F00DEADBEEF","crashfilename":"oru","crashoffset":"4096","crashsection":".text",)"
       R"("error_code":11,"error_msg":""})"},
      {"start_product", R"({"error_code":42,"error_msg":""})"},
      {"redeem_failed", R"({"error":-3,"page":"free_membership_benefits"})"},
      {"downloader_web", R"({"page":"thank_you_page"})"},
      {"downloader_click", R"({"button":"downloader_cover_yes","cover_version":"2.0.1","pop_name":"downloader_cover"})"},
  };
  for (const auto& [name, own] : expected) EXPECT_EQ(OwnProperties(Only(name), super_keys), own) << name;
  // "exe_name" is also a super property; the event's own value wins.
  EXPECT_EQ(TextProperty(Only("downloader_config"), "exe_name"), "Studio.exe");
}

TEST_F(InstallerAnalyticsTest, CrashAddressesKeepEightDigitsAtLeast) {
  Init();
  ReportCrash({0xBEEF, 0, "", "", 0});
  ReportCrash({0xFFFFFFFFFFFFFFFFull, 18446744073709551615ull, "", "", 0xC0000005u});
  StopAnalytics();
  const auto crashes = server_.Events("downloader_crash");
  ASSERT_EQ(crashes.size(), 2u);
  EXPECT_EQ(TextProperty(crashes[0], "crashaddr"), "0x0000BEEF");
  EXPECT_EQ(TextProperty(crashes[1], "crashaddr"), "0xFFFFFFFFFFFFFFFF");
  EXPECT_EQ(TextProperty(crashes[1], "crashoffset"), "18446744073709551615");
  EXPECT_NE(crashes[1].record.find(R"("error_code":3221225477)"), std::string::npos) << crashes[1].record;
}

TEST_F(InstallerAnalyticsTest, StartProductMessageRoundTrips) {
  Init();
  ReportStartProduct(42, "");
  ReportStartProduct(31, "There is no application associated with the given file name extension.");
  StopAnalytics();
  const auto starts = server_.Events("start_product");
  ASSERT_EQ(starts.size(), 2u);
  const auto super_keys = SuperKeys();
  EXPECT_EQ(OwnProperties(starts[0], super_keys), R"({"error_code":42,"error_msg":""})");
  EXPECT_EQ(OwnProperties(starts[1], super_keys),
            R"({"error_code":31,"error_msg":"There is no application associated with the given file name extension."})");
}

TEST_F(InstallerAnalyticsTest, AfterStopEventsAreSentBeforeTheCallReturns) {
  Init();
  StopAnalytics();
  ReportClick("downloader_finish", "end_close");
  EXPECT_EQ(server_.Events("downloader_click").size(), 1u);
  EXPECT_EQ(log_.Count("[INFO] analytics sync, event=[downloader_click]."), 1) << log_.All();
  ReportPop("error_sent_log");
  EXPECT_EQ(server_.Events("downloader_pop").size(), 1u);
}

TEST_F(InstallerAnalyticsTest, RecordTextAtTheCollector) {
  Init();
  ReportPop("install_init");
  StopAnalytics();
  const std::string sign = GetClientSign("Quorvane");
  const std::string expected =
      R"({"distinct_id":")" + sign +
      R"(","event":"downloader_pop","lib":{"$lib":"cpp","$lib_method":"code","$lib_version":"0.8"},)"
      R"("properties":{"$lib":"cpp","$lib_version":"0.8","auto_install":"0","clipboard_param":"clip",)"
      R"("downloader_lang":"ENG","downloader_url":"https://dl.quorvane.example/studio.exe","downloader_ver":")" +
      AnalyticsVersionText(GetSelfVersion()) + R"(","exe_name":")" + GetSelfFileName() +
      R"(","os_version":"10.0","osbit":64,"oslang":"de","ostype":"windows","oszone":2,)"
      R"("package_size":"5000000000","pbrand":"Quorvane","pid":1001,"plang":"en","pname":"Quorvane Studio",)"
      R"("pop_name":"install_init","psource":"web","pver":"2.1.0","scene_code":"sc1","tid":"UA-Oru-Web",)"
      R"("track_id":")" +
      sign + R"("},"time":1704067200000,"type":"track"})";
  EXPECT_EQ(Only("downloader_pop").record, expected);
  EXPECT_EQ(Only("downloader_pop").distinct_id, sign);
}

TEST_F(InstallerAnalyticsTest, DeferredConsentLeavesOutTheMachineFacts) {
  context_.deferred_consent = true;
  Init();
  StopAnalytics();
  const auto keys = SuperKeys();
  for (const char* key : {"os_version", "osbit", "oslang", "oszone"}) EXPECT_EQ(keys.count(key), 0u) << key;
  EXPECT_EQ(keys.count("ostype"), 1u);
  EXPECT_EQ(TextProperty(Only("downloader_startup"), "auto_install"), "2");
  EXPECT_EQ(log_.Count("privacyPostpone=[1], result=[1]."), 1) << log_.All();
}

TEST_F(InstallerAnalyticsTest, NetworkDownKeepsTheRecordsForTheNextRun) {
  ASSERT_TRUE(server_.SetFault("collect", Fault::Status(503)));
  Init();
  ReportPop("install_init");
  ReportClick("install_init", "install");
  StopAnalytics();
  EXPECT_EQ(log_.Count("[ERROR] analytics flush failed! event=[downloader_startup]"), 1) << log_.All();
  EXPECT_EQ(log_.Count("[ERROR] analytics flush failed! event=[downloader_pop]"), 1);
  EXPECT_EQ(log_.Count("[ERROR] analytics flush failed! event=[downloader_click]"), 1);
  EXPECT_TRUE(server_.Events().empty());

  ASSERT_TRUE(ShutdownAnalytics(std::chrono::seconds(5)));
  std::istringstream staged(ReadFileForTesting(dir_.Child("oru_analytics")));
  std::vector<std::string> staged_events;
  for (std::string line; std::getline(staged, line);) {
    JsonPtr record = Parse(line);
    const cJSON* event = cJSON_GetObjectItemCaseSensitive(record.get(), "event");
    staged_events.push_back(cJSON_IsString(event) ? event->valuestring : "<bad line " + line + ">");
  }
  EXPECT_EQ(staged_events, (std::vector<std::string>{"downloader_startup", "downloader_pop", "downloader_click"}));

  // The next run, with the collector back: the old records go first.
  ResetAnalyticsForTesting();
  server_.ClearFaults();
  ConfigureAnalytics(TestSetup());
  Init();
  StopAnalytics();
  EXPECT_EQ(EventNames(), (std::vector<std::string>{"downloader_startup", "downloader_pop", "downloader_click",
                                                    "downloader_startup"}));
  EXPECT_EQ(ReadFileForTesting(dir_.Child("oru_analytics")), "");
}

// The worker is stuck in a send the collector holds: StopAnalytics gives up
// after 10 s of its clock, and the events the worker had not taken yet are
// delivered on the caller's thread, in order.
TEST_F(InstallerAnalyticsTest, StopGivesUpOnAStuckWorkerAfterTenSeconds) {
  ASSERT_TRUE(server_.SetFault("collect", Fault::Delay(60000)));
  Init();
  ASSERT_TRUE(server_.WaitForRequests("collect", 1));
  ReportPop("install_init");
  ReportClick("install_init", "close");

  std::atomic<bool> returned{false};
  std::thread stopper([&] {
    StopAnalytics();
    returned = true;
  });
  ASSERT_TRUE(clock_.WaitForSleepers(1));
  clock_.Advance(std::chrono::milliseconds(9999));
  EXPECT_EQ(clock_.SleeperCount(), 1u);
  EXPECT_FALSE(returned.load());
  clock_.Advance(std::chrono::milliseconds(1));
  // The synchronous delivery starts and then waits for the stuck send;
  // ending the held connection lets it go on (the collector is gone then).
  ASSERT_TRUE(WaitForLogLine("[INFO] analytics sync, event=[downloader_pop]."));
  server_.Stop();
  stopper.join();

  EXPECT_EQ(log_.Count("[INFO] analytics, event=[downloader_pop]."), 0) << log_.All();
  const auto sync = log_.Matching("[INFO] analytics sync, event=[");
  EXPECT_EQ(sync, (std::vector<std::string>{"[INFO] analytics sync, event=[downloader_pop].",
                                            "[INFO] analytics sync, event=[downloader_click]."}));
  EXPECT_EQ(qv_analytics::QueuedCount(), 3u);
}

TEST_F(InstallerAnalyticsTest, ReportsFromManyThreadsAllArriveInEachThreadsOrder) {
  Init();
  std::vector<std::thread> reporters;
  for (int t = 0; t < 4; ++t) {
    reporters.emplace_back([t] {
      for (int i = 0; i < 10; ++i) ReportClick("thread" + std::to_string(t), "b" + std::to_string(i));
    });
  }
  for (std::thread& r : reporters) r.join();
  StopAnalytics();

  std::vector<std::vector<std::string>> seen(4);
  for (const AnalyticsEvent& e : server_.Events("downloader_click")) {
    const std::string pop = TextProperty(e, "pop_name");
    seen.at(static_cast<size_t>(pop.back() - '0')).push_back(TextProperty(e, "button"));
  }
  for (const auto& buttons : seen) {
    EXPECT_EQ(buttons, (std::vector<std::string>{"b0", "b1", "b2", "b3", "b4", "b5", "b6", "b7", "b8", "b9"}));
  }
}

// Without a setup the collectors come from the service endpoints, each with
// the project as its query, and the staging file sits in the temp folder.
TEST_F(InstallerAnalyticsTest, DefaultsComeFromTheEndpointsAndTheTempFolder) {
  ResetAnalyticsForTesting();
  AnalyticsSetup setup;
  setup.clock = &clock_;
  ConfigureAnalytics(setup);
  ServiceEndpoints endpoints = DefaultServiceEndpoints();
  endpoints.analytics_collectors = {server_.base_url() + "/missing", server_.base_url() + "/sa"};
  SetServiceEndpoints(endpoints);
  Init();
  StopAnalytics();
  SetServiceEndpoints(DefaultServiceEndpoints());

  const auto misses = server_.Requests("unknown");
  ASSERT_EQ(misses.size(), 1u);
  EXPECT_EQ(misses[0].query, "project=UA_Oru_Web");
  const auto collected = server_.Requests("collect");
  ASSERT_EQ(collected.size(), 1u);
  EXPECT_EQ(collected[0].query, "project=UA_Oru_Web");
  EXPECT_EQ(server_.Events("downloader_startup").size(), 1u);

  ASSERT_TRUE(server_.SetFault("collect", Fault::Status(503)));
  ReportPop("install_init");
  ASSERT_TRUE(ShutdownAnalytics(std::chrono::seconds(5)));
  EXPECT_NE(ReadFileForTesting(ProcessLocations().temp_dir + "oru_analytics").find(R"("event":"downloader_pop")"),
            std::string::npos);
}

TEST(AnalyticsVersionTextTest, DropsAZeroFourthPartAndFallsBackWhenUnknown) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"4.7.1.2", "4.7.1.2"}, {"4.7.1.0", "4.7.1"}, {"0.0.0.0", "4.6.4"},
      {"", "4.6.4"},          {"4.7", "4.6.4"},      {"4.7.1.2x", "4.6.4"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(AnalyticsVersionText(in), out) << in;
}

}  // namespace
}  // namespace oru
