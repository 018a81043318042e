#include "support/nginx_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/child_process.h"
#include "support/scoped_temp_dir.h"

namespace oru::testing {
namespace {

constexpr int kStartTries = 5;
constexpr auto kReadyTimeout = std::chrono::seconds(10);

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool MakeAddress(const std::string& address, uint16_t port, sockaddr_in* out) {
  *out = {};
  out->sin_family = AF_INET;
  out->sin_port = htons(port);
  return inet_pton(AF_INET, address.c_str(), &out->sin_addr) == 1;
}

// A port that is free on `address` right now (0 when none could be found).
uint16_t FreePort(const std::string& address) {
  sockaddr_in sa;
  if (!MakeAddress(address, 0, &sa)) return 0;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  socklen_t len = sizeof(sa);
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
    port = ntohs(sa.sin_port);
  }
  close(fd);
  return port;
}

bool Accepts(const std::string& address, uint16_t port) {
  sockaddr_in sa;
  if (!MakeAddress(address, port, &sa)) return false;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
  close(fd);
  return ok;
}

// Modules whose temporary folders must be moved into our folder (the
// compiled-in ones under /var/lib/nginx are not writable for everyone).
std::string TempPathDirectives(const std::string& nginx, const std::string& dir) {
  ChildProcess probe(ChildOptions{{nginx, "-V"}, {}, std::nullopt, dir});
  probe.Wait(std::chrono::seconds(10));
  std::string build = probe.Stderr() + probe.Stdout();
  std::string out = "  client_body_temp_path " + dir + "/body;\n";
  for (const char* module : {"proxy", "fastcgi", "uwsgi", "scgi"}) {
    if (build.find(std::string("--without-http_") + module + "_module") != std::string::npos) continue;
    out += std::string("  ") + module + "_temp_path " + dir + "/" + module + ";\n";
  }
  return out;
}

}  // namespace

NginxServer::NginxServer(NginxOptions options) : options_(std::move(options)) {
  if (access(options_.nginx_path.c_str(), X_OK) != 0) {
    skip_reason_ = options_.nginx_path + " is not installed (apt-get install -y nginx-light)";
    return;
  }
  std::error_code ec;
  if (options_.root.empty() || !std::filesystem::is_directory(options_.root, ec)) {
    skip_reason_ = "nginx root folder missing: " + options_.root;
    return;
  }
  options_.root = std::filesystem::absolute(options_.root, ec).string();
  dir_ = std::make_unique<ScopedTempDir>();
  for (int attempt = 0; attempt < kStartTries && !running_; ++attempt) {
    uint16_t port = FreePort(options_.address);
    if (port == 0) {
      skip_reason_ = "no free port on " + options_.address;
      return;
    }
    running_ = StartOnce(port);
  }
}

bool NginxServer::StartOnce(uint16_t port) {
  const std::string& dir = dir_->path();
  std::ostringstream conf;
  conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
       << "pid " << dir << "/nginx.pid;\nerror_log " << dir << "/error.log info;\n"
       << "events { worker_connections 1024; }\n"
       << "http {\n"
       << "  log_format oru '$connection \"$request\" $status $body_bytes_sent \"$http_range\"';\n"
       << "  access_log " << dir << "/access.log oru;\n"
       << TempPathDirectives(options_.nginx_path, dir)
       << "  default_type application/octet-stream;\n"
       << "  sendfile on;\n  tcp_nopush on;\n  keepalive_timeout 5;\n"
       << "  " << options_.http_directives << "\n"
       << "  server {\n"
       << "    listen " << options_.address << ":" << port << ";\n"
       << "    server_name _;\n"
       << "    root " << options_.root << ";\n"
       << "    location / {\n";
  if (!options_.limit_rate.empty()) conf << "      limit_rate " << options_.limit_rate << ";\n";
  conf << "      " << options_.location_directives << "\n    }\n  }\n}\n";
  config_ = conf.str();
  const std::string conf_path = dir + "/nginx.conf";
  std::ofstream(conf_path, std::ios::trunc) << config_;

  child_ = std::make_unique<ChildProcess>(ChildOptions{
      {options_.nginx_path, "-p", dir + "/", "-e", dir + "/error.log", "-c", conf_path}, {}, std::nullopt, dir});
  if (!child_->started()) {
    skip_reason_ = "cannot start " + options_.nginx_path;
    return false;
  }
  auto deadline = std::chrono::steady_clock::now() + kReadyTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (child_->Wait(std::chrono::milliseconds(0))) {
      skip_reason_ = "nginx exited: " + ErrorLog() + child_->Stderr();
      child_.reset();
      return false;
    }
    if (Accepts(options_.address, port)) {
      port_ = port;
      skip_reason_.clear();
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  skip_reason_ = "nginx did not accept connections in time: " + ErrorLog();
  child_.reset();
  return false;
}

NginxServer::~NginxServer() {
  if (child_) {
    child_->Signal(SIGTERM);
    child_->Wait(std::chrono::seconds(5));
    child_.reset();  // kills and reaps it if it is still there
  }
}

std::string NginxServer::BaseUrl() const { return "http://" + options_.address + ":" + std::to_string(port_); }
std::string NginxServer::Url(const std::string& path) const { return BaseUrl() + path; }
std::string NginxServer::ErrorLog() const { return dir_ ? ReadText(dir_->path() + "/error.log") : std::string(); }
std::string NginxServer::AccessLog() const { return dir_ ? ReadText(dir_->path() + "/access.log") : std::string(); }

}  // namespace oru::testing
