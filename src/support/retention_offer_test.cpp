#include "support/retention_offer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "probes/platform_facts.h"
#include "support/support_test_fixture.h"

namespace oru::testing {
namespace {

constexpr const char* kRecoveryPath = "/v1/product/downloader/recovery";

class RetentionOfferTest : public SupportTest {
 protected:
  void AnswerOffer(const std::string& answer) { AnswerOnBoth(kRecoveryPath, answer); }

  RequestRecord OnlyRequest(const std::string& path) {
    std::vector<RequestRecord> requests = server_.RequestsFor(path);
    EXPECT_EQ(requests.size(), 1u) << path;
    return requests.empty() ? RequestRecord() : requests[0];
  }

  RetentionOffer offer_;
};

TEST_F(RetentionOfferTest, QuerySendsTheIdentityToThePrimaryHost) {
  AnswerOffer(R"({"code":0,"data":{"id":77,"type":1,"tips":{"title":"Stay","content":"Worth it"}}})");

  ASSERT_TRUE(offer_.QueryRetentionOffer(10086, "", "{sign}", "4.6.4"));

  const RequestRecord query = OnlyRequest(kRecoveryPath);
  EXPECT_EQ(query.method, "GET");
  EXPECT_EQ(query.target, "/v1/product/downloader/recovery?version=4.6.4");
  EXPECT_EQ(query.local_address, kPrimary);
  EXPECT_EQ(query.Header("Authorization"), "Bearer tok-1");
  EXPECT_EQ(query.Header("X-Client-Sn"), "{sign}");
  EXPECT_EQ(query.Header("X-Client-Type"), "1");
  EXPECT_EQ(query.Header("X-App-Key"), "3f0a9c1e7b2d4e6f8a0b1c2d.demo");
  EXPECT_EQ(query.Header("X-Prod-Id"), "10086");
  EXPECT_EQ(query.Header("X-Lang"), "en-us");
  EXPECT_EQ(query.Header("X-Prod-Ver"), "4.0.5.0");  // no server runtime version
  EXPECT_EQ(OnlyRequest(kTokenPath).local_address, kPrimary);
  EXPECT_EQ(offer_.GetIdentity().product_version, "4.0.5.0");

  EXPECT_EQ(offer_.GetOfferType(), 1);
  EXPECT_EQ(offer_.GetOfferId(), 77);
  EXPECT_EQ(offer_.GetOfferTitle(), "Stay");
  EXPECT_EQ(offer_.GetOfferContent(), "Worth it");
  EXPECT_EQ(offer_.GetInstallerVersion(), "4.6.4");
  const std::string base = server_.UrlOn(kPrimary, "");
  EXPECT_EQ(log_.Count("[INFO] query redeem request = " + base + "/v1/product/downloader/recovery?version=4.6.4"), 1);
  EXPECT_EQ(log_.Count(R"([INFO] query redeem response = {"code":0,"data":{"id":77)"), 1);
}

TEST_F(RetentionOfferTest, AnswersAreReadMemberByMember) {
  struct Case {
    const char* answer;
    bool result;
    int32_t type;
    int64_t id;
    const char* title;
    const char* content;
    int error_code;  // of the failure line; 0: no failure line
  };
  const Case cases[] = {
      {R"({"code":0,"data":null})", false, 0, 0, "", "", 0},
      {R"({"code":0})", true, 0, 0, "", "", 0},
      {R"({"code":0,"data":{"id":5,"type":"1"}})", true, 0, 5, "", "", 0},
      {R"({"code":0,"data":{"id":12.9,"type":2,"tips":{"title":"T","content":"C"}}})", true, 2, 12, "T", "C", 0},
      {R"({"code":0,"data":{"id":-3,"type":1.7,"tips":null}})", true, 1, -3, "", "", 0},
      {R"({"code":0,"data":{"id":9007199254740993,"type":2,"tips":{"title":7,"content":"only"}}})", true, 2,
       9007199254740992, "", "only", 0},
      {R"({"code":0,"data":{"type":1,"tips":{"title":"Ünïcødé 保留","content":"留下来"}}})", true, 1, 0,
       "Ünïcødé 保留", "留下来", 0},
      {R"({"code":7,"data":{"id":1,"type":1}})", false, 0, 0, "", "", 7},
      {R"({"code":"0","data":{"id":1,"type":1}})", false, 0, 0, "", "", -1},
      {"<html>busy</html>", false, 0, 0, "", "", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    log_.Clear();
    AnswerOffer(c.answer);
    RetentionOffer offer;
    EXPECT_EQ(offer.QueryRetentionOffer(1, "2.0", "s", "4.6.4"), c.result);
    EXPECT_EQ(offer.GetOfferType(), c.type);
    EXPECT_EQ(offer.GetOfferId(), c.id);
    EXPECT_EQ(offer.GetOfferTitle(), c.title);
    EXPECT_EQ(offer.GetOfferContent(), c.content);
    if (c.error_code == 0) {
      EXPECT_EQ(log_.Count("[ERROR]"), 0) << log_.All();
    } else {
      EXPECT_EQ(log_.Count("[ERROR] query retention strategy failed! err=[" + std::to_string(c.error_code) + "]."), 1)
          << log_.All();
    }
  }
}

TEST_F(RetentionOfferTest, UnreachablePrimaryHostFailsWithoutTryingTheSecondary) {
  ServiceEndpoints endpoints = GetServiceEndpoints();
  endpoints.api_primary = "http://127.0.0.1:1";  // nothing listens there
  SetServiceEndpoints(endpoints);

  EXPECT_FALSE(offer_.QueryRetentionOffer(1, "2.0", "s", "4.6.4"));

  EXPECT_EQ(offer_.GetOfferType(), 0);
  EXPECT_EQ(log_.Count("[ERROR] query retention strategy failed! err=[-1]."), 1);
  EXPECT_EQ(server_.RequestCount(), 0);  // neither the token nor the query on the secondary
}

TEST_F(RetentionOfferTest, ApplyPostsTheAddressForTheOfferThatWasRead) {
  AnswerOffer(R"({"code":0,"data":{"id":12.9,"type":2,"tips":{"content":"Free month"}}})");
  ASSERT_TRUE(offer_.QueryRetentionOffer(10086, "3.1.0.2", "{sign}", "4.6.4"));

  EXPECT_EQ(offer_.ApplyRetentionBenefit("user@example.com"), 0);

  const RequestRecord apply = OnlyRequest(std::string(kRecoveryPath) + "/12/apply");
  EXPECT_EQ(apply.method, "POST");
  EXPECT_EQ(apply.local_address, kPrimary);
  EXPECT_EQ(apply.body, R"({"email":"user@example.com"})");
  EXPECT_EQ(apply.Header("Authorization"), "Bearer tok-1");
  EXPECT_EQ(apply.Header("Content-Type"), "application/json");
  EXPECT_EQ(apply.Header("X-Prod-Id"), "10086");
  EXPECT_EQ(apply.Header("X-Prod-Ver"), "3.1.0.2");
  EXPECT_EQ(apply.Header("X-Client-Sn"), "{sign}");
  EXPECT_EQ(log_.Count("[INFO] apply auth success."), 1);
}

TEST_F(RetentionOfferTest, ApplyReturnsTheServiceCode) {
  struct Case {
    const char* answer;
    int32_t code;
    const char* log_line;
  };
  const Case cases[] = {
      {R"({"code":0,"msg":"ok"})", 0, "[INFO] apply auth success."},
      {R"({"code":366001,"msg":"already redeemed"})", 366001, "[ERROR] apply auth failed! err=[366001][already redeemed]."},
      {R"({"code":404})", 404, "[ERROR] apply auth failed! err=[404][]."},
      {"not json", -1, "[ERROR] apply auth failed! err=[-1][]."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    log_.Clear();
    server_.ClearLog();
    AnswerOnBoth(std::string(kRecoveryPath) + "/0/apply", c.answer);
    RetentionOffer never_queried;
    EXPECT_EQ(never_queried.ApplyRetentionBenefit("a@b.c"), c.code);
    EXPECT_EQ(log_.Count(c.log_line), 1) << log_.All();
    EXPECT_EQ(server_.RequestCount(std::string(kRecoveryPath) + "/0/apply"), 1);  // no retry, no switch
  }
}

TEST_F(RetentionOfferTest, LoadTakesTheOrchestratorsValues) {
  struct Case {
    const char* product_id;
    const char* server_version;
    const char* own_version;
    const char* prod_id_header;
    const char* prod_ver_header;
    const char* target;
  };
  const Case cases[] = {
      {"10086", "3.1.0.2", "5.2.7.9", "10086", "3.1.0.2", "?version=5.2.7"},
      {"10086abc", "", "", "10086", "4.0.5.0", "?version=4.6.4"},
      {"none", "1.0", "0.0.0.0", "0", "1.0", "?version=0.0.0"},
  };
  AnswerOffer(R"({"code":0,"data":null})");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.product_id);
    server_.ClearLog();
    RetentionOffer offer;
    EXPECT_FALSE(LoadRetentionOfferFor(offer, "Quorvane", c.product_id, c.server_version, c.own_version));
    const RequestRecord query = OnlyRequest(kRecoveryPath);
    EXPECT_EQ(query.target, std::string(kRecoveryPath) + c.target);
    EXPECT_EQ(query.Header("X-Prod-Id"), c.prod_id_header);
    EXPECT_EQ(query.Header("X-Prod-Ver"), c.prod_ver_header);
    EXPECT_EQ(query.Header("X-Client-Sn"), GetClientSign("Quorvane"));
  }
  EXPECT_EQ(GetClientSign("Quorvane").size(), 39u);  // created on a machine that had none
}

TEST_F(RetentionOfferTest, InstallerVersionIsPercentEncodedInTheQuery) {
  AnswerOffer(R"({"code":0,"data":null})");
  offer_.QueryRetentionOffer(1, "", "s", "4.6 beta&x=1");
  EXPECT_EQ(OnlyRequest(kRecoveryPath).target, "/v1/product/downloader/recovery?version=4.6%20beta%26x%3D1");
}

TEST(QueryInstallerVersionTest, KeepsThreeComponents) {
  struct Case {
    const char* own;
    const char* sent;
  };
  for (const Case& c : {Case{"4.6.4.0", "4.6.4"}, Case{"5.2.7.9", "5.2.7"}, Case{"7.1", "7.1.0"}, Case{"", "4.6.4"},
                        Case{"x.1.2", "4.6.4"}, Case{"12.0.33", "12.0.33"}}) {
    EXPECT_EQ(QueryInstallerVersion(c.own), c.sent) << c.own;
  }
}

// The window may read while the preparation thread is still asking: it sees
// no offer until the answer has been read completely.
TEST_F(RetentionOfferTest, ReadersSeeNoOfferUntilTheQueryHasFinished) {
  std::promise<void> in_handler;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  server_.SetHandler("", "/*", [&](const HttpRequest& request) {
    HttpResponse response;
    if (request.path == kTokenPath) {
      response.body = R"({"code":0,"data":{"access_token":"tok-1"}})";
      return response;
    }
    in_handler.set_value();
    released.wait_for(std::chrono::seconds(10));  // bounded: a broken test must not hang
    response.body = R"({"code":0,"data":{"id":4,"type":2,"tips":{"title":"T","content":"C"}}})";
    return response;
  });
  std::thread preparation([&] { EXPECT_TRUE(offer_.QueryRetentionOffer(1, "", "s", "4.6.4")); });
  const bool reached = in_handler.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  EXPECT_TRUE(reached);
  EXPECT_EQ(offer_.GetOfferType(), 0);
  EXPECT_EQ(offer_.GetOfferContent(), "");
  release.set_value();
  preparation.join();
  EXPECT_EQ(offer_.GetOfferType(), 2);
  EXPECT_EQ(offer_.GetOfferContent(), "C");
}

TEST_F(RetentionOfferTest, WindowFieldsAreKept) {
  offer_.SetEmail("a@b.c");
  offer_.SetApplyResult(366001);
  EXPECT_EQ(offer_.GetEmail(), "a@b.c");
  EXPECT_EQ(offer_.GetApplyResult(), 366001);
}

}  // namespace
}  // namespace oru::testing
