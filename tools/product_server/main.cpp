// oru-product-server: runs the reference product server until SIGINT or
// SIGTERM.

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/termination_signal.h"
#include "product_server/product_server.h"
#include "product_server/server_options.h"

namespace {

using oru::product_server::ProductServer;

int Serve(const oru::product_server::ServerConfig& config) {
  std::mutex mutex;
  std::condition_variable signalled;
  int signal_number = 0;
  oru::TerminationSignalWatcher watcher([&](int signo) {
    std::lock_guard lock(mutex);
    signal_number = signo;
    signalled.notify_all();
  });
  if (!watcher.ok()) {
    std::fprintf(stderr, "oru-product-server: cannot watch for SIGINT and SIGTERM\n");
    return 1;
  }
  ProductServer server;
  std::string error;
  if (!server.Start(config, &error)) {
    std::fprintf(stderr, "oru-product-server: %s\n", error.c_str());
    return 1;
  }
  for (const std::string& url : server.base_urls()) std::printf("listening on %s\n", url.c_str());
  std::printf("store: %s\n", server.store_path().c_str());
  std::printf("packages: %s\n", config.package_dir.empty() ? "(none)" : config.package_dir.c_str());
  std::fflush(stdout);
  {
    std::unique_lock lock(mutex);
    signalled.wait(lock, [&] { return signal_number != 0; });
  }
  // What this run served, so an operator sees the traffic without opening
  // the store.
  std::vector<oru::product_server::RequestRecord> served = server.Requests();
  std::printf("served %zu request(s):\n", served.size());
  for (const auto& r : served) {
    std::printf("  %s %s%s%s [%s] %d\n", r.method.c_str(), r.path.c_str(), r.query.empty() ? "" : "?",
                r.query.c_str(), r.endpoint.c_str(), r.status);
  }
  server.Stop();
  std::printf("stopped (signal %d)\n", signal_number);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  auto parsed = oru::product_server::ParseServerArguments(args, &error);
  if (!parsed) {
    std::fprintf(stderr, "oru-product-server: %s\n", error.c_str());
    return 2;
  }
  if (parsed->help) {
    std::fputs(oru::product_server::UsageText().c_str(), stdout);
    return 0;
  }
  auto config = oru::product_server::ConfigFromArguments(*parsed, &error);
  if (!config) {
    std::fprintf(stderr, "oru-product-server: %s\n", error.c_str());
    return 2;
  }
  return Serve(*config);
}
