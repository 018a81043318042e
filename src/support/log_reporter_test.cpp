#include "support/log_reporter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>

#include "common/json.h"
#include "probes/platform_facts.h"
#include "support/support_requests.h"
#include "support/support_test_fixture.h"

namespace oru::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr const char* kUploadPath = "/v1/product/downloader/upload-log-file";
constexpr const char* kTicketUploadPath = "/v1/crm/ticket/file/upload";
constexpr const char* kWhitelistPath = "/v1/product/logs/whitelist";
constexpr const char* kReportPath = "/v1/product/logs/report";
constexpr const char* kTicketPath = "/v1/support/tickets";

// Makes `folder` the current folder for the scope.
class ScopedCurrentFolder {
 public:
  explicit ScopedCurrentFolder(const std::string& folder) : saved_(fs::current_path()) { fs::current_path(folder); }
  ~ScopedCurrentFolder() { fs::current_path(saved_); }
  ScopedCurrentFolder(const ScopedCurrentFolder&) = delete;
  ScopedCurrentFolder& operator=(const ScopedCurrentFolder&) = delete;

 private:
  fs::path saved_;
};

class LogReporterTest : public SupportTest {
 protected:
  // Writes a file last modified `age_seconds` ago; returns its path.
  // (Ages count from one instant, so equal ages give equal times.)
  std::string WriteFile(const std::string& folder, const std::string& name, const std::string& content,
                        int age_seconds = 0) const {
    const std::string path = folder + name;
    WriteFileForTesting(path, content);
    fs::last_write_time(path, now_ - std::chrono::seconds(age_seconds));
    return path;
  }

  std::vector<std::string> UploadedNames(const std::string& path) const {
    std::vector<std::string> names;
    for (const RequestRecord& r : On(kPrimary, path)) {
      names.push_back(r.form_parts.empty() ? "<no part>" : r.form_parts[0].filename);
    }
    return names;
  }

  static std::string Sign() { return GetClientSign("Quorvane"); }

  const fs::file_time_type now_ = fs::file_time_type::clock::now();
};

TEST_F(LogReporterTest, AutomaticReportSendsTheExactRequests) {
  WriteFile(LogFolder(), "qvORU.log", "hello");
  const std::string package_log = WriteFile(Folder("pkg"), "setup.log", "package");

  ASSERT_TRUE(AutoReportErrorLog(false, "pid=9001, download err=5", "9001", "7.1.2.3", package_log)) << log_.All();

  const std::string sign = Sign();
  const std::string own = GetSelfVersion();
  // The token is asked for the report product id and the installer's own version.
  const std::vector<RequestRecord> token = On(kPrimary, kTokenPath);
  ASSERT_EQ(token.size(), 1u);
  EXPECT_EQ(token[0].Header("X-Prod-Id"), "14424");
  EXPECT_EQ(token[0].Header("X-Prod-Ver"), own);
  EXPECT_EQ(token[0].Header("X-Client-Sn"), sign);

  // The flag is clear: only the installer's log goes up.
  const std::vector<RequestRecord> uploads = On(kPrimary, kUploadPath);
  ASSERT_EQ(uploads.size(), 1u);
  const RequestRecord& upload = uploads[0];
  ASSERT_EQ(upload.form_parts.size(), 1u);
  EXPECT_EQ(upload.form_parts[0].name, "file");
  EXPECT_EQ(upload.form_parts[0].filename, "qvORU.log");
  EXPECT_EQ(upload.form_parts[0].content, "hello");
  EXPECT_EQ(upload.Header("Authorization"), "Bearer tok-1");
  EXPECT_THAT(upload.Header("Content-Type"), StartsWith("multipart/form-data; boundary="));
  EXPECT_EQ(upload.Header("X-App-Key"), DefaultServiceEndpoints().app_key);
  EXPECT_EQ(upload.Header("X-Client-Type"), "1");
  EXPECT_EQ(upload.Header("X-Lang"), "en-us");
  EXPECT_EQ(upload.Header("X-Client-Sn"), sign);
  EXPECT_EQ(upload.Header("X-Prod-Id"), "14424");
  EXPECT_EQ(upload.Header("X-Prod-Ver"), "7.1.2.3");  // the product version reaches only this header

  const std::vector<RequestRecord> whitelist = On(kPrimary, kWhitelistPath);
  ASSERT_EQ(whitelist.size(), 1u);
  EXPECT_EQ(whitelist[0].body, R"({"client_sign":")" + sign + R"(","pid":14424,"version":")" + own + R"("})");
  EXPECT_EQ(whitelist[0].Header("Content-Type"), "application/json");
  EXPECT_EQ(whitelist[0].Header("Authorization"), "Bearer tok-1");

  const std::vector<RequestRecord> report = On(kPrimary, kReportPath);
  ASSERT_EQ(report.size(), 1u);
  EXPECT_EQ(report[0].body, R"({"client_sign":")" + sign + R"(","pid":14424,"version":")" + own +
                                R"(","type":2,"remark":"pid=9001, download err=5","files":[)" +
                                UploadData(1, "qvORU.log", 5) + "]}");
  EXPECT_EQ(report[0].Header("Content-Type"), "application/json");
  EXPECT_EQ(report[0].Header("Authorization"), "Bearer tok-1");

  EXPECT_TRUE(On(kSecondary, "").empty());
  EXPECT_EQ(log_.Count("[INFO] auto report error log, remark=[pid=9001, download err=5]."), 1);
  EXPECT_EQ(log_.Count("[INFO] auto report error log, result=[1]."), 1);
  EXPECT_EQ(log_.Count("[WARN] switch host domain."), 0);
}

TEST_F(LogReporterTest, UploadHeadersComeInTheirFixedOrder) {
  CLogReporter reporter;
  reporter.SetVersion("7.1.2.3");
  EXPECT_EQ(reporter.UploadHeaders(),
            (HeaderList{"Authorization: Bearer ", "Content-Type: multipart/form-data",
                        "X-App-Key: " + DefaultServiceEndpoints().app_key, "X-Client-Type: 1", "X-Lang: en-us",
                        "X-Client-Sn: " + reporter.client_sign(), "X-Prod-Id: 14424", "X-Prod-Ver: 7.1.2.3"}));
  EXPECT_EQ(reporter.client_sign(), Sign());
  EXPECT_EQ(reporter.ticket_product_id(), "14424");
}

TEST_F(LogReporterTest, PackageLogAndExistingSubPackageLogsAreUploadedWhenAsked) {
  const std::string pkg = Folder("pkg");
  const std::string package_log = WriteFile(pkg, "setup.log", "main");
  WriteFile(pkg, "setup.SubPack1.log", "one");
  WriteFile(pkg, "setup.SubPack3.log", "three");

  ASSERT_TRUE(AutoReportErrorLog(true, "", "", "", package_log)) << log_.All();

  EXPECT_THAT(UploadedNames(kUploadPath), ElementsAre("setup.log", "setup.SubPack1.log", "setup.SubPack3.log"));
  const std::vector<RequestRecord> report = On(kPrimary, kReportPath);
  ASSERT_EQ(report.size(), 1u);
  // No remark member for an empty remark; every upload's data in upload order.
  EXPECT_EQ(report[0].body.find("remark"), std::string::npos);
  EXPECT_NE(report[0].body.find(R"("type":2,"files":[)" + UploadData(1, "setup.log", 4) + "," +
                                UploadData(2, "setup.SubPack1.log", 3) + "," +
                                UploadData(3, "setup.SubPack3.log", 5) + "]}"),
            std::string::npos)
      << report[0].body;
  // Empty product values keep the defaults.
  EXPECT_EQ(On(kPrimary, kUploadPath)[0].Header("X-Prod-Ver"), GetSelfVersion());
}

TEST_F(LogReporterTest, OnlyTheThreeNewestInstallerLogsGoUpNewestFirst) {
  const std::string folder = LogFolder();
  WriteFile(folder, "qvORU_2024-03-01.log", "a", 50);
  WriteFile(folder, "qvORU_2024-03-02.log", "b", 40);
  WriteFile(folder, "qvORU_2024-03-03.log", "c", 30);
  WriteFile(folder, "qvORU_2024-03-04.log", "d", 20);
  WriteFile(folder, "qvORU.log", "e", 10);

  CLogReporter reporter;
  ASSERT_TRUE(reporter.SendFiles("")) << log_.All();

  EXPECT_THAT(UploadedNames(kUploadPath), ElementsAre("qvORU.log", "qvORU_2024-03-04.log", "qvORU_2024-03-03.log"));
}

TEST_F(LogReporterTest, InstallerLogNamesMatchWithoutRegardToCase) {
  const std::string folder = LogFolder();
  struct Case {
    const char* name;
    bool collected;
  };
  const Case cases[] = {
      {"qvORU.log", true},        {"QVORU.LOG", true},         {"qvoru_2024-03-05_1.Log", true},
      {"qvForkORU.log", false},   {"qvORU.txt", false},        {"xqvORU.log", false},
      {"qvORU.log.bak", false},   {"qvOR.log", false},
  };
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    WriteFile(folder, c.name, "x", 100);  // one time for all: the order is then by name
    if (c.collected) expected.push_back(folder + c.name);
  }
  ASSERT_TRUE(CreateDirectoryLevels(folder + "qvORU_folder.log"));
  std::sort(expected.begin(), expected.end());

  EXPECT_THAT(CollectInstallerLogs(folder, 10), ElementsAreArray(expected));
  EXPECT_THAT(CollectInstallerLogs(folder), ElementsAreArray(std::vector<std::string>(expected.begin(),
                                                                                         expected.begin() + 3)));
  EXPECT_THAT(CollectInstallerLogs(folder + "missing/"), IsEmpty());
}

TEST_F(LogReporterTest, PackageLogPathsNameTheSubPackageLogsBesideIt) {
  EXPECT_THAT(PackageLogPaths("/p/setup.log"),
              ElementsAre("/p/setup.log", "/p/setup.SubPack1.log", "/p/setup.SubPack2.log", "/p/setup.SubPack3.log"));
  // Never relative to the current folder.
  EXPECT_THAT(PackageLogPaths(""), IsEmpty());
}

// With nothing to upload neither reporter submits; an empty package log path
// does not pick up sub-package logs from the current folder.
TEST_F(LogReporterTest, NothingToUploadSubmitsNothing) {
  const std::string cwd = Folder("cwd");
  for (const char* name : {".SubPack1.log", ".SubPack2.log", ".SubPack3.log"}) WriteFile(cwd, name, "stray");
  ScopedCurrentFolder in_cwd(cwd);
  WriteFile(LogFolder(), "qvForkORU.log", "fork log");

  CLogReporter log_reporter;
  EXPECT_FALSE(log_reporter.SendFiles(""));
  CSupportReporter support_reporter;
  support_reporter.SetTicket("t", "c", "a@b.c");
  EXPECT_FALSE(support_reporter.SendFiles(""));

  EXPECT_EQ(server_.RequestCount(kTokenPath), 2);
  for (const char* path : {kUploadPath, kTicketUploadPath, kWhitelistPath, kReportPath, kTicketPath}) {
    EXPECT_EQ(server_.RequestCount(path), 0) << path;
  }
  EXPECT_EQ(log_.Count("[INFO] report support."), 0);
}

TEST_F(LogReporterTest, NoTokenStopsBeforeAnyUpload) {
  WriteFile(LogFolder(), "qvORU.log", "hello");
  AnswerOnBoth(kTokenPath, R"({"code":1,"msg":"denied"})");

  EXPECT_FALSE(AutoReportErrorLog(false, "r", "", "", ""));

  EXPECT_EQ(log_.Count("[ERROR] send file failed! not init."), 1);
  EXPECT_EQ(server_.RequestCount(kUploadPath), 0);
  EXPECT_EQ(server_.RequestCount(kReportPath), 0);
  EXPECT_EQ(log_.Count("[INFO] auto report error log, result=[0]."), 1);
}

// A primary answer without code 0 (an API code or garbage) sends the same
// request to the secondary host, once, with the warning.
TEST_F(LogReporterTest, RefusedOrGarbledPrimaryAnswerSwitchesToTheSecondaryHost) {
  struct Case {
    const char* path;
    bool garbage;
  };
  for (const Case& c : {Case{kUploadPath, false}, Case{kUploadPath, true}, Case{kWhitelistPath, false},
                        Case{kReportPath, true}}) {
    SCOPED_TRACE(std::string(c.path) + (c.garbage ? " garbage" : " code 1"));
    server_.ClearLog();
    server_.ClearFaults();
    log_.Clear();
    WriteFile(LogFolder(), "qvORU.log", "hello");
    if (c.garbage) {
      server_.AddFault(FaultRule::For(c.path).On(kPrimary).With(Fault::Garbage()));
    } else {
      AnswerOnPrimary(c.path, R"({"code":1,"msg":"busy"})");
    }

    CLogReporter reporter;
    EXPECT_TRUE(reporter.SendFiles("")) << log_.All();

    const std::vector<RequestRecord> first = On(kPrimary, c.path);
    const std::vector<RequestRecord> second = On(kSecondary, c.path);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].body.empty() ? second[0].form_parts.at(0).content : second[0].body,
              first[0].body.empty() ? first[0].form_parts.at(0).content : first[0].body);
    EXPECT_EQ(second[0].Header("Authorization"), first[0].Header("Authorization"));
    EXPECT_EQ(second[0].Header("X-Prod-Id"), first[0].Header("X-Prod-Id"));
    EXPECT_EQ(log_.Count("[WARN] switch host domain."), 1);
    AnswerOnPrimary(c.path, R"({"code":0})");  // reset for the next case
  }
}

TEST_F(LogReporterTest, SecondHostAnswerIsReturnedWhateverItHolds) {
  AnswerOnBoth("/x", R"({"code":9})");
  EXPECT_EQ(PostJsonWithHostSwitch("/x", {}, "{}"), R"({"code":9})");
  EXPECT_EQ(server_.RequestCount("/x"), 2);
  EXPECT_EQ(On(kSecondary, "/x").size(), 1u);

  SetServiceEndpoints([] {
    ServiceEndpoints e = GetServiceEndpoints();
    e.api_secondary = "http://127.0.0.1:1";  // nothing listens there
    return e;
  }());
  WriteFileForTesting(dir_.Child("f.log"), "data");
  EXPECT_EQ(UploadFileWithHostSwitch("/x", {}, dir_.Child("f.log")), "");
  EXPECT_EQ(log_.Count("[WARN] switch host domain."), 2);
}

TEST_F(LogReporterTest, RefusalsOfTheServiceAreAbsorbed) {
  struct Case {
    const char* path;
    const char* answer;
    bool result;
    const char* log_line;
    int reports;
  };
  const Case cases[] = {
      {kUploadPath, R"({"code":5})", false, R"([ERROR] upload log, result=[{"code":5}])", 0},
      {kWhitelistPath, R"({"code":3})", true, "[ERROR] add white list failed! code=[3].", 1},
      {kWhitelistPath, "oops", true, "[ERROR] add white list failed! code=[-1].", 1},
      {kReportPath, R"({"code":422,"msg":"unknown file"})", false,
       R"([ERROR] log_reports failed! result=[{"code":422,"msg":"unknown file"}])", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.answer);
    server_.ClearLog();
    log_.Clear();
    WriteFile(LogFolder(), "qvORU.log", "hello");
    AnswerOnBoth(c.path, c.answer);

    CLogReporter reporter;
    EXPECT_EQ(reporter.SendFiles(""), c.result);

    EXPECT_EQ(log_.Count(c.log_line), 1) << log_.All();
    EXPECT_EQ(On(kPrimary, kReportPath).size(), static_cast<size_t>(c.reports));
    AnswerOnBoth(c.path, R"({"code":0,"msg":"ok","data":{}})");
  }
}

// --- Support tickets

TEST_F(LogReporterTest, TicketCarriesTheExactBodyAndItsAttachments) {
  WriteFile(LogFolder(), "qvORU.log", "hello");
  const std::string contents = "download error_code=[ 5 ];install  error_code=[ 0 ].\r\n\r\nIt broke\r\n\r\n";

  CSupportReporter reporter;
  reporter.SetTicketProductId("10086");
  reporter.SetVersion("3.2.1.0");
  EXPECT_TRUE(reporter.SetTicket("ORU Install Failed", contents, "user@example.com"));
  ASSERT_TRUE(reporter.SendFiles("")) << log_.All();

  const std::vector<RequestRecord> uploads = On(kPrimary, kTicketUploadPath);
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].form_parts.at(0).name, "file");
  EXPECT_EQ(uploads[0].form_parts.at(0).content, "hello");
  EXPECT_EQ(uploads[0].Header("Authorization"), "Bearer tok-1");
  EXPECT_THAT(uploads[0].Header("Content-Type"), StartsWith("multipart/form-data"));
  for (const char* absent : {"X-App-Key", "X-Client-Sn", "X-Prod-Id", "X-Prod-Ver", "X-Lang"}) {
    EXPECT_FALSE(uploads[0].HasHeader(absent)) << absent;
  }

  const std::vector<RequestRecord> ticket = On(kPrimary, kTicketPath);
  ASSERT_EQ(ticket.size(), 1u);
  EXPECT_EQ(ticket[0].body,
            R"({"title":"ORU Install Failed","contents":"download error_code=[ 5 ];install  error_code=[ 0 ].)"
            R"(\r\n\r\nIt broke\r\n\r\n","contact_type":"email","email":"user@example.com","product_id":10086,)"
            R"("product_version":"3.2.1.0","ticket_form_id":10310875932697,"attachment":[)" +
                UploadData(1, "qvORU.log", 5, true) + "]}");
  EXPECT_EQ(ticket[0].Header("Content-Type"), "application/json");
  EXPECT_EQ(server_.RequestCount(kWhitelistPath), 0);
  EXPECT_EQ(server_.RequestCount(kUploadPath), 0);
  EXPECT_EQ(log_.Count("[INFO] contact: user@example.com"), 1);
  EXPECT_EQ(log_.Count("[INFO] content: download error_code=[ 5 ];"), 1);
  EXPECT_EQ(log_.Count("[INFO] report support."), 1);
}

TEST_F(LogReporterTest, TicketContactKindAndTextsReachTheServiceUnchanged) {
  struct Case {
    const char* contact;
    const char* kind;
    const char* other;
  };
  const std::string title = "Échec de l'installation — 安装失败";
  for (const Case& c : {Case{"+86 138 0000 0000", "mobile", "email"}, Case{"a@b", "email", "mobile"}}) {
    SCOPED_TRACE(c.contact);
    server_.ClearLog();
    WriteFile(LogFolder(), "qvORU.log", "hello");
    CSupportReporter reporter;
    reporter.SetTicket(title, "Ünïcødé", c.contact);
    ASSERT_TRUE(reporter.SendFiles(""));

    const std::vector<RequestRecord> ticket = On(kPrimary, kTicketPath);
    ASSERT_EQ(ticket.size(), 1u);
    std::optional<JsonDocument> doc = JsonDocument::Parse(ticket[0].body);
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->root().Get("contact_type").String(), c.kind);
    EXPECT_EQ(doc->root().Get(c.kind).String(), c.contact);
    EXPECT_FALSE(doc->root().Get(c.other).exists());
    EXPECT_NE(ticket[0].body.find(title), std::string::npos);  // raw UTF-8, no re-encoding
    EXPECT_EQ(doc->root().Get("contents").String(), "Ünïcødé");
    EXPECT_EQ(doc->root().Get("product_id").Integer(), 14424);
    EXPECT_EQ(doc->root().Get("product_version").String(), GetSelfVersion());
  }
}

TEST_F(LogReporterTest, RefusedTicketOrUploadsFail) {
  WriteFile(LogFolder(), "qvORU.log", "hello");
  AnswerOnBoth(kTicketPath, R"({"code":422,"msg":"unknown file"})");
  CSupportReporter refused;
  refused.SetTicket("t", "c", "a@b");
  EXPECT_FALSE(refused.SendFiles(""));
  EXPECT_EQ(log_.Count("[ERROR] report support failed! code=[422]."), 1);

  server_.ClearLog();
  log_.Clear();
  AnswerOnBoth(kTicketUploadPath, R"({"code":7})");
  CSupportReporter no_uploads;
  no_uploads.SetTicket("t", "c", "a@b");
  EXPECT_FALSE(no_uploads.SendFiles(""));
  EXPECT_EQ(server_.RequestCount(kTicketUploadPath), 2);  // primary and secondary
  EXPECT_EQ(server_.RequestCount(kTicketPath), 0);
  EXPECT_EQ(log_.Count("[ERROR]"), 0) << log_.All();
}

TEST(LeadingIntegerTest, ReadsTheLeadingDigits) {
  struct Case {
    const char* text;
    int32_t value;
  };
  for (const Case& c : {Case{"14424", 14424}, Case{"10086abc", 10086}, Case{"abc", 0}, Case{"", 0},
                        Case{"-5", -5}, Case{"99999999999", 2147483647}}) {
    EXPECT_EQ(LeadingInteger(c.text), c.value) << c.text;
  }
}

}  // namespace
}  // namespace oru::testing
