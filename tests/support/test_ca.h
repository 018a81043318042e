#pragma once
// A certificate authority made at test time (OpenSSL libcrypto), so HTTPS
// tests run with verification on against certificates nobody else trusts.
//
//   TestCa ca;                                   // CA key + cert in a temp folder
//   TlsFiles good = ca.IssueLeaf("srv", {"127.0.0.1", "localhost"});
//   TlsFiles bad  = ca.IssueLeaf("self", {"127.0.0.1"}, TestCa::Kind::kSelfSigned);
//   HttpTestServer server(HttpServerOptions().Tls(good));
//   curl_easy_setopt(h, CURLOPT_CAINFO, ca.bundle_path().c_str());
//
// Keys are EC P-256 (fast to make). Names that parse as IPv4/IPv6 addresses
// become IP subject-alternative names, every other name a DNS name.

#include <memory>
#include <string>
#include <vector>

#include "support/http_test_server.h"

namespace oru::testing {

class ScopedTempDir;

class TestCa {
 public:
  enum class Kind {
    kValid,       // issued by this CA, valid now
    kSelfSigned,  // signed by its own key: clients trusting this CA reject it
    kExpired,     // issued by this CA, validity ended yesterday
  };

  // Makes the CA in `dir` (created when missing), or in a fresh temporary
  // folder removed with the object when `dir` is empty. On failure ok() is
  // false and error() says why.
  explicit TestCa(const std::string& dir = "");
  ~TestCa();
  TestCa(const TestCa&) = delete;
  TestCa& operator=(const TestCa&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  // Folder holding every PEM file of this CA.
  const std::string& dir() const { return dir_; }
  // The CA certificate (PEM): the bundle clients verify against.
  const std::string& bundle_path() const { return bundle_path_; }

  // Makes a server certificate for `names` (DNS names and IP addresses; the
  // first one is also the subject's common name) and its key, as
  // <dir>/<stem>.pem (certificate) and <dir>/<stem>-key.pem. Returns the two
  // paths, or empty paths on failure (error() says why).
  TlsFiles IssueLeaf(const std::string& stem, const std::vector<std::string>& names, Kind kind = Kind::kValid);

  struct State;

 private:
  std::unique_ptr<ScopedTempDir> owned_dir_;
  std::unique_ptr<State> state_;
  std::string dir_;
  std::string bundle_path_;
  std::string error_;
  bool ok_ = false;
};

}  // namespace oru::testing
