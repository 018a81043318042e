#include "telemetry/report_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/json.h"
#include "server_api/service_endpoints.h"

namespace oru {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

class ReportStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { store().ResetForTesting(); }
  void TearDown() override { store().ResetForTesting(); }
  static ReportStore& store() { return ReportStore::Instance(); }
};

// ------------------------------------------------------------------ values

TEST_F(ReportStoreTest, NumbersAreStoredAsUnsignedDecimalOfTheir32Bits) {
  struct Case {
    int32_t number;
    const char* stored;
  };
  const Case cases[] = {
      {0, "0"},
      {12, "12"},
      {-1, "4294967295"},
      {-5, "4294967291"},
      {std::numeric_limits<int32_t>::max(), "2147483647"},
      {std::numeric_limits<int32_t>::min(), "2147483648"},
  };
  for (const Case& c : cases) {
    store().SetReportNumber("closetype", c.number);
    EXPECT_EQ(store().Get("closetype"), c.stored) << c.number;
  }
}

TEST_F(ReportStoreTest, TimesKeepTheirLow32BitsUnsigned) {
  struct Case {
    int64_t value;
    const char* stored;
  };
  const Case cases[] = {
      {1704067200, "1704067200"},
      {4294967295LL, "4294967295"},      // largest that fits
      {4294967296LL + 5, "5"},           // a 4 GiB + 5 byte package
      {0x123456789LL, "591751049"},      // 0x23456789
      {-1, "4294967295"},
      {std::numeric_limits<int64_t>::min(), "0"},
  };
  for (const Case& c : cases) {
    store().SetReportTime("packagesize", c.value);
    EXPECT_EQ(store().Get("packagesize"), c.stored) << c.value;
  }
}

TEST_F(ReportStoreTest, LaterWritesReplaceAndEntriesAreInByteOrder) {
  EXPECT_EQ(store().Get("channel"), std::nullopt);
  store().SetReportText("channel", "first");
  store().SetReportText("channel", "second");
  store().SetReportText("b", "x");
  store().SetReportText("B", "y");
  store().SetReportText("_k", "z");
  store().SetReportText("text", "\xE4\xB8\xAD\xE6\x96\x87");  // kept as given
  EXPECT_THAT(store().Values(), ElementsAre(Pair("B", "y"), Pair("_k", "z"), Pair("b", "x"),
                                            Pair("channel", "second"), Pair("text", "\xE4\xB8\xAD\xE6\x96\x87")));
}

TEST_F(ReportStoreTest, UpdateAndSnapshotWritesThenCopiesEverything) {
  store().SetReportText("product_id", "100");
  store().SetReportText("channel", "web");
  store().SetPlatformOrigin("http://platform.test/");
  ReportSnapshot snapshot = store().UpdateAndSnapshot({{"product_id", "11"}, {"serverxmlmd5", "AB"}});
  EXPECT_THAT(snapshot.values,
              ElementsAre(Pair("channel", "web"), Pair("product_id", "11"), Pair("serverxmlmd5", "AB")));
  EXPECT_EQ(snapshot.platform_origin, "http://platform.test/");
  EXPECT_EQ(store().Get("product_id"), "11");
}

// ----------------------------------------------------------------- remarks

TEST_F(ReportStoreTest, RemarksAreTinyJsonObjectsHeldOnce) {
  store().AddRemark("filemd5_11", "0123ABCD", true);
  store().AddRemark("retry", "3", false);
  store().AddRemark("install_recover", "error7_wait", false);  // written unchanged
  store().AddRemark("retry", "3", false);                      // identical: dropped
  store().AddRemark("filemd5_11", "0123ABCD", true);           // identical: dropped
  store().AddRemark("retry", "3", true);                       // a text is another entry
  store().AddRemark("retry", "4", false);
  EXPECT_THAT(store().Remarks1(), ElementsAre("{\"filemd5_11\":\"0123ABCD\"}", "{\"retry\":3}",
                                              "{\"install_recover\":error7_wait}", "{\"retry\":\"3\"}",
                                              "{\"retry\":4}"));
}

TEST_F(ReportStoreTest, RemarkKeysAndTextValuesAreEscaped) {
  const std::string key = "k\"ey\\";
  const std::string value = "a\"b\\c\n\x01";
  store().AddRemark(key, value, true);
  store().AddRemark(key, "7", false);
  std::vector<std::string> remarks = store().Remarks1();
  ASSERT_EQ(remarks.size(), 2u);

  std::optional<JsonDocument> text_entry = JsonDocument::Parse(remarks[0]);
  ASSERT_TRUE(text_entry) << remarks[0];
  EXPECT_EQ(text_entry->root().Get(key).String(), value);

  std::optional<JsonDocument> number_entry = JsonDocument::Parse(remarks[1]);
  ASSERT_TRUE(number_entry) << remarks[1];
  EXPECT_EQ(number_entry->root().Get(key).Integer(), 7);
}

// ------------------------------------------------------ installer messages

// A message as a package installer sends it.
std::u16string Message(std::u16string_view pid, std::u16string_view event, std::u16string_view time,
                       std::u16string_view data) {
  std::u16string text = u"{\"pid\":";
  text.append(pid).append(u",\"event\":\"").append(event).append(u"\",\"time\":\"").append(time);
  text.append(u"\",\"data\":\"").append(data).append(u"\"}");
  return text;
}

TEST_F(ReportStoreTest, InstallerMessagesBecomeEntriesOrAreIgnored) {
  struct Case {
    const char* name;
    std::u16string text;
    std::optional<std::string> entry;
  };
  // 256 code units exactly, and one more.
  const size_t room = 256 - Message(u"7", u"e", u"1", u"").size();
  const std::u16string longest = Message(u"7", u"e", u"1", std::u16string(room, u'x'));
  const std::u16string too_long = Message(u"7", u"e", u"1", std::u16string(room + 1, u'x'));
  ASSERT_EQ(longest.size(), 256u);
  ASSERT_EQ(too_long.size(), 257u);
  const Case cases[] = {
      {"example", Message(u"7", u"install_start", u"123", u"abc"), "{7:\"install_start,123,abc\"}"},
      {"quoted pid", Message(u"\"7\"", u"done", u"9", u""), "{\"7\":\"done,9,\"}"},
      {"longest accepted", longest, "{7:\"e,1," + std::string(room, 'x') + "\"}"},
      {"too long", too_long, std::nullopt},
      {"no event marker", u"{\"pid\":7,\"evt\":\"a\",\"time\":\"1\",\"data\":\"b\"}", std::nullopt},
      {"no time marker", u"{\"pid\":7,\"event\":\"a\",\"tme\":\"1\",\"data\":\"b\"}", std::nullopt},
      {"no data marker", u"{\"pid\":7,\"event\":\"a\",\"time\":\"1\",\"dat\":\"b\"}", std::nullopt},
      {"data before time", u"{\"pid\":7,\"event\":\"a\",\"data\":\"b\",\"time\":\"1\"}", std::nullopt},
      {"time before event", u"{\"pid\":7,\"time\":\"1\",\"event\":\"a\",\"data\":\"b\"}", std::nullopt},
      {"event and time markers overlap", u"{\"pid\":7,\"event\",\"time\":\"1\",\"data\":\"b\"}", std::nullopt},
      {"time and data markers overlap", u"{\"pid\":7,\"event\":\"a\",\"time\":\",\"data\":\"b\"}", std::nullopt},
      {"event marker inside the head", u"{\"a\",\"event\":\"a\",\"time\":\"1\",\"data\":\"b\"}", std::nullopt},
      {"empty", u"", std::nullopt},
      {"non-ASCII", Message(u"7", u"\u5b89\u88c5", u"1", u"\u00e9\U0001F600"),
       "{7:\"\xE5\xAE\x89\xE8\xA3\x85,1,\xC3\xA9\xF0\x9F\x98\x80\"}"},
      {"NUL inside the data", Message(u"7", u"e", u"1", std::u16string(u"a\0b", 3)),
       std::string("{7:\"e,1,a\0b\"}", 13)},
  };
  for (const Case& c : cases) {
    store().ResetForTesting();
    store().AddInstallerMessage(c.text);
    if (c.entry) {
      EXPECT_THAT(store().Remarks2(), ElementsAre(*c.entry)) << c.name;
    } else {
      EXPECT_THAT(store().Remarks2(), IsEmpty()) << c.name;
    }
  }
}

TEST_F(ReportStoreTest, InstallerMessagesStopAtOneHundredEntries) {
  for (int i = 0; i < 105; ++i) {
    std::u16string time;
    for (char c : std::to_string(i)) time.push_back(static_cast<char16_t>(c));
    store().AddInstallerMessage(Message(u"7", u"progress", time, u"x"));
  }
  std::vector<std::string> entries = store().Remarks2();
  ASSERT_EQ(entries.size(), 100u);
  EXPECT_EQ(entries.front(), "{7:\"progress,0,x\"}");
  EXPECT_EQ(entries.back(), "{7:\"progress,99,x\"}");
  // Identical messages are kept each time (they are events, not a set),
  // up to the limit too.
  store().ResetForTesting();
  store().AddInstallerMessage(Message(u"7", u"e", u"1", u"x"));
  store().AddInstallerMessage(Message(u"7", u"e", u"1", u"x"));
  EXPECT_EQ(store().Remarks2().size(), 2u);
}

// ---------------------------------------------------- records, sets, flags

TEST_F(ReportStoreTest, BindRecordsAreCreatedOnFirstWriteAndKeepOtherFields) {
  store().SetBindServerDigest(12, "AA,BB");
  store().SetBindForce(11, true);
  store().SetBindDownloadFail(12, 7);
  store().SetBindInstallFail(12, -3);
  store().SetBindTimes(12, 100, 200, 300, 400);
  store().SetBindForce(12, false);

  std::map<int32_t, BindRecord> records = store().BindRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records.begin()->first, 11);
  EXPECT_TRUE(records[11].force);
  EXPECT_EQ(records[11].down_fail, 0);
  EXPECT_EQ(records[11].server_digest, "");
  const BindRecord& second = records[12];
  EXPECT_FALSE(second.force);
  EXPECT_EQ(second.server_digest, "AA,BB");
  EXPECT_EQ(second.down_fail, 7);
  EXPECT_EQ(second.install_fail, -3);
  EXPECT_EQ(second.down_start, 100);
  EXPECT_EQ(second.down_end, 200);
  EXPECT_EQ(second.install_start, 300);
  EXPECT_EQ(second.install_end, 400);
}

TEST_F(ReportStoreTest, CdnAddressesAreCountedAndUrlsHeldOnce) {
  store().AddCdnAddress("127.0.0.2");
  store().AddCdnAddress("127.0.0.1");
  store().AddCdnAddress("127.0.0.2");
  store().AddCdnUrl("https://b.test/p.exe");
  store().AddCdnUrl("https://a.test/p.exe");
  store().AddCdnUrl("https://b.test/p.exe");
  EXPECT_THAT(store().CdnAddresses(), ElementsAre(Pair("127.0.0.1", 1), Pair("127.0.0.2", 2)));
  EXPECT_THAT(store().CdnUrls(), ElementsAre("https://a.test/p.exe", "https://b.test/p.exe"));
}

TEST_F(ReportStoreTest, FreshStateAndFlags) {
  const int64_t now = UnixSeconds(SystemClock().Now());
  EXPECT_FALSE(store().report_enabled());
  EXPECT_FALSE(store().per_product());
  EXPECT_TRUE(store().first_install());
  EXPECT_NEAR(static_cast<double>(store().start_time()), static_cast<double>(now), 5.0);
  EXPECT_FALSE(store().Crash().crashed);
  EXPECT_THAT(store().Values(), IsEmpty());

  store().SetReportEnabled(true);
  store().SetPerProduct(true);
  store().SetFirstInstall(false);
  store().SetStartTime(1704067200);
  CrashRecord crash;
  crash.crashed = true;
  crash.code = 0xC0000005u;
  crash.address = 0x7FF612345678ull;
  crash.module_file = "/opt/oru";
  crash.section = ".text";
  store().SetCrashRecord(crash);

  EXPECT_TRUE(store().report_enabled());
  EXPECT_TRUE(store().per_product());
  EXPECT_FALSE(store().first_install());
  EXPECT_EQ(store().start_time(), 1704067200);
  EXPECT_EQ(store().Crash().address, 0x7FF612345678ull);
  EXPECT_EQ(store().Crash().section, ".text");
}

TEST_F(ReportStoreTest, PlatformOriginDefaultsToTheEndpointsAndEndsInASlash) {
  const ServiceEndpoints saved = GetServiceEndpoints();
  ServiceEndpoints endpoints = saved;
  endpoints.platform_origin = "http://default.test/";
  SetServiceEndpoints(endpoints);
  EXPECT_EQ(store().platform_origin(), "http://default.test/");
  EXPECT_EQ(store().UpdateAndSnapshot({}).platform_origin, "http://default.test/");

  store().SetPlatformOrigin("https://vendor.test:8443");
  EXPECT_EQ(store().platform_origin(), "https://vendor.test:8443/");
  store().SetPlatformOrigin("https://vendor.test/base/");
  EXPECT_EQ(store().platform_origin(), "https://vendor.test/base/");
  SetServiceEndpoints(saved);
}

// ------------------------------------------------------------- concurrency

TEST_F(ReportStoreTest, ConcurrentWritersLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      ReportStore& s = ReportStore::Instance();
      const std::string tag = std::to_string(t);
      for (int i = 0; i < kRounds; ++i) {
        s.SetReportNumber("n" + tag, i);
        s.SetReportText("shared", tag);
        s.AddRemark("r" + tag, std::to_string(i), false);
        s.AddRemark("same", "1", false);
        s.AddInstallerMessage(Message(u"7", u"e", u"1", u"x"));
        s.SetBindDownloadFail(t, i);
        s.AddCdnAddress("127.0.0.1");
        s.AddCdnUrl("https://h.test/" + tag);
        s.SetReportEnabled(i % 2 == 0);
        (void)s.UpdateAndSnapshot({{"u" + tag, std::to_string(i)}});
        (void)s.Remarks1();
        (void)s.BindRecords();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(store().Get("n" + std::to_string(t)), std::to_string(kRounds - 1));
    EXPECT_EQ(store().BindRecords()[t].down_fail, kRounds - 1);
  }
  EXPECT_EQ(store().Remarks1().size(), static_cast<size_t>(kThreads * kRounds + 1));
  EXPECT_EQ(store().Remarks2().size(), 100u);
  EXPECT_EQ(store().CdnAddresses()["127.0.0.1"], kThreads * kRounds);
  EXPECT_EQ(store().CdnUrls().size(), static_cast<size_t>(kThreads));
}

}  // namespace
}  // namespace oru
