#include "e2e/e2e_sandbox.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "support/scoped_temp_dir.h"

namespace oru::testing {
namespace {

std::string Folder(const std::string& dir, const char* name) {
  std::string path = dir + "/" + name;
  std::filesystem::create_directories(path);
  std::filesystem::permissions(path, std::filesystem::perms::all);
  return path;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos + to.size())) {
    text.replace(pos, from.size(), to);
  }
}

}  // namespace

std::string SandboxResourceDir(const std::string& dir) { return Folder(dir, "resources"); }

std::map<std::string, std::string> SandboxEnvironment(const std::string& dir) {
  return {
      {"ORU_TEMP_DIR", dir},
      {"ORU_REGISTRY_DIR", Folder(dir, "registry")},
      {"ORU_LOCK_DIR", Folder(dir, "locks")},
      {"ORU_DISK_ROOTS", Folder(dir, "disk_c")},
      {"ORU_COMMON_DOCUMENTS", Folder(dir, "documents")},
      {"ORU_PROGRAM_FILES", Folder(dir, "programs")},
      {"ORU_PROGRAM_FILES_X86", Folder(dir, "programs_x86")},
      {"ORU_DESKTOP", Folder(dir, "desktop")},
      {"ORU_LOCAL_APP_DATA", Folder(dir, "local_app_data")},
      {"ORU_RESOURCE_DIR", SandboxResourceDir(dir)},
  };
}

std::string DemoProductXmlForPort(int port) {
  std::string xml = ReadFileForTesting(std::string(ORU_SOURCE_DIR) + "/resources/product.xml");
  ReplaceAll(xml, "127.0.0.1:18080", "127.0.0.1:" + std::to_string(port));
  ReplaceAll(xml, "127.0.0.2:18080", "127.0.0.2:" + std::to_string(port));
  return xml;
}

std::unique_ptr<ChildProcess> StartDemoProductServer(const std::string& server_bin, const std::string& dir, int* port) {
  ChildOptions o;
  o.argv = {server_bin, "--demo", "--listen", "127.0.0.1,127.0.0.2", "--port", "0",
            "--store", dir + "/server.sqlite", "--package-dir", dir + "/packages"};
  o.output_dir = dir + "/server_out";
  std::filesystem::create_directories(o.output_dir);
  auto server = std::make_unique<ChildProcess>(o);
  const std::string prefix = "http://127.0.0.1:";
  *port = 0;
  bool ready = WaitUntil([&] {
    std::string out = server->Stdout();
    size_t at = out.find(prefix);
    if (at == std::string::npos) return false;
    *port = std::atoi(out.c_str() + at + prefix.size());
    return *port > 0;
  });
  if (!ready) ADD_FAILURE() << "product server did not start: " << server->Stdout() << server->Stderr();
  return server;
}

}  // namespace oru::testing
