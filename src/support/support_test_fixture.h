#pragma once
// A sandboxed machine and an in-process API server on two loopback
// addresses (primary 127.0.0.1, secondary 127.0.0.2, one port) for the
// support tests. Each service path answers like the product API; a test
// overrides an answer per path, on the primary only or on both hosts.

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>

#include "common/json.h"
#include "platform/file_util.h"
#include "platform/locations.h"
#include "server_api/service_endpoints.h"
#include "support/http_test_server.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"

namespace oru::testing {

inline constexpr const char* kTokenPath = "/v3/user/client/token";
inline constexpr const char* kPrimary = "127.0.0.1";
inline constexpr const char* kSecondary = "127.0.0.2";

class SupportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok()) << server_.error();
    Locations loc;
    loc.temp_dir = Folder("tmp");
    loc.registry_dir = Folder("registry");
    loc.lock_dir = Folder("locks");
    SetProcessLocationsForTesting(loc);
    ServiceEndpoints endpoints = DefaultServiceEndpoints();
    endpoints.api_primary = server_.UrlOn(kPrimary, "");
    endpoints.api_secondary = server_.UrlOn(kSecondary, "");
    SetServiceEndpoints(endpoints);
    server_.SetHandler("", "/*", [this](const HttpRequest& request) { return Answer(request); });
  }

  void TearDown() override { SetServiceEndpoints(DefaultServiceEndpoints()); }

  std::string Folder(const std::string& name) {
    std::string path = dir_.path() + "/" + name + "/";
    CreateDirectoryLevels(path);
    return path;
  }
  std::string LogFolder() { return Folder("tmp/Quorvane/ORU"); }

  // `answer` replaces the normal answer for `path`: on the primary host
  // only, or on both.
  void AnswerOnPrimary(const std::string& path, const std::string& answer) {
    std::lock_guard<std::mutex> lock(mu_);
    primary_answers_[path] = answer;
  }
  void AnswerOnBoth(const std::string& path, const std::string& answer) {
    std::lock_guard<std::mutex> lock(mu_);
    both_answers_[path] = answer;
  }

  // The normal answers of the product API.
  static std::string NormalAnswer(const HttpRequest& request, int upload_id) {
    if (request.path == kTokenPath) return R"({"code":0,"data":{"access_token":"tok-1"}})";
    if (request.path == "/v1/product/downloader/upload-log-file" || request.path == "/v1/crm/ticket/file/upload") {
      return UploadAnswer(request, upload_id);
    }
    if (request.path == "/v1/product/logs/report") return R"({"code":0,"msg":"ok","data":{"report_id":1}})";
    if (request.path == "/v1/support/tickets") return R"({"code":0,"msg":"ok","data":{"ticket_id":1}})";
    return R"({"code":0,"msg":"ok"})";
  }

  static std::string UploadAnswer(const HttpRequest& request, int id) {
    const std::string name = request.form_parts.empty() ? "" : request.form_parts[0].filename;
    const int64_t size = request.form_parts.empty() ? 0 : static_cast<int64_t>(request.form_parts[0].content.size());
    JsonObjectBuilder data;
    data.AddInteger("file_id", id).AddString("file_name", name).AddInteger("size", size);
    if (request.path == "/v1/crm/ticket/file/upload") data.AddString("token", "att-" + std::to_string(id));
    return JsonObjectBuilder().AddInteger("code", 0).AddString("msg", "ok").AddObject("data", std::move(data)).Print();
  }

  // The "data" object the normal upload answer with `id` holds for a file.
  static std::string UploadData(int id, const std::string& name, size_t size, bool ticket = false) {
    std::string out = "{\"file_id\":" + std::to_string(id) + ",\"file_name\":\"" + name +
                      "\",\"size\":" + std::to_string(size);
    if (ticket) out += ",\"token\":\"att-" + std::to_string(id) + "\"";
    return out + "}";
  }

  // Requests for `path` on one host.
  std::vector<RequestRecord> On(const std::string& address, const std::string& path) const {
    std::vector<RequestRecord> out;
    for (RequestRecord& r : server_.RequestsFor(path)) {
      if (r.local_address == address) out.push_back(std::move(r));
    }
    return out;
  }

  ScopedTempDir dir_;
  HttpTestServer server_{HttpServerOptions().Addresses({kPrimary, kSecondary}).Threads(4)};
  LogCapture log_;

 private:
  HttpResponse Answer(const HttpRequest& request) {
    HttpResponse response;
    response.content_type = "application/json";
    std::lock_guard<std::mutex> lock(mu_);
    const bool upload = request.path.find("upload") != std::string::npos;
    const int id = upload ? ++upload_ids_ : 0;
    auto both = both_answers_.find(request.path);
    auto primary = primary_answers_.find(request.path);
    if (both != both_answers_.end()) {
      response.body = both->second;
    } else if (primary != primary_answers_.end() && request.local_address == kPrimary) {
      response.body = primary->second;
    } else {
      response.body = NormalAnswer(request, id);
    }
    return response;
  }

  std::mutex mu_;
  std::map<std::string, std::string> primary_answers_;
  std::map<std::string, std::string> both_answers_;
  int upload_ids_ = 0;
};

}  // namespace oru::testing
