#include "app/startup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "orchestrator/oru_mgr.h"
#include "platform/file_util.h"
#include "platform/locations.h"
#include "platform/single_instance.h"
#include "server_api/service_endpoints.h"
#include "telemetry/report_store.h"
#include "support/scoped_temp_dir.h"
#include "support/test_clock.h"

namespace oru {
namespace {

using testing::ReadFileForTesting;
using testing::ScopedTempDir;
using testing::TestClock;

// A front end whose window can fail the ways a real toolkit can; it quits
// the loop as soon as it is shown so a run ends without a user.
class FakeFrontEnd final : public ui::FrontEnd {
 public:
  explicit FakeFrontEnd(Clock& clock) : loop_(clock) {}

  bool construct_fails = false;
  ui::WindowId id_to_return = 0x2a;
  std::vector<std::string> boxes;     // "caption|text"
  std::vector<std::string> events;    // what happened to the window

  ui::MessageLoop& loop() override { return loop_; }

  std::unique_ptr<ui::MainWindow> ConstructMainWindow() override {
    if (construct_fails) return nullptr;
    return std::make_unique<Window>(*this);
  }

  int ShowMessageBox(const std::string& text, const std::string& caption, ui::MessageBoxIcon) override {
    boxes.push_back(caption + "|" + text);
    return 1;
  }

 private:
  class Window final : public ui::MainWindow {
   public:
    explicit Window(FakeFrontEnd& owner) : owner_(owner) {}
    ~Window() override { owner_.events.push_back("destroyed"); }
    ui::WindowId Create(const ui::WindowSpec& spec) override {
      owner_.events.push_back("create " + spec.class_name + " " + std::to_string(spec.width) + "x" +
                              std::to_string(spec.height));
      return owner_.id_to_return;
    }
    void CenterOnScreen() override {}
    void Show(bool visible) override {
      owner_.events.push_back(visible ? "shown" : "hidden");
      owner_.loop_.Quit(0);
    }
    void Activate() override { owner_.events.push_back("activated"); }

   private:
    FakeFrontEnd& owner_;
  };

  ui::MessageLoop loop_;
};

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OruMgr::Instance().ResetForTesting();
    ReportStore::Instance().ResetForTesting();
    SetServiceEndpoints(DefaultServiceEndpoints());
  }
  void TearDown() override {
    SetProcessLog(nullptr);
    OruMgr::Instance().ResetForTesting();
  }

  int Run(FakeFrontEnd& front_end, std::vector<std::string> args, bool admin = true) {
    StartupServices services;
    services.front_end = &front_end;
    services.clock = &clock_;
    services.locations = SandboxLocations();
    services.is_administrator = [admin] { return admin; };
    args.insert(args.begin(), "/opt/oru");
    return RunInstaller(args, services);
  }

  // Every location inside the test folder; the shipped demo product XML
  // with its product API on a port where nothing listens.
  Locations SandboxLocations() {
    Locations loc;
    loc.temp_dir = dir_.path() + "/";
    loc.lock_dir = dir_.path() + "/locks/";
    for (const char* name : {"registry", "disk", "documents", "programs", "resources"}) {
      CreateDirectoryLevels(dir_.path() + "/" + name);
    }
    loc.registry_dir = dir_.path() + "/registry/";
    loc.disk_roots = {dir_.path() + "/disk/"};
    loc.common_documents = dir_.path() + "/documents/";
    loc.program_files = loc.program_files_x86 = dir_.path() + "/programs/";
    loc.system_root = loc.windows_dir = "/";
    loc.resource_dir = dir_.path() + "/resources/";
    std::string xml = ReadFileForTesting(std::string(ORU_SOURCE_DIR) + "/resources/product.xml");
    for (const char* host : {"127.0.0.1:18080", "127.0.0.2:18080"}) {
      for (size_t pos = xml.find(host); pos != std::string::npos; pos = xml.find(host)) {
        xml.replace(pos, std::string(host).size(), "127.0.0.1:1");
      }
    }
    if (!PathExists(loc.resource_dir + "XML_106")) WriteFileAtomically(loc.resource_dir + "XML_106", xml);
    SetProcessLocationsForTesting(loc);
    return loc;
  }

  std::string LogText(const char* name = "qvORU.log") {
    return ReadFileForTesting(dir_.path() + "/Quorvane/ORU/" + name);
  }

  ScopedTempDir dir_;
  TestClock clock_;
};

TEST_F(StartupTest, NormalRunGoesThroughTheLoopAndExitsZero) {
  FakeFrontEnd fe(clock_);
  EXPECT_EQ(Run(fe, {}), 0);
  std::string log = LogText();
  size_t pos = 0;
  for (const char* line : {"[INFO] start, fork=[0].", "[INFO] OruWnd handle=[2a]", "[INFO] MessageLoop\n",
                           "[INFO] MessageLoop end", "[INFO] exit!"}) {
    size_t found = log.find(line, pos);
    ASSERT_NE(found, std::string::npos) << line << " in order in\n" << log;
    pos = found;
  }
  EXPECT_EQ(fe.events, (std::vector<std::string>{"create ORU 500x400", "shown", "destroyed"}));
  EXPECT_EQ(OruMgr::Instance().main_window(), 0x2au);
  EXPECT_TRUE(fe.boxes.empty());
}

TEST_F(StartupTest, RefusesWithoutAdministratorRights) {
  struct Case {
    std::vector<std::string> args;
    const char* log_name;
    size_t boxes;
  };
  const Case cases[] = {{{}, "qvORU.log", 1}, {{"OnlyForkInstallDependent=1"}, "qvForkORU.log", 0}};
  for (const Case& c : cases) {
    FakeFrontEnd fe(clock_);
    EXPECT_EQ(Run(fe, c.args, /*admin=*/false), -1);
    EXPECT_NE(LogText(c.log_name).find("[ERROR] You must be logged in as administrator when installing this program."),
              std::string::npos);
    ASSERT_EQ(fe.boxes.size(), c.boxes) << c.log_name;
    if (c.boxes) {
      EXPECT_EQ(fe.boxes[0], "Error|You must be logged in as administrator when installing this program.");
    }
    EXPECT_TRUE(fe.events.empty()) << "no window for a refused run";
  }
}

TEST_F(StartupTest, ConfigurationThatDoesNotLoadIsRefused) {
  struct Case {
    const char* file;
    const char* contents;
    const char* log_line;
    const char* box;
  };
  const Case cases[] = {
      {"XML_106", "<Product><ProductName>x</Product>", "[ERROR] LoadLocalXml failed!", "Error|Load product xml error."},
      {"XML_106", "", "[ERROR] LoadLocalXml failed!", "Error|Load product xml error."},
      {"XML_131", "<Texts></Texts>", "[ERROR] loadLangXML failed!", "Error|Load lang xml error."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.contents);
    SandboxLocations();
    ASSERT_TRUE(WriteFileAtomically(dir_.path() + "/resources/" + c.file, c.contents));
    FakeFrontEnd fe(clock_);
    EXPECT_EQ(Run(fe, {}), -1);
    EXPECT_NE(LogText().find(c.log_line), std::string::npos) << LogText();
    EXPECT_EQ(fe.boxes, std::vector<std::string>{c.box});
    EXPECT_TRUE(fe.events.empty()) << "no window for a refused run";
    // A fork copy refuses silently.
    FakeFrontEnd fork(clock_);
    EXPECT_EQ(Run(fork, {"OnlyForkInstallDependent=1"}), -1);
    EXPECT_TRUE(fork.boxes.empty());
    RemoveFile(dir_.path() + "/resources/" + c.file);
  }
}

TEST_F(StartupTest, ForkHostLanguageBecomesTheSelectedLanguage) {
  FakeFrontEnd fe(clock_);
  EXPECT_EQ(Run(fe, {"OnlyForkInstallDependent=1", "HostLang=Deutsch"}), 0);
  EXPECT_EQ(OruMgr::Instance().run_state().SelectLang, "Deutsch");
  EXPECT_NE(LogText("qvForkORU.log").find("[INFO] set select lang=[Deutsch]."), std::string::npos);
}

TEST_F(StartupTest, WindowFailuresRefuseAndReleaseTheInstance) {
  for (bool construct_fails : {true, false}) {
    FakeFrontEnd failing(clock_);
    failing.construct_fails = construct_fails;
    failing.id_to_return = 0;  // created without a handle
    EXPECT_EQ(Run(failing, {}), -1);
    EXPECT_NE(LogText().find("[ERROR] create OruWnd failed!"), std::string::npos);
    EXPECT_EQ(LogText().find("[INFO] MessageLoop"), std::string::npos);
    if (!construct_fails) {
      EXPECT_EQ(failing.events.back(), "destroyed");
    }

    // The refusal let go of the instance: the next start runs.
    FakeFrontEnd ok(clock_);
    EXPECT_EQ(Run(ok, {}), 0);
  }
}

TEST_F(StartupTest, SecondStartIsRefusedAndActivatesTheFirst) {
  ASSERT_TRUE(CreateDirectoryLevels(dir_.path() + "/locks"));
  // The first copy is simulated by holding its lock and listening.
  InstanceLockResult first = AcquireInstanceLock(dir_.path() + "/locks/", "Quorvane Studio_oru");
  ASSERT_EQ(first.status, InstanceLockStatus::kAcquired);
  std::atomic<int> activations{0};
  ASSERT_TRUE(first.lock->StartListening([&] { ++activations; }, nullptr));

  FakeFrontEnd second(clock_);
  EXPECT_EQ(Run(second, {}), -1);
  EXPECT_NE(LogText().find("[WARN] Already exist PreInstance."), std::string::npos);
  EXPECT_EQ(activations.load(), 1);
  EXPECT_TRUE(second.events.empty());

  // A fork-mode copy has its own instance and runs beside the first.
  FakeFrontEnd fork(clock_);
  EXPECT_EQ(Run(fork, {"OnlyForkInstallDependent=1"}), 0);
  EXPECT_EQ(fork.events, (std::vector<std::string>{"create ORU 500x400", "hidden", "destroyed"}));
  EXPECT_EQ(activations.load(), 1);
}

TEST_F(StartupTest, ForkModeTakesHostFacts) {
  struct Case {
    const char* hwnd_arg;
    const char* log_line;
    int32_t stored;
  };
  const Case cases[] = {
      {"HostHwnd=4660", "[INFO] set host hwnd=[1234].", 4660},
      {"HostHwnd=12ab", "[WARN] ignore host hwnd=[12ab], not a decimal 32-bit number.", 0},
      {"HostHwnd=4294967296", "[WARN] ignore host hwnd=[4294967296], not a decimal 32-bit number.", 0},
  };
  for (const Case& c : cases) {
    OruMgr::Instance().ResetForTesting();
    FakeFrontEnd fe(clock_);
    EXPECT_EQ(Run(fe, {"OnlyForkInstallDependent=1", "HostLang=Deutsch", "HostVersion=13.1", c.hwnd_arg}), 0)
        << "the fork run continues";
    EXPECT_NE(LogText("qvForkORU.log").find(c.log_line), std::string::npos) << c.log_line;
    EXPECT_EQ(OruMgr::Instance().host_hwnd(), c.stored);
    EXPECT_EQ(OruMgr::Instance().host_language(), "Deutsch");
    EXPECT_EQ(OruMgr::Instance().host_version(), "13.1");
  }
}

TEST_F(StartupTest, HostFactsAreIgnoredOutsideForkMode) {
  FakeFrontEnd fe(clock_);
  EXPECT_EQ(Run(fe, {"OnlyForkInstallDependent=2", "HostLang=Deutsch", "HostHwnd=4660"}), 0);
  EXPECT_FALSE(OruMgr::Instance().IsForkMode());
  EXPECT_EQ(OruMgr::Instance().host_hwnd(), 0);
  EXPECT_EQ(OruMgr::Instance().host_language(), "");
  EXPECT_EQ(LogText().find("host hwnd"), std::string::npos);
}

}  // namespace
}  // namespace oru
