#include "support/test_ca.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <filesystem>

#include "support/scoped_temp_dir.h"

namespace oru::testing {
namespace {

constexpr long kDay = 24 * 60 * 60;

struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
  void operator()(X509* c) const { X509_free(c); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;

std::string OpenSslError(const std::string& what) {
  unsigned long code = ERR_get_error();
  char text[256] = {};
  if (code != 0) ERR_error_string_n(code, text, sizeof(text));
  ERR_clear_error();
  return what + (code != 0 ? std::string(": ") + text : std::string());
}

bool IsIpAddress(const std::string& name) {
  unsigned char buf[16];
  return inet_pton(AF_INET, name.c_str(), buf) == 1 || inet_pton(AF_INET6, name.c_str(), buf) == 1;
}

KeyPtr MakeKey() { return KeyPtr(EVP_EC_gen("P-256")); }

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

bool SetRandomSerial(X509* cert) {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof(bytes)) != 1) return false;
  bytes[0] &= 0x7f;  // positive
  BIGNUM* bn = BN_bin2bn(bytes, sizeof(bytes), nullptr);
  bool ok = bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) != nullptr;
  BN_free(bn);
  return ok;
}

// A certificate for `subject_key` named `common_name`, valid from `from` to
// `to` seconds relative to now, not yet signed.
CertPtr NewCert(EVP_PKEY* subject_key, const std::string& common_name, long from, long to) {
  CertPtr cert(X509_new());
  if (!cert || X509_set_version(cert.get(), 2) != 1 || !SetRandomSerial(cert.get())) return nullptr;
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), from);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), to);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("oru tests"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(common_name.c_str()),
                             -1, -1, 0);
  if (X509_set_pubkey(cert.get(), subject_key) != 1) return nullptr;
  return cert;
}

bool WritePem(const std::string& path, X509* cert, EVP_PKEY* key) {
  BIO* bio = BIO_new_file(path.c_str(), "w");
  if (bio == nullptr) return false;
  bool ok = cert != nullptr ? PEM_write_bio_X509(bio, cert) == 1
                            : PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  BIO_free(bio);
  return ok;
}

std::string SubjectAltNames(const std::vector<std::string>& names) {
  std::string san;
  for (const auto& n : names) {
    if (!san.empty()) san += ",";
    san += (IsIpAddress(n) ? "IP:" : "DNS:") + n;
  }
  return san;
}

}  // namespace

struct TestCa::State {
  KeyPtr key;
  CertPtr cert;
};

TestCa::TestCa(const std::string& dir) : state_(std::make_unique<State>()) {
  if (dir.empty()) {
    owned_dir_ = std::make_unique<ScopedTempDir>();
    dir_ = owned_dir_->path();
  } else {
    dir_ = dir;
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
  }
  bundle_path_ = dir_ + "/ca.pem";
  state_->key = MakeKey();
  if (!state_->key) {
    error_ = OpenSslError("CA key generation failed");
    return;
  }
  state_->cert = NewCert(state_->key.get(), "oru test CA", -kDay, 30 * kDay);
  X509* c = state_->cert.get();
  if (c == nullptr || X509_set_issuer_name(c, X509_get_subject_name(c)) != 1 ||
      !AddExtension(c, c, NID_basic_constraints, "critical,CA:TRUE") ||
      !AddExtension(c, c, NID_key_usage, "critical,keyCertSign,cRLSign") ||
      !AddExtension(c, c, NID_subject_key_identifier, "hash") ||
      X509_sign(c, state_->key.get(), EVP_sha256()) == 0) {
    error_ = OpenSslError("CA certificate failed");
    return;
  }
  if (!WritePem(bundle_path_, c, nullptr) || !WritePem(dir_ + "/ca-key.pem", nullptr, state_->key.get())) {
    error_ = "cannot write the CA files in " + dir_;
    return;
  }
  ok_ = true;
}

TestCa::~TestCa() = default;

TlsFiles TestCa::IssueLeaf(const std::string& stem, const std::vector<std::string>& names, Kind kind) {
  if (!ok_ || names.empty()) {
    error_ = ok_ ? "no names for " + stem : error_;
    return {};
  }
  KeyPtr key = MakeKey();
  if (!key) {
    error_ = OpenSslError("leaf key generation failed");
    return {};
  }
  bool self = kind == Kind::kSelfSigned;
  long from = kind == Kind::kExpired ? -3 * kDay : -kDay;
  long to = kind == Kind::kExpired ? -kDay : 30 * kDay;
  CertPtr cert = NewCert(key.get(), names.front(), from, to);
  X509* c = cert.get();
  X509* issuer = self ? c : state_->cert.get();
  EVP_PKEY* signer = self ? key.get() : state_->key.get();
  if (c == nullptr || X509_set_issuer_name(c, X509_get_subject_name(issuer)) != 1 ||
      !AddExtension(c, issuer, NID_basic_constraints, "critical,CA:FALSE") ||
      !AddExtension(c, issuer, NID_key_usage, "critical,digitalSignature") ||
      !AddExtension(c, issuer, NID_ext_key_usage, "serverAuth") ||
      !AddExtension(c, issuer, NID_subject_alt_name, SubjectAltNames(names)) ||
      (!self && !AddExtension(c, issuer, NID_authority_key_identifier, "keyid:always")) ||
      X509_sign(c, signer, EVP_sha256()) == 0) {
    error_ = OpenSslError("leaf certificate " + stem + " failed");
    return {};
  }
  TlsFiles files{dir_ + "/" + stem + ".pem", dir_ + "/" + stem + "-key.pem"};
  if (!WritePem(files.cert_path, c, nullptr) || !WritePem(files.key_path, nullptr, key.get())) {
    error_ = "cannot write " + files.cert_path;
    return {};
  }
  return files;
}

}  // namespace oru::testing
