#include "product_server/server_options.h"

#include <algorithm>
#include <map>

namespace oru::product_server {
namespace {

constexpr const char* kUsage = R"(oru-product-server: the reference product server of the Quorvane online installer.

Usage:
  oru-product-server --config FILE [overrides]
  oru-product-server --demo [--package-dir DIR] [overrides]
  oru-product-server --help

Options:
  --config FILE         serve what the JSON configuration FILE describes
  --demo                serve the built-in demo product 1001 "Quorvane Studio"
                        (dependents 1002 and 1003) on 127.0.0.1 and 127.0.0.2,
                        port 18080
  --package-dir DIR     folder of the packages served under /packages/
  --listen A,B          listening addresses (several 127.0.0.x share one port)
  --port N              port for every address; 0 picks a free one
  --tls-cert F --tls-key F
                        serve HTTPS with this PEM certificate chain and key
  --store FILE          SQLite file that keeps every request and tracking
                        report (":memory:" keeps them for this run only)
  --help                this text

The server prints one base URL per address when it listens and stops cleanly
on SIGINT or SIGTERM.

Configuration file (JSON; relative paths are relative to the file's folder;
unknown settings are errors):
  {
    "listen": ["127.0.0.1", "127.0.0.2"],  "port": 18080,
    "tls": {"cert": "server.pem", "key": "server-key.pem"},
    "store": "received.sqlite",            "package_dir": "packages",
    "public_ip": "203.0.113.10",           "threads_per_address": 48,
    "admin": true,
    "credentials": {"app_key": "...", "app_secret": "..."},
    "token_lifetime_s": 7200,              "tokens": ["fixed-token"],
    "httpdns": {"account_id": "...", "access_key_id": "...", "signing_secret": "...",
                "max_clock_skew_s": 0,
                "answers": {"packages.example.test": ["127.0.0.1", "127.0.0.2"]}},
    "pages": {"thankyou": "Thank you"},
    "products": {
      "1001": {
        "runtime": {"name": "Quorvane Studio", "version": "5.2.0",
                    "download_url_x64": "{base}/packages/Setup_x64.exe",
                    "md5_64": "{md5:Setup_x64.exe}", "filesize": "{size:Setup_x64.exe}"},
        "bind": [{"ProductID": "1002", "Url_Down": "{base}/packages/Dep.exe"}],
        "relation_ids": [1002, 1003],
        "preheat": {"preheat_file_size_mb": 1, "max_probe_time_s": 3, "version": "v1", "hit_strategy": true},
        "slice": {"slice_count": 8, "concurrency": 4, "network_tier_label": "fast"},
        "alias_hosts": ["127.0.0.2:{port}"],
        "static_documents": ["AppID_Channel"]
      }
    },
    "retention_offer": {"id": 20240601, "type": 1, "title": "...", "content": "..."}
  }
  Runtime keys are the elements of qvrp/downloader/runtime, bind keys those of
  bind/item. Placeholders in runtime, bind and alias values: {base} (base URL
  of the first address), {base:N}, {port}, {md5:FILE} and {size:FILE} (a file
  of the package folder).

Endpoints (fault name in brackets):
  POST /v3/user/client/token                  [token]    access token
  POST /v1/product/series                     [series]   series announcement
  GET  /rest/v2/downloader/runtime/?product_id=  [runtime]  runtime XML
  GET  <any>/xml/<AppID>_<Channel>.xml        [runtime_static]
  GET  /v5/product/get-relation-pid/<pid>     [relation] needs a Bearer token
  GET  /v3/downloader/strategy/preheat?pid=   [preheat]  needs a Bearer token
  GET  /v3/downloader/strategy?pid=           [slice]    needs a Bearer token
  GET  /v5/product/download-alias-host?pid=   [alias]    needs a Bearer token
  GET  /resolve?type=1&short=1&uid=&ak=&name=&ts=&key=   [httpdns]
  GET  /ip, /myip                             [ip], [myip]  public address
  GET  /api/v1/prodweb/trk?pid=&os=Windows    [trackid]
  POST /rest/v2/downloader/track?client_sign= [track]    tracking report
  POST /sa                                    [collect]  analytics batches
  GET  /pages/<name>                          [page]     follow-up pages
  GET|HEAD /packages/<file>                   [package]  single Range, 206/416
  GET|HEAD /redirect/<n>/<path>               [redirect] n redirects to /<path>
  POST /v1/product/downloader/upload-log-file [logupload] multipart part "file"
  POST /v1/crm/ticket/file/upload             [ticketupload] multipart part "file"
  POST /v1/product/logs/whitelist             [whitelist] log whitelist
  POST /v1/product/logs/report                [logreport] log report (log uploads)
  POST /v1/support/tickets                    [ticket]   ticket (ticket uploads)
  GET  /v1/product/downloader/recovery?version=  [offer]  retention offer
  POST /v1/product/downloader/recovery/<id>/apply  [offerapply]  {"email":..}
  GET  /files/<id>                            [file]     a received file (admin on)
  The support services need a Bearer token as well.
  anything else                               [unknown]  404

Fault switches (also from code: ProductServer::SetFault):
  POST   /__admin/faults   {"endpoint":"package", "delay_ms":50, "status":503,
                            "garbage_body":true, "api_code":401,
                            "drop_after_bytes":1000, "times":1,
                            "address":"127.0.0.2", "ignore_range":true,
                            "wrong_length":12345}   (an object or a list)
  DELETE /__admin/faults[?endpoint=NAME]
  GET    /__admin/faults
  GET    /__admin/requests[?endpoint=NAME]   requests of this run
  GET    /__admin/reports                    stored tracking reports
  GET    /__admin/events[?event=NAME]        stored analytics events
  GET    /__admin/uploads[?kind=log|ticket]  stored uploads (content in base64)
  GET    /__admin/log-reports, /__admin/tickets, /__admin/whitelist,
         /__admin/offer-applies              what the support services stored

Store tables: requests (id, time_ms, endpoint, method, path, query, headers,
body, remote_address, remote_port, local_address, status, fault),
track_reports (id, time, client_sign, report), events (id, time_ms,
distinct_id, event, type, record, remote_address), uploads (id, time_ms, kind,
file_name, size, content, prod_id, prod_ver, client_sn), log_reports, tickets
(id, time_ms, body), whitelist (id, time_ms, client_sign, pid, version, body)
and offer_applies (id, time_ms, offer_id, email). See docs/product_server.md.
)";

bool TakesValue(const std::string& name) {
  static const std::vector<std::string> kNames = {"--config", "--package-dir", "--listen", "--port",
                                                  "--tls-cert", "--tls-key", "--store"};
  return std::find(kNames.begin(), kNames.end(), name) != kNames.end();
}

std::optional<std::vector<std::string>> SplitList(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at <= text.size()) {
    size_t comma = text.find(',', at);
    std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    if (item.empty()) return std::nullopt;
    out.push_back(item);
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return out;
}

bool ApplyValue(ServerArguments& a, const std::string& name, const std::string& value, std::string* error) {
  if (value.empty()) {
    *error = name + " needs a value";
    return false;
  }
  if (name == "--config") a.config_path = value;
  if (name == "--package-dir") a.package_dir = value;
  if (name == "--tls-cert") a.tls_cert = value;
  if (name == "--tls-key") a.tls_key = value;
  if (name == "--store") a.store = value;
  if (name == "--listen") {
    a.listen = SplitList(value);
    if (!a.listen) *error = "--listen needs addresses separated by commas";
  }
  if (name == "--port") {
    bool digits = value.size() <= 5 && std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digits && std::stoi(value) <= 65535) {
      a.port = static_cast<uint16_t>(std::stoi(value));
    } else {
      *error = "--port needs a number from 0 to 65535, not \"" + value + "\"";
    }
  }
  return error->empty();
}

bool CheckCombination(const ServerArguments& a, std::string* error) {
  if (a.help) return true;
  if (a.demo == !a.config_path.empty()) {
    *error = a.demo ? "use either --config or --demo, not both" : "--config FILE or --demo is needed";
  } else if (a.tls_cert.has_value() != a.tls_key.has_value()) {
    *error = "--tls-cert and --tls-key go together";
  }
  return error->empty();
}

}  // namespace

std::optional<ServerArguments> ParseServerArguments(const std::vector<std::string>& args, std::string* error) {
  ServerArguments a;
  std::string why;
  for (size_t i = 0; i < args.size() && why.empty(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    size_t equals = name.find('=');
    if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    if (name == "--help" || name == "-h") {
      a.help = true;
    } else if (name == "--demo" && !value) {
      a.demo = true;
    } else if (!TakesValue(name)) {
      why = "unknown option \"" + args[i] + "\" (see --help)";
    } else if (!value && i + 1 >= args.size()) {
      why = name + " needs a value";
    } else {
      ApplyValue(a, name, value ? *value : args[++i], &why);
    }
  }
  if (why.empty()) CheckCombination(a, &why);
  if (!why.empty()) {
    if (error != nullptr) *error = why;
    return std::nullopt;
  }
  return a;
}

std::optional<ServerConfig> ConfigFromArguments(const ServerArguments& args, std::string* error) {
  std::optional<ServerConfig> config;
  if (args.demo) {
    config = DemoConfig(args.package_dir.value_or("packages"));
  } else {
    config = LoadServerConfigFile(args.config_path, error);
    if (!config) return std::nullopt;
    if (args.package_dir) config->package_dir = *args.package_dir;
  }
  if (args.listen) config->listen = *args.listen;
  if (args.port) config->port = *args.port;
  if (args.tls_cert) config->tls = TlsFiles{*args.tls_cert, *args.tls_key};
  if (args.store) config->store_path = *args.store;
  return config;
}

std::string UsageText() { return kUsage; }

}  // namespace oru::product_server
