#pragma once
// A sandboxed machine and a running product server for orchestrator tests:
// every location points into a temporary folder, the demo product XML is
// given through the resource override folder with the server's port, and
// the process-wide records start fresh.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.h"
#include "orchestrator/oru_mgr.h"
#include "platform/file_util.h"
#include "platform/locations.h"
#include "platform/system_info.h"
#include "product_server/product_server.h"
#include "product_server/server_config.h"
#include "server_api/service_endpoints.h"
#include "server_api/strategy_services.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"
#include "telemetry/installer_analytics.h"
#include "telemetry/report_store.h"

namespace oru::testing {

// A clock whose waits return at once and are remembered.
class RecordingClock final : public Clock {
 public:
  WallTime Now() const override { return WallTime(std::chrono::seconds(1767225600)); }
  Ticks NowTicks() const override { return Ticks(0); }
  bool SleepFor(std::chrono::milliseconds duration, std::stop_token) override {
    sleeps.push_back(duration);
    return true;
  }
  std::vector<std::chrono::milliseconds> sleeps;
};

inline void ReplaceAllIn(std::string& text, const std::string& from, const std::string& to) {
  for (size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos + to.size())) {
    text.replace(pos, from.size(), to);
  }
}

// Sets one element's text of the product XML ("<Name>...</Name>", first one).
inline void SetElement(std::string& xml, const std::string& name, const std::string& value) {
  size_t open = xml.find("<" + name + ">");
  size_t close = xml.find("</" + name + ">");
  ASSERT_NE(open, std::string::npos) << name;
  ASSERT_NE(close, std::string::npos) << name;
  open += name.size() + 2;
  xml.replace(open, close - open, value);
}

class OrchestratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Locations loc;
    loc.temp_dir = Folder("tmp");
    loc.registry_dir = Folder("registry");
    loc.lock_dir = Folder("locks");
    loc.program_files = Folder("programs");
    loc.program_files_x86 = Folder("programs_x86");
    loc.common_documents = Folder("documents");
    loc.local_app_data = Folder("local_app_data");
    loc.desktop = Folder("desktop");
    loc.system_root = "/";
    loc.windows_dir = "/";
    loc.system_dir = "/usr/bin";
    loc.disk_roots = {Folder("disk_d")};
    loc.resource_dir = Folder("resources");
    SetProcessLocationsForTesting(loc);
    locations_ = loc;
    MachineFacts facts;  // a 64-bit x64 machine
    SetMachineFactsForTesting(facts);
    SetServiceEndpoints(DefaultServiceEndpoints());
    ResetStrategyCachesForTesting();
    ReportStore::Instance().ResetForTesting();
    // Events of earlier tests wait in the analytics layer until it is set up.
    ResetAnalyticsForTesting();
    OruMgr::Instance().ResetForTesting();
    OruMgr::Instance().SetClock(&clock_);

    // Small stand-ins for the demo packages, so the server has digests.
    std::string packages = Folder("packages");
    for (const char* name : {"QuorvaneStudioSetup_x86.exe", "QuorvaneStudioSetup_x64.exe",
                             "QuorvaneStudioSetup_arm64.exe", "QuorvaneLaunchDeckSetup.exe", "QuorvaneHelperSetup.exe"}) {
      ASSERT_TRUE(WriteFileAtomically(packages + name, std::string("package ") + name));
    }
    product_server::ServerConfig config = product_server::DemoConfig(packages);
    config.port = 0;
    std::string error;
    ASSERT_TRUE(server_.Start(config, &error)) << error;
    port_ = server_.port();
    xml_ = ReadFileForTesting(std::string(ORU_SOURCE_DIR) + "/resources/product.xml");
    ReplaceAllIn(xml_, "127.0.0.1:18080", "127.0.0.1:" + std::to_string(port_));
    ReplaceAllIn(xml_, "127.0.0.2:18080", "127.0.0.2:" + std::to_string(port_));
    WriteProductXml();
  }

  void TearDown() override {
    ResetAnalyticsForTesting();
    server_.Stop();
    OruMgr::Instance().ResetForTesting();
    ReportStore::Instance().ResetForTesting();
    SetServiceEndpoints(DefaultServiceEndpoints());
    ResetStrategyCachesForTesting();
  }

  std::string Folder(const std::string& name) {
    std::string path = dir_.path() + "/" + name + "/";
    CreateDirectoryLevels(path);
    return path;
  }

  void WriteProductXml() { ASSERT_TRUE(WriteFileAtomically(locations_.resource_dir + "XML_106", xml_)); }

  std::string Primary() const { return "http://127.0.0.1:" + std::to_string(port_); }

  ScopedTempDir dir_;
  Locations locations_;
  RecordingClock clock_;
  LogCapture log_;
  product_server::ProductServer server_;
  int port_ = 0;
  std::string xml_;
};

}  // namespace oru::testing
