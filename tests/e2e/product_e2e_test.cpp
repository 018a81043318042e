// Whole runs of the installer against the reference product server.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <httplib.h>

#include <filesystem>

#include "e2e/e2e_sandbox.h"
#include "platform/file_util.h"
#include "support/child_process.h"
#include "support/scoped_temp_dir.h"

namespace oru {
namespace {

using testing::ChildOptions;
using testing::ChildProcess;
using testing::ReadFileForTesting;
using testing::ScopedTempDir;
using testing::WaitUntil;

class ProductE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = testing::SandboxEnvironment(dir_.path());
    resources_ = testing::SandboxResourceDir(dir_.path());
  }

  // Starts the demo product server on a free port of 127.0.0.1 and
  // 127.0.0.2 and returns that port (0 on failure).
  int StartProductServer() {
    int port = 0;
    server_ = testing::StartDemoProductServer(ORU_PRODUCT_SERVER_BIN, dir_.path(), &port);
    return port;
  }

  ChildOptions Installer(std::vector<std::string> args = {}) {
    ChildOptions o;
    o.argv = {std::string(ORU_BIN_DIR) + "/oru"};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.env = env_;
    o.output_dir = dir_.path();
    return o;
  }

  std::string Log() {
    std::string path = dir_.Child("Quorvane/ORU/qvORU.log");
    return PathExists(path) ? ReadFileForTesting(path) : std::string();
  }

  ScopedTempDir dir_;
  std::map<std::string, std::string> env_;
  std::string resources_;
  std::unique_ptr<ChildProcess> server_;
};

TEST_F(ProductE2eTest, DemoProductLoadsAnnouncesAndKeepsRunning) {
  if (geteuid() != 0) GTEST_SKIP() << "a full run needs administrator rights (root)";
  int port = StartProductServer();
  ASSERT_NE(port, 0);
  ASSERT_TRUE(WriteFileAtomically(resources_ + "/XML_106", testing::DemoProductXmlForPort(port)));

  ChildProcess oru(Installer());
  ASSERT_TRUE(WaitUntil([&] { return Log().find("[INFO] MessageLoop\n") != std::string::npos; })) << Log();
  std::string log = Log();
  size_t pos = 0;
  for (const char* line : {"[INFO] start, fork=[0].", "[INFO] LoadLocalXml", "[INFO] config folder=[",
                           "[INFO] LoadLocalXml, EnableCustomStrategy=[", "[INFO] LoadLocalXml, dependent.item pid=[1002].",
                           "[INFO] LoadLocalXml, dependent.item pid=[1003].", "[INFO] post info ok.",
                           "[INFO] ReadRunConfig", "[INFO] loadLangXML", "[INFO] MessageLoop\n"}) {
    size_t found = log.find(line, pos);
    ASSERT_NE(found, std::string::npos) << line << " in order in\n" << log;
    pos = found;
  }
  EXPECT_EQ(log.find("[ERROR]"), std::string::npos) << log;
  EXPECT_FALSE(oru.Wait(std::chrono::milliseconds(300))) << "the installer keeps running";
  oru.Signal(SIGTERM);
  EXPECT_EQ(oru.Wait(), 0);

  // The server recorded the announcement, with the sign the installer
  // stored for this machine.
  httplib::Client admin("127.0.0.1", port);
  auto recorded = admin.Get("/__admin/requests?endpoint=series");
  ASSERT_TRUE(recorded) << "admin endpoint unreachable";
  EXPECT_NE(recorded->body.find("\"product_id\":1001"), std::string::npos) << recorded->body;
  EXPECT_NE(recorded->body.find("G}"), std::string::npos) << recorded->body;
}

TEST_F(ProductE2eTest, ProductXmlThatDoesNotParseIsRefusedAndNotPacked) {
  if (geteuid() != 0) GTEST_SKIP() << "a full run needs administrator rights (root)";
  const std::string broken = "<?xml version=\"1.0\"?><Product><ProductName>Broken</Product>";
  ASSERT_TRUE(WriteFileAtomically(resources_ + "/XML_106", broken));
  ChildProcess oru(Installer());
  EXPECT_EQ(oru.Wait(), 255);
  EXPECT_NE(oru.Stderr().find("Load product xml error."), std::string::npos) << oru.Stderr();
  EXPECT_NE(Log().find("[ERROR] LoadLocalXml err 3"), std::string::npos) << Log();
  EXPECT_NE(Log().find("[ERROR] LoadLocalXml failed!"), std::string::npos) << Log();

  std::string xml_file = dir_.Child("broken.xml");
  ASSERT_TRUE(WriteFileAtomically(xml_file, broken));
  ChildOptions pack;
  pack.argv = {ORU_PACK_BIN, "--installer", std::string(ORU_BIN_DIR) + "/oru", "--out", dir_.Child("branded"),
               "--product-xml", xml_file};
  pack.output_dir = dir_.Child("pack_out");
  std::filesystem::create_directories(pack.output_dir);
  ChildProcess packer(pack);
  EXPECT_NE(packer.Wait(), 0);
  EXPECT_FALSE(PathExists(dir_.Child("branded"))) << "nothing is written for a refused product XML";
  EXPECT_NE(packer.Stderr().find("broken.xml"), std::string::npos) << packer.Stderr();
}

// A branded copy carries its own product XML, which wins over the built-in.
TEST_F(ProductE2eTest, PackedInstallerRunsWithItsOwnProductXml) {
  if (geteuid() != 0) GTEST_SKIP() << "a full run needs administrator rights (root)";
  std::string xml = testing::DemoProductXmlForPort(1);
  size_t at = xml.find("<ProductID>1002</ProductID>");
  ASSERT_NE(at, std::string::npos);
  xml.replace(at, std::string("<ProductID>1002</ProductID>").size(), "<ProductID>2002</ProductID>");
  std::string xml_file = dir_.Child("branded.xml");
  ASSERT_TRUE(WriteFileAtomically(xml_file, xml));
  std::string branded = dir_.Child("BrandedSetup");
  ChildOptions pack;
  pack.argv = {ORU_PACK_BIN, "--installer", std::string(ORU_BIN_DIR) + "/oru", "--out", branded,
               "--product-xml", xml_file};
  pack.output_dir = dir_.Child("pack_out");
  std::filesystem::create_directories(pack.output_dir);
  ChildProcess packer(pack);
  ASSERT_EQ(packer.Wait(), 0) << packer.Stderr();

  ChildOptions run = Installer();
  run.argv[0] = branded;
  ChildProcess oru(run);
  ASSERT_TRUE(WaitUntil([&] { return Log().find("[INFO] MessageLoop\n") != std::string::npos; })) << Log();
  EXPECT_NE(Log().find("[INFO] LoadLocalXml, dependent.item pid=[2002]."), std::string::npos) << Log();
  oru.Signal(SIGTERM);
  EXPECT_EQ(oru.Wait(), 0);
}

}  // namespace
}  // namespace oru
