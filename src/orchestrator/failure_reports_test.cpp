#include <gtest/gtest.h>

#include "orchestrator/orchestrator_test_fixture.h"
#include "orchestrator/oru_mgr.h"

namespace oru::testing {
namespace {

class FailureReportsTest : public OrchestratorTest {
 protected:
  void SetUp() override {
    OrchestratorTest::SetUp();
    ASSERT_TRUE(OruMgr::Instance().LoadLocalXml());
    std::string logs = Folder("tmp/Quorvane/ORU");
    ASSERT_TRUE(WriteFileAtomically(logs + "qvORU.log", "[INFO] start, fork=[0].\n"));
  }
};

TEST_F(FailureReportsTest, OneReportPerDistinctFailureCodeWithItsRemark) {
  OruMgr& mgr = OruMgr::Instance();
  EXPECT_TRUE(mgr.ReportDownloadFailure(12));
  EXPECT_FALSE(mgr.ReportDownloadFailure(12));
  EXPECT_FALSE(mgr.ReportDownloadFailure(12));
  EXPECT_TRUE(mgr.ReportDownloadFailure(13));
  // An install exit code 12 is another failure than the download code 12.
  std::string package_log = Folder("tmp") + "setup.log";
  ASSERT_TRUE(WriteFileAtomically(package_log, "package log"));
  EXPECT_TRUE(mgr.ReportInstallFailure(12, package_log));
  EXPECT_FALSE(mgr.ReportInstallFailure(12, package_log));

  auto reports = server_.LogReports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_NE(reports[0].body.find("\"remark\":\"pid=1001, download err=12\""), std::string::npos) << reports[0].body;
  EXPECT_NE(reports[1].body.find("\"remark\":\"pid=1001, download err=13\""), std::string::npos) << reports[1].body;
  EXPECT_NE(reports[2].body.find("\"remark\":\"pid=1001, install err=12\""), std::string::npos) << reports[2].body;
  // Download reports carry the installer's log; the install report also the package's.
  auto uploads = server_.Uploads("log");
  ASSERT_EQ(uploads.size(), 4u);
  EXPECT_EQ(uploads[0].file_name, "qvORU.log");
  EXPECT_EQ(uploads[3].file_name, "setup.log");
  EXPECT_EQ(uploads[3].content, "package log");
  // The log service files reports under the installer's own product id.
  EXPECT_EQ(uploads[0].Header("X-Prod-Id"), "14424");
}

TEST_F(FailureReportsTest, PreparationReadsTheRunsRetentionOffer) {
  product_server::RetentionOfferEntry offer;
  offer.id = 77;
  offer.type = 2;
  offer.content = "Free membership benefits";
  server_.SetRetentionOffer(offer);
  OruMgr& mgr = OruMgr::Instance();
  mgr.PrepareDown();
  EXPECT_EQ(mgr.retention_offer().GetOfferType(), 2);
  EXPECT_EQ(mgr.retention_offer().GetOfferId(), 77);
  EXPECT_EQ(mgr.retention_offer().GetOfferContent(), "Free membership benefits");
  auto queries = server_.Requests("offer");
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0].query, "version=4.6.4");
  EXPECT_EQ(mgr.retention_offer().ApplyRetentionBenefit("user@example.org"), 0);
  EXPECT_EQ(server_.OfferApplies().size(), 1u);
}

}  // namespace
}  // namespace oru::testing
