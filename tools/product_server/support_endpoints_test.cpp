#include "product_server/product_server.h"

#include <curl/curl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "common/json.h"
#include "server_api/curl_request.h"
#include "server_api/service_endpoints.h"
#include "support/scoped_temp_dir.h"
#include "support/test_clock.h"
#include "support/test_data.h"

namespace oru::product_server {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using oru::testing::ScopedTempDir;
using oru::testing::TestClock;

const std::string kAuth = "Authorization: Bearer fixed-token";

struct Reply {
  long status = 0;
  std::string body;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// One plain request; the body is sent as is with the given headers.
Reply Send(const std::string& method, const std::string& url, const std::vector<std::string>& headers,
           const std::string& body = "") {
  Reply reply;
  CURL* h = curl_easy_init();
  curl_slist* list = nullptr;
  for (const std::string& line : headers) list = curl_slist_append(list, line.c_str());
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply.body);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, 20L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  if (method == "POST") {
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  }
  if (curl_easy_perform(h) == CURLE_OK) curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &reply.status);
  curl_slist_free_all(list);
  curl_easy_cleanup(h);
  return reply;
}

std::optional<JsonDocument> Data(const std::string& body) { return JsonDocument::Parse(body); }

// A multipart body with one part (boundary "XB").
std::string FormBody(const std::string& disposition, const std::string& content) {
  return "--XB\r\nContent-Disposition: form-data; " + disposition + "\r\n\r\n" + content + "\r\n--XB--\r\n";
}
const std::string kFormType = "Content-Type: multipart/form-data; boundary=XB";

// The demo server on 127.0.0.1 and 127.0.0.2 with a store file and the
// configured token "fixed-token".
class SupportServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_ = DemoConfig(dir_.Child("packages"));
    config_.port = 0;
    config_.store_path = dir_.Child("store.sqlite");
    config_.tokens = {"fixed-token"};
    std::string error;
    ASSERT_TRUE(server_.Start(config_, &error)) << error;
  }

  std::string Url(const std::string& path, size_t address = 0) const { return server_.base_url(address) + path; }

  // Uploads `content` as the file part through the raw form; the answer.
  Reply UploadRaw(const std::string& path, const std::string& file_name, const std::string& content) {
    return Send("POST", Url(path), {kAuth, kFormType},
                FormBody("name=\"file\"; filename=\"" + file_name + "\"", content));
  }
  int64_t UploadLog(const std::string& content) {
    auto doc = Data(UploadRaw("/v1/product/downloader/upload-log-file", "a.log", content).body);
    return doc ? doc->root().Get("data").Get("file_id").Integer().value_or(0) : 0;
  }
  std::string UploadTicketFile(const std::string& content) {
    auto doc = Data(UploadRaw("/v1/crm/ticket/file/upload", "shot.png", content).body);
    return doc ? doc->root().Get("data").Get("token").String().value_or("") : std::string();
  }

  ScopedTempDir dir_;
  ServerConfig config_;
  TestClock clock_;
  ProductServer server_{clock_};
};

TEST_F(SupportServicesTest, CurlUploadsAreStoredByteExactWithTheirIdentity) {
  // NULs, CRLFs and dash runs inside, larger than curl's Expect threshold.
  std::string content = std::string("\0\r\n--\r\n\r\n--X\0\n\r", 15) + oru::testing::RandomData(1536 * 1024, 5);
  content += "\r\n--\r\n";
  const std::string path = dir_.Child("oru_log_ü 1.zip");
  oru::testing::WriteFileForTesting(path, content);
  const HeaderList identity = {kAuth, "X-Prod-Id: 1001", "X-Prod-Ver: 5.2.0.7", "X-Client-Sn: sn-42"};

  int32_t result = -1;
  std::string answer = CurlFormDataRequest(Url("/v1/product/downloader/upload-log-file", 1), identity, path, &result);
  ASSERT_EQ(result, 0);
  auto doc = Data(answer);
  ASSERT_TRUE(doc) << answer;
  EXPECT_EQ(ReadApiCode(answer), 0) << answer;
  const int64_t id = doc->root().Get("data").Get("file_id").Integer().value_or(0);
  EXPECT_GT(id, 0);
  EXPECT_EQ(doc->root().Get("data").Get("file_name").String(), "oru_log_ü 1.zip");
  EXPECT_EQ(doc->root().Get("data").Get("size").Integer(), static_cast<int64_t>(content.size()));
  const std::string url = doc->root().Get("data").Get("url").String().value_or("");
  EXPECT_EQ(url, Url("/files/" + std::to_string(id), 1)) << "the address it came in on";

  std::vector<StoredUpload> logs = server_.Uploads("log");
  ASSERT_THAT(logs, SizeIs(1));
  EXPECT_EQ(logs[0].id, id);
  EXPECT_EQ(logs[0].file_name, "oru_log_ü 1.zip");
  EXPECT_TRUE(logs[0].content == content) << "stored " << logs[0].content.size() << " of " << content.size();
  EXPECT_EQ(logs[0].Header("X-Prod-Id"), "1001");
  EXPECT_EQ(logs[0].Header("X-Prod-Ver"), "5.2.0.7");
  EXPECT_EQ(logs[0].Header("x-client-sn"), "sn-42");
  EXPECT_TRUE(Send("GET", url, {}).body == content) << "served back byte-exact";

  answer = CurlFormDataRequest(Url("/v1/crm/ticket/file/upload"), identity, path, &result);
  ASSERT_EQ(result, 0);
  doc = Data(answer);
  ASSERT_TRUE(doc) << answer;
  const std::vector<StoredUpload> tickets = server_.Uploads("ticket");
  ASSERT_THAT(tickets, SizeIs(1));
  EXPECT_EQ(doc->root().Get("data").Get("token").String(), "att-" + std::to_string(tickets[0].id));
  EXPECT_EQ(doc->root().Get("data").Get("size").Integer(), static_cast<int64_t>(content.size()));
  EXPECT_TRUE(tickets[0].content == content);
  EXPECT_THAT(server_.Uploads(), SizeIs(2));

  // Vendors read the same through the admin switch (content in base64).
  auto listed = Data(Send("GET", Url("/__admin/uploads?kind=ticket"), {}).body);
  ASSERT_TRUE(listed);
  EXPECT_EQ(listed->root().Get("data").At(0).Get("kind").String(), "ticket");
  EXPECT_EQ(listed->root().Get("data").At(0).Get("size").Integer(), static_cast<int64_t>(content.size()));
  EXPECT_FALSE(listed->root().Get("data").At(1).exists());
}

TEST_F(SupportServicesTest, UploadsWithoutAWholeFilePartAreRefused) {
  const std::string good = FormBody("name=\"file\"; filename=\"a.log\"", "abc");
  struct Case {
    const char* name;
    std::string method;
    std::vector<std::string> headers;
    std::string body;
    int code;
  } cases[] = {
      {"no token", "POST", {kFormType}, good, 401},
      {"JSON body", "POST", {kAuth, "Content-Type: application/json"}, R"({"file":"abc"})", 400},
      {"no boundary", "POST", {kAuth, "Content-Type: multipart/form-data"}, good, 400},
      {"other part name", "POST", {kAuth, kFormType}, FormBody("name=\"log\"; filename=\"a.log\"", "abc"), 400},
      {"no filename", "POST", {kAuth, kFormType}, FormBody("name=\"file\"", "abc"), 400},
      {"empty filename", "POST", {kAuth, kFormType}, FormBody("name=\"file\"; filename=\"\"", "abc"), 400},
      {"path as filename", "POST", {kAuth, kFormType}, FormBody("name=\"file\"; filename=\"../a.log\"", "abc"), 400},
      {"truncated", "POST", {kAuth, kFormType}, good.substr(0, good.size() - 9), 400},
      {"GET", "GET", {kAuth}, "", 405},
  };
  for (const char* path : {"/v1/product/downloader/upload-log-file", "/v1/crm/ticket/file/upload"}) {
    for (const Case& c : cases) {
      Reply r = Send(c.method, Url(path), c.headers, c.body);
      EXPECT_EQ(ReadApiCode(r.body), c.code) << path << ": " << c.name << ": " << r.body;
      EXPECT_EQ(r.status, c.code) << path << ": " << c.name;
    }
  }
  EXPECT_THAT(server_.Uploads(), IsEmpty());
  // The raw form still arrives whole in the request log.
  EXPECT_EQ(server_.Requests("logupload")[0].body, good);
}

TEST_F(SupportServicesTest, LogReportsMustNameLogUploads) {
  const int64_t log = UploadLog("log bytes");
  const std::string ticket = UploadTicketFile("png bytes");
  ASSERT_GT(log, 0);
  ASSERT_FALSE(ticket.empty());
  const int64_t ticket_id = std::stoll(ticket.substr(4));
  const std::string good_file = R"({"file_id":)" + std::to_string(log) + R"(,"file_name":"a.log","size":9})";
  auto report = [](const std::string& files) {
    return R"({"client_sign":"sn-1","pid":1001,"version":"5.2.0","type":2,"remark":"Ærger","files":)" + files + "}";
  };
  struct Case {
    const char* name;
    std::string body;
    int code;
  } cases[] = {
      {"empty list", report("[]"), 422},
      {"no files", R"({"client_sign":"sn-1","pid":1001,"version":"5.2.0","type":2})", 422},
      {"files not a list", report(good_file), 422},
      {"a ticket upload", report(R"([{"file_id":)" + std::to_string(ticket_id) + "}]"), 422},
      {"unknown id", report(R"([{"file_id":999}])"), 422},
      {"id as text", report(R"([{"file_id":")" + std::to_string(log) + "\"}]"), 422},
      {"one good, one unknown", report("[" + good_file + R"(,{"file_id":999}])"), 422},
      {"not JSON", "files=1", 400},
      {"good", report("[" + good_file + "]"), 0},
  };
  for (const Case& c : cases) {
    Reply r = Send("POST", Url("/v1/product/logs/report"), {kAuth}, c.body);
    EXPECT_EQ(ReadApiCode(r.body), c.code) << c.name << ": " << r.body;
    if (c.code != 0) continue;
    auto doc = Data(r.body);
    ASSERT_TRUE(doc);
    EXPECT_GT(doc->root().Get("data").Get("report_id").Integer().value_or(0), 0);
  }
  std::vector<StoredBody> reports = server_.LogReports();
  ASSERT_THAT(reports, SizeIs(1)) << "only the good report is kept";
  EXPECT_EQ(reports[0].body, report("[" + good_file + "]"));
}

TEST_F(SupportServicesTest, WhitelistAnnouncementsAreKept) {
  const std::string body = R"({"client_sign":"sn-7","pid":1001,"version":"5.2.0"})";
  EXPECT_EQ(ReadApiCode(Send("POST", Url("/v1/product/logs/whitelist"), {kAuth}, body).body), 0);
  EXPECT_EQ(ReadApiCode(Send("POST", Url("/v1/product/logs/whitelist"), {kAuth}, "sn-7").body), 400);
  std::vector<WhitelistEntry> list = server_.Whitelist();
  ASSERT_THAT(list, SizeIs(1));
  EXPECT_EQ(list[0].client_sign, "sn-7");
  EXPECT_EQ(list[0].pid, 1001);
  EXPECT_EQ(list[0].version, "5.2.0");
  EXPECT_EQ(list[0].body, body);
}

TEST_F(SupportServicesTest, TicketsCarryOnlyTicketAttachments) {
  const std::string att = UploadTicketFile("screenshot");
  const int64_t log = UploadLog("log");
  ASSERT_FALSE(att.empty());
  auto ticket = [](const std::string& attachment) {
    return R"({"title":"Installation échoue","contents":"安装失败","contact_type":"email","email":"a@example.test",)"
           R"("product_id":1001,"product_version":"5.2.0","ticket_form_id":10310875932697)" +
           (attachment.empty() ? std::string() : R"(,"attachment":)" + attachment) + "}";
  };
  const std::string good = ticket(R"([{"token":")" + att + R"(","file_name":"shot.png","size":10}])");
  struct Case {
    const char* name;
    std::string body;
    int code;
  } cases[] = {
      {"with its attachment", good, 0},
      {"without attachments", ticket(""), 0},
      {"a log upload", ticket(R"([{"token":"att-)" + std::to_string(log) + R"("}])"), 422},
      {"unknown token", ticket(R"([{"token":"att-999"}])"), 422},
      {"not a token", ticket(R"([{"token":"x"}])"), 422},
      {"attachment not a list", ticket(R"({"token":")" + att + R"("})"), 422},
      {"not JSON", "title=x", 400},
  };
  for (const Case& c : cases) {
    Reply r = Send("POST", Url("/v1/support/tickets"), {kAuth}, c.body);
    EXPECT_EQ(ReadApiCode(r.body), c.code) << c.name << ": " << r.body;
    if (c.code == 0) {
      EXPECT_THAT(r.body, HasSubstr("\"ticket_id\":"));
    }
  }
  std::vector<StoredBody> tickets = server_.Tickets();
  ASSERT_THAT(tickets, SizeIs(2));
  EXPECT_EQ(tickets[0].body, good) << "UTF-8 texts stored unchanged";
  auto listed = Data(Send("GET", Url("/__admin/tickets"), {}).body);
  ASSERT_TRUE(listed);
  EXPECT_EQ(listed->root().Get("data").At(0).Get("body").Get("contents").String(), "安装失败");
}

TEST_F(SupportServicesTest, RetentionOfferIsTheConfiguredOneOrNull) {
  const std::string url = Url("/v1/product/downloader/recovery?version=5.2.0");
  auto doc = Data(Send("GET", url, {kAuth}).body);
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->root().Get("code").Integer(), 0);
  EXPECT_EQ(doc->root().Get("data").Get("id").Integer(), config_.retention_offer->id);
  EXPECT_EQ(doc->root().Get("data").Get("type").Integer(), 1);
  EXPECT_EQ(doc->root().Get("data").Get("tips").Get("title").String(), config_.retention_offer->title);
  EXPECT_EQ(doc->root().Get("data").Get("tips").Get("content").String(), config_.retention_offer->content);

  server_.SetRetentionOffer(RetentionOfferEntry{7, 2, "Rabatt für Sie", "Ihr Code: ÄÖÜ"});
  doc = Data(Send("GET", url, {kAuth}).body);
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->root().Get("data").Get("id").Integer(), 7);
  EXPECT_EQ(doc->root().Get("data").Get("tips").Get("title").String(), "Rabatt für Sie");

  server_.SetRetentionOffer(std::nullopt);
  Reply none = Send("GET", url, {kAuth});
  EXPECT_EQ(none.body, R"({"code":0,"msg":"ok","data":null})");
}

TEST_F(SupportServicesTest, AnOfferIsRedeemedOncePerEmail) {
  const std::string apply = "/v1/product/downloader/recovery/" + std::to_string(config_.retention_offer->id) + "/apply";
  struct Case {
    const char* name;
    std::string path;
    std::string body;
    int code;
  } cases[] = {
      {"first", apply, R"({"email":"kim@example.test"})", 0},
      {"again", apply, R"({"email":"kim@example.test"})", 366001},
      {"again in other case", apply, R"({"email":"Kim@Example.TEST"})", 366001},
      {"someone else", apply, R"({"email":"lee@example.test"})", 0},
      {"unknown offer", "/v1/product/downloader/recovery/1/apply", R"({"email":"kim@example.test"})", 404},
      {"offer id not a number", "/v1/product/downloader/recovery/x/apply", R"({"email":"a@b.test"})", 404},
      {"no email", apply, R"({"mail":"kim@example.test"})", 400},
      {"email not a text", apply, R"({"email":1})", 400},
      {"not JSON", apply, "email=kim@example.test", 400},
  };
  for (const Case& c : cases) {
    Reply r = Send("POST", Url(c.path), {kAuth}, c.body);
    EXPECT_EQ(ReadApiCode(r.body), c.code) << c.name << ": " << r.body;
    if (c.code == 366001) {
      EXPECT_EQ(r.status, 200) << "the installer reads the code";
      EXPECT_THAT(r.body, HasSubstr("\"msg\":\"already redeemed\""));
    }
  }
  std::vector<OfferApply> applies = server_.OfferApplies();
  ASSERT_THAT(applies, SizeIs(2));
  EXPECT_EQ(applies[0].offer_id, std::to_string(config_.retention_offer->id));
  EXPECT_EQ(applies[0].email, "kim@example.test");
  EXPECT_EQ(applies[1].email, "lee@example.test");

  // The store remembers across restarts.
  server_.Stop();
  std::string error;
  ASSERT_TRUE(server_.Start(config_, &error)) << error;
  EXPECT_EQ(ReadApiCode(Send("POST", Url(apply), {kAuth}, R"({"email":"kim@example.test"})").body), 366001);
}

TEST_F(SupportServicesTest, EveryServiceWantsAToken) {
  const std::string form = FormBody("name=\"file\"; filename=\"a.log\"", "abc");
  struct Case {
    const char* method;
    const char* path;
    std::string body;
    bool form;
  } cases[] = {
      {"POST", "/v1/product/downloader/upload-log-file", form, true},
      {"POST", "/v1/crm/ticket/file/upload", form, true},
      {"POST", "/v1/product/logs/whitelist", R"({"client_sign":"s","pid":1,"version":"1"})", false},
      {"POST", "/v1/product/logs/report", R"({"files":[]})", false},
      {"POST", "/v1/support/tickets", R"({"title":"t"})", false},
      {"GET", "/v1/product/downloader/recovery?version=1", "", false},
      {"POST", "/v1/product/downloader/recovery/20240601/apply", R"({"email":"a@b.test"})", false},
  };
  for (const Case& c : cases) {
    for (const std::string& auth : {std::string(), std::string("Authorization: Bearer not-issued")}) {
      std::vector<std::string> headers;
      if (!auth.empty()) headers.push_back(auth);
      if (c.form) headers.push_back(kFormType);
      Reply r = Send(c.method, Url(c.path), headers, c.body);
      EXPECT_EQ(ReadApiCode(r.body), 401) << c.path << " with \"" << auth << "\": " << r.body;
      EXPECT_EQ(r.status, 401) << c.path;
    }
  }
  EXPECT_THAT(server_.Uploads(), IsEmpty());
  EXPECT_THAT(server_.Whitelist(), IsEmpty());
  EXPECT_THAT(server_.OfferApplies(), IsEmpty());
}

TEST_F(SupportServicesTest, ApiCodeFaultOnThePrimaryOnlySendsTheClientToTheSecondary) {
  ASSERT_TRUE(server_.SetFault("whitelist", Fault::ApiCode(1).On("127.0.0.1")));
  const ServiceEndpoints saved = GetServiceEndpoints();
  ServiceEndpoints endpoints = saved;
  endpoints.api_primary = server_.base_url(0);
  endpoints.api_secondary = server_.base_url(1);
  SetServiceEndpoints(endpoints);
  const std::string answer =
      PostWithHostSwitch("/v1/product/logs/whitelist", {kAuth, "Content-Type: application/json"},
                         R"({"client_sign":"sn-1","pid":1001,"version":"5.2.0"})");
  SetServiceEndpoints(saved);
  EXPECT_EQ(ReadApiCode(answer), 0) << answer;
  std::vector<RequestRecord> seen = server_.Requests("whitelist");
  ASSERT_THAT(seen, SizeIs(2));
  EXPECT_EQ(seen[0].local_address, "127.0.0.1");
  EXPECT_EQ(seen[0].fault, "api_code=1");
  EXPECT_EQ(seen[1].local_address, "127.0.0.2");
  EXPECT_THAT(server_.Whitelist(), SizeIs(1)) << "the faulted answer stored nothing";

  // The same switch works on the upload services.
  ASSERT_TRUE(server_.SetFault("logupload", Fault::ApiCode(1).On("127.0.0.1")));
  EXPECT_EQ(ReadApiCode(UploadRaw("/v1/product/downloader/upload-log-file", "a.log", "x").body), 1);
  Reply second = Send("POST", Url("/v1/product/downloader/upload-log-file", 1), {kAuth, kFormType},
                      FormBody("name=\"file\"; filename=\"a.log\"", "x"));
  EXPECT_EQ(ReadApiCode(second.body), 0) << second.body;
}

TEST_F(SupportServicesTest, ReceivedFilesAreHiddenWhenTheAdminSwitchesAreOff) {
  server_.Stop();
  config_.admin_enabled = false;
  std::string error;
  ASSERT_TRUE(server_.Start(config_, &error)) << error;
  const int64_t id = UploadLog("private log");
  ASSERT_GT(id, 0);
  EXPECT_EQ(Send("GET", Url("/files/" + std::to_string(id)), {}).status, 404);
  EXPECT_EQ(Send("GET", Url("/__admin/uploads"), {}).status, 404);
}

}  // namespace
}  // namespace oru::product_server
