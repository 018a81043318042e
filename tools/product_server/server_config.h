#pragma once
// What the reference product server serves: one JSON file describes the
// server (addresses, TLS, store, packages) and every product it answers for.
// The format is documented in docs/product_server.md and by
// `oru-product-server --help`.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace oru::product_server {

// Ordered element name -> text pairs (runtime values, one bind item).
using ElementList = std::vector<std::pair<std::string, std::string>>;

struct TlsFiles {
  std::string cert_path;  // PEM certificate chain
  std::string key_path;   // PEM private key
};

struct HttpDnsSettings {
  // The account a signed query must carry; when account_id is empty
  // queries are answered without checking their signature.
  std::string account_id;
  std::string access_key_id;
  std::string signing_secret;
  // When above 0, a query whose "ts" is further than this from the server's
  // clock is refused.
  std::chrono::seconds max_clock_skew{0};
  // Host name (lower case) -> the address texts answered for it.
  std::map<std::string, std::vector<std::string>> answers;
};

struct ProductEntry {
  int32_t product_id = 0;
  // Children of qvrp/downloader/runtime, in this order. Values may hold the
  // placeholders of ExpandPlaceholders.
  ElementList runtime;
  // One ElementList per qvrp/downloader/bind/item.
  std::vector<ElementList> bind;
  std::vector<int64_t> relation_ids;
  // The "data" member of the preheat and slice answers as compact JSON;
  // empty: the answer has no "data" (the installer keeps its defaults).
  std::string preheat_data;
  std::string slice_data;
  std::vector<std::string> alias_hosts;
  // "<AppID>_<Channel>" names served as <any path>/xml/<name>.xml.
  std::vector<std::string> static_documents;
};

// The retention offer answered by the recovery service.
struct RetentionOfferEntry {
  int64_t id = 0;
  int32_t type = 0;  // 1: a value offer
  std::string title;
  std::string content;
};

struct ServerConfig {
  std::vector<std::string> listen = {"127.0.0.1"};
  uint16_t port = 0;  // 0: a free port, the same on every address
  std::optional<TlsFiles> tls;
  std::string store_path = ":memory:";  // SQLite file
  std::string package_dir;              // empty: no packages
  std::string public_ip;                // answered by /ip and /myip
  int threads_per_address = 48;
  bool admin_enabled = true;  // the /__admin/ switches
  // Paths (exact) answered by the analytics collector ("collect").
  std::vector<std::string> collector_paths = {"/sa"};

  // Client credentials the token service accepts.
  std::string app_key = "3f0a9c1e7b2d4e6f8a0b1c2d.demo";
  std::string app_secret = "Wj7sLd2QhRv9NcTe5BxKp3ZyAm8GuFo6Iq";
  std::chrono::seconds token_lifetime{7200};
  // Tokens accepted without being issued (they never expire).
  std::vector<std::string> tokens;

  HttpDnsSettings http_dns;
  // Page name -> title of /pages/<name>; other names get a plain page.
  std::map<std::string, std::string> pages;
  std::map<int32_t, ProductEntry> products;
  // nullopt: the recovery service answers "data":null.
  std::optional<RetentionOfferEntry> retention_offer;
};

// The element names a runtime document may carry, and those of a bind item.
const std::vector<std::string>& RuntimeElementNames();
const std::vector<std::string>& BindElementNames();

// Parses a configuration text. Relative file paths in it (TLS files, store,
// package folder) are taken relative to `base_dir` when that is not empty.
// On failure returns nullopt and sets *error to a message naming the place
// ("products.1001.runtime.dowload_url: not a runtime element").
std::optional<ServerConfig> ParseServerConfig(const std::string& text, const std::string& base_dir,
                                              std::string* error);

// Reads and parses a configuration file (relative paths are relative to its
// folder); nullopt with *error ("<path>: ...") on failure.
std::optional<ServerConfig> LoadServerConfigFile(const std::string& path, std::string* error);

// The built-in demo: product 1001 "Quorvane Studio" with its dependents
// 1002 and 1003, packages from `package_dir`, on 127.0.0.1 and 127.0.0.2,
// port 18080, with a value offer (type 1) for the recovery service.
ServerConfig DemoConfig(const std::string& package_dir);

// True for a text usable as one file or page name: not empty, not "." or
// "..", at most 255 bytes, no "/" or "\", no control characters.
bool IsSafeName(const std::string& name);

}  // namespace oru::product_server
