// The reporters and the retention offer against the reference product
// server (in-process), on its two loopback addresses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

#include "common/json.h"
#include "platform/file_util.h"
#include "platform/locations.h"
#include "probes/platform_facts.h"
#include "product_server/product_server.h"
#include "product_server/server_config.h"
#include "server_api/service_endpoints.h"
#include "support/log_capture.h"
#include "support/log_reporter.h"
#include "support/retention_offer.h"
#include "support/scoped_temp_dir.h"

namespace oru::testing {
namespace {

using product_server::Fault;
using ::testing::ElementsAre;

class SupportServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Locations loc;
    loc.temp_dir = Folder("tmp");
    loc.registry_dir = Folder("registry");
    loc.lock_dir = Folder("locks");
    SetProcessLocationsForTesting(loc);
    product_server::ServerConfig config = product_server::DemoConfig(Folder("packages"));
    config.port = 0;
    std::string error;
    ASSERT_TRUE(server_.Start(config, &error)) << error;
    ServiceEndpoints endpoints = DefaultServiceEndpoints();
    endpoints.api_primary = server_.base_url(0);
    endpoints.api_secondary = server_.base_url(1);
    SetServiceEndpoints(endpoints);
  }

  void TearDown() override {
    server_.Stop();
    SetServiceEndpoints(DefaultServiceEndpoints());
  }

  std::string Folder(const std::string& name) {
    std::string path = dir_.path() + "/" + name + "/";
    CreateDirectoryLevels(path);
    return path;
  }

  // Every support service answers code 1 on the primary address.
  void RefuseOnPrimary() {
    for (const char* endpoint : {"logupload", "ticketupload", "whitelist", "logreport", "ticket"}) {
      std::string error;
      ASSERT_TRUE(server_.SetFault(endpoint, Fault::ApiCode(1).On("127.0.0.1"), &error)) << error;
    }
  }

  // Addresses the requests of `endpoint` came in on, in order.
  std::vector<std::string> Hosts(const std::string& endpoint) const {
    std::vector<std::string> hosts;
    for (const auto& r : server_.Requests(endpoint)) hosts.push_back(r.local_address);
    return hosts;
  }

  ScopedTempDir dir_;
  LogCapture log_;
  product_server::ProductServer server_;
};

TEST_F(SupportServerTest, FailureReportReachesTheServerThroughTheSecondaryHost) {
  const std::string logs = Folder("tmp/Quorvane/ORU");
  WriteFileForTesting(logs + "qvORU.log", "installer log\n");
  const std::string package_log = Folder("pkg") + "setup.log";
  WriteFileForTesting(package_log, "package log\n");
  RefuseOnPrimary();

  ASSERT_TRUE(AutoReportErrorLog(true, "pid=1001, install err=3", "1001", "2.5.0.1", package_log)) << log_.All();

  std::vector<product_server::StoredUpload> uploads = server_.Uploads("log");
  ASSERT_EQ(uploads.size(), 2u);
  EXPECT_EQ(uploads[0].file_name, "qvORU.log");
  EXPECT_EQ(uploads[0].content, "installer log\n");
  EXPECT_EQ(uploads[1].file_name, "setup.log");
  EXPECT_EQ(uploads[1].content, "package log\n");
  EXPECT_EQ(uploads[0].Header("X-Prod-Id"), "14424");
  EXPECT_EQ(uploads[0].Header("X-Prod-Ver"), "2.5.0.1");
  EXPECT_EQ(uploads[0].Header("X-Client-Sn"), GetClientSign("Quorvane"));

  // The header lines arrive in their fixed order.
  const auto upload_requests = server_.Requests("logupload");
  ASSERT_FALSE(upload_requests.empty());
  std::vector<std::string> names;
  for (const auto& [name, value] : upload_requests[0].headers) {
    if (name.rfind("X-", 0) == 0 || name == "Authorization") names.push_back(name);
  }
  EXPECT_THAT(names, ElementsAre("Authorization", "X-App-Key", "X-Client-Type", "X-Lang", "X-Client-Sn", "X-Prod-Id",
                                 "X-Prod-Ver"));

  const std::vector<product_server::StoredBody> reports = server_.LogReports();
  ASSERT_EQ(reports.size(), 1u);
  std::optional<JsonDocument> report = JsonDocument::Parse(reports[0].body);
  ASSERT_TRUE(report);
  EXPECT_EQ(report->root().Get("remark").String(), "pid=1001, install err=3");
  EXPECT_EQ(report->root().Get("version").String(), GetSelfVersion());
  JsonView files = report->root().Get("files");
  ASSERT_EQ(files.Size(), 2);
  EXPECT_EQ(files.At(0).Get("file_id").Integer(), uploads[0].id);
  EXPECT_EQ(files.At(1).Get("file_id").Integer(), uploads[1].id);
  ASSERT_EQ(server_.Whitelist().size(), 1u);
  EXPECT_EQ(server_.Whitelist()[0].pid, 14424);

  EXPECT_THAT(Hosts("logreport"), ElementsAre("127.0.0.1", "127.0.0.2"));
  EXPECT_THAT(Hosts("whitelist"), ElementsAre("127.0.0.1", "127.0.0.2"));
  EXPECT_THAT(Hosts("logupload"), ElementsAre("127.0.0.1", "127.0.0.2", "127.0.0.1", "127.0.0.2"));
  EXPECT_EQ(log_.Count("[WARN] switch host domain."), 4);
}

TEST_F(SupportServerTest, TicketReachesTheServerWithItsAttachment) {
  WriteFileForTesting(Folder("tmp/Quorvane/ORU") + "qvORU.log", "installer log\n");
  RefuseOnPrimary();

  CSupportReporter reporter;
  reporter.SetTicketProductId("1001");
  reporter.SetVersion("2.5.0.1");
  reporter.SetTicket("ORU Install Failed", "download error_code=[ 5 ];install  error_code=[ 0 ].", "+1 555 0100");
  ASSERT_TRUE(reporter.SendFiles("")) << log_.All();

  const std::vector<product_server::StoredUpload> uploads = server_.Uploads("ticket");
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].content, "installer log\n");
  EXPECT_TRUE(server_.Uploads("log").empty());
  const std::vector<product_server::StoredBody> tickets = server_.Tickets();
  ASSERT_EQ(tickets.size(), 1u);
  std::optional<JsonDocument> ticket = JsonDocument::Parse(tickets[0].body);
  ASSERT_TRUE(ticket);
  EXPECT_EQ(ticket->root().Get("contact_type").String(), "mobile");
  EXPECT_EQ(ticket->root().Get("mobile").String(), "+1 555 0100");
  EXPECT_EQ(ticket->root().Get("product_id").Integer(), 1001);
  EXPECT_EQ(ticket->root().Get("ticket_form_id").Integer(), 10310875932697);
  EXPECT_EQ(ticket->root().Get("attachment").At(0).Get("token").String(), "att-" + std::to_string(uploads[0].id));
  EXPECT_THAT(Hosts("ticket"), ElementsAre("127.0.0.1", "127.0.0.2"));
}

TEST_F(SupportServerTest, RetentionOfferIsQueriedAndApplied) {
  RetentionOffer value_offer;
  ASSERT_TRUE(LoadRetentionOfferFor(value_offer, "Quorvane", "1001", "", GetSelfVersion())) << log_.All();
  EXPECT_EQ(value_offer.GetOfferType(), 1);  // the demo's value offer
  EXPECT_FALSE(value_offer.GetOfferTitle().empty());
  const auto queries = server_.Requests("offer");
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0].local_address, "127.0.0.1");

  server_.SetRetentionOffer(product_server::RetentionOfferEntry{42, 2, "", "A free month"});
  RetentionOffer benefits;
  ASSERT_TRUE(benefits.QueryRetentionOffer(1001, "2.5.0.1", GetClientSign("Quorvane"), "4.6.4"));
  EXPECT_EQ(benefits.GetOfferType(), 2);
  EXPECT_EQ(benefits.GetOfferContent(), "A free month");
  EXPECT_EQ(benefits.ApplyRetentionBenefit("user@example.com"), 0);
  EXPECT_EQ(benefits.ApplyRetentionBenefit("user@example.com"), 366001);
  ASSERT_EQ(server_.OfferApplies().size(), 1u);
  EXPECT_EQ(server_.OfferApplies()[0].offer_id, "42");
  EXPECT_EQ(server_.OfferApplies()[0].email, "user@example.com");

  server_.SetRetentionOffer(std::nullopt);
  RetentionOffer none;
  EXPECT_FALSE(none.QueryRetentionOffer(1001, "", "s", "4.6.4"));
  EXPECT_EQ(log_.Count("[ERROR] query retention strategy failed!"), 0);
}

}  // namespace
}  // namespace oru::testing
