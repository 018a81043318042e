#pragma once
// A sandbox for whole runs of the built binaries: every location the
// installer uses points into one folder, so a run never touches the real
// system's registry, disks or documents.

#include <map>
#include <memory>
#include <string>

#include "support/child_process.h"

namespace oru::testing {

// Creates the sandbox folders under `dir` and returns the ORU_* variables
// that point the installer at them (temp, registry, locks, disks, documents,
// program files, desktop, local app data, resource overrides).
std::map<std::string, std::string> SandboxEnvironment(const std::string& dir);

// The resource override folder of the sandbox (files "XML_106", ...).
std::string SandboxResourceDir(const std::string& dir);

// The shipped demo product XML with its demo server addresses
// (127.0.0.1:18080, 127.0.0.2:18080) moved to `port`.
std::string DemoProductXmlForPort(int port);

// Starts the product server `server_bin` with the demo product on a free
// port of 127.0.0.1 and 127.0.0.2, its store and packages under `dir`.
// Sets *port to that port, 0 when the server did not come up (the test
// has failed then).
std::unique_ptr<ChildProcess> StartDemoProductServer(const std::string& server_bin, const std::string& dir, int* port);

}  // namespace oru::testing
