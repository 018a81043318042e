#pragma once
// A real nginx (/usr/sbin/nginx, Debian nginx-light or nginx) serving a folder
// on a free loopback port, for realistic package serving and benchmarks.
//
//   NginxServer nginx(NginxOptions().Root(dir.path()).LimitRate("2m"));
//   if (!nginx.running()) GTEST_SKIP() << nginx.skip_reason();
//   fetch nginx.Url("/pkg.bin") ...
//
// A per-connection rate for stragglers (every connection whose number ends in
// 0 or 5 is slow):
//   NginxOptions().Root(dir.path())
//       .HttpDirectives("map $connection $r { ~[05]$ 128k; default 20m; }")
//       .LocationDirectives("limit_rate $r;")
//
// nginx runs in the foreground as one process (no master/worker split, so it
// reads the folder as the current user, root or not), with its config, pid,
// logs and temporary folders inside a temporary folder of the fixture.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace oru::testing {

class ChildProcess;
class ScopedTempDir;

struct NginxOptions {
  std::string root;                 // folder served at "/"
  std::string address = "127.0.0.1";
  std::string limit_rate;           // e.g. "512k": "limit_rate 512k;" for every connection
  std::string http_directives;      // text inserted at http{} level (maps, ...)
  std::string location_directives;  // text inserted into "location /" (limit_rate $r; ...)
  std::string nginx_path = "/usr/sbin/nginx";

  NginxOptions& Root(std::string v) { root = std::move(v); return *this; }
  NginxOptions& Address(std::string v) { address = std::move(v); return *this; }
  NginxOptions& LimitRate(std::string v) { limit_rate = std::move(v); return *this; }
  NginxOptions& HttpDirectives(std::string v) { http_directives = std::move(v); return *this; }
  NginxOptions& LocationDirectives(std::string v) { location_directives = std::move(v); return *this; }
  NginxOptions& NginxPath(std::string v) { nginx_path = std::move(v); return *this; }
};

class NginxServer {
 public:
  // Writes the config and starts nginx on a free port; returns once nginx
  // accepts connections (or failed: running() false, skip_reason() says why).
  explicit NginxServer(NginxOptions options);
  // Stops nginx (SIGTERM, then SIGKILL after a bound) and removes the folder.
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  bool running() const { return running_; }
  // Why it is not running: nginx missing, config rejected, no port...
  const std::string& skip_reason() const { return skip_reason_; }
  uint16_t port() const { return port_; }
  // "http://<address>:<port>" and that + path (path starts with "/").
  std::string BaseUrl() const;
  std::string Url(const std::string& path) const;
  // The generated config text, and nginx's error and access logs so far
  // (access lines: "<connection> <request> <status> <bytes> <range>").
  const std::string& config() const { return config_; }
  std::string ErrorLog() const;
  std::string AccessLog() const;

 private:
  bool StartOnce(uint16_t port);

  NginxOptions options_;
  std::unique_ptr<ScopedTempDir> dir_;
  std::unique_ptr<ChildProcess> child_;
  std::string config_;
  std::string skip_reason_;
  uint16_t port_ = 0;
  bool running_ = false;
};

}  // namespace oru::testing
