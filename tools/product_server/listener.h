#pragma once
// One listening address of the product server: cpp-httplib does the HTTP,
// while the connection itself is ours, so that
//  - every request header line is kept in arrival order (the library only
//    keeps them sorted by name), and
//  - ranges are judged by the server's own rules (the library would answer
//    a malformed Range with 416 before any handler sees the request),
//  - multipart bodies reach the handler whole (the library would split
//    them into parts; the upload services parse them themselves),
//  - HTTPS runs through our own OpenSSL context.
// Each connection carries one request. Reads and writes wait in short
// slices and give up when the server stops, so Stop never hangs on a client.

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "product_server/server_store.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace oru::product_server {

// The head of the request being served, as it arrived.
struct RequestHead {
  HeaderLines headers;  // every header line in arrival order, names as sent
  std::string range;    // value of the Range header (hidden from the library); empty when none
};

class Listener : public httplib::Server {
 public:
  // `tls` (not owned, must outlive the listener) makes it HTTPS; nullptr
  // serves plain HTTP. Connections end soon after `stopping` turns true.
  Listener(SSL_CTX* tls, const std::atomic<bool>& stopping, std::chrono::milliseconds io_timeout);

  // The head of the request the calling thread is serving; nullptr outside
  // a handler.
  static const RequestHead* Current();

 private:
  bool process_and_close_socket(socket_t sock) override;

  SSL_CTX* tls_;
  const std::atomic<bool>& stopping_;
  std::chrono::milliseconds io_timeout_;
};

}  // namespace oru::product_server
