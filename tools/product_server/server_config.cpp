#include "product_server/server_config.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

#include "product_server/json_value.h"

namespace oru::product_server {
namespace {

// Walks a parsed configuration; the first problem found is kept with the
// dotted place where it was found.
class ConfigReader {
 public:
  explicit ConfigReader(std::string base_dir) : base_dir_(std::move(base_dir)) {}

  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }

  bool Fail(const std::string& place, const std::string& what) {
    if (error_.empty()) error_ = (place.empty() ? std::string("configuration") : place) + ": " + what;
    return false;
  }

  // Fails for members of `object` that are not in `known`.
  bool OnlyKnownMembers(const cJSON* object, const std::string& place, const std::set<std::string>& known) {
    for (const cJSON* m = object->child; m != nullptr; m = m->next) {
      if (known.count(m->string) == 0) return Fail(Join(place, m->string), "unknown setting");
    }
    return true;
  }

  bool ReadString(const cJSON* node, const std::string& place, std::string& out) {
    if (!cJSON_IsString(node)) return Fail(place, "must be a text");
    out = node->valuestring;
    return true;
  }

  bool ReadInteger(const cJSON* node, const std::string& place, int64_t low, int64_t high, int64_t& out) {
    if (!cJSON_IsNumber(node) || std::floor(node->valuedouble) != node->valuedouble) {
      return Fail(place, "must be a whole number");
    }
    if (node->valuedouble < static_cast<double>(low) || node->valuedouble > static_cast<double>(high)) {
      return Fail(place, "must be between " + std::to_string(low) + " and " + std::to_string(high));
    }
    out = static_cast<int64_t>(node->valuedouble);
    return true;
  }

  bool ReadBool(const cJSON* node, const std::string& place, bool& out) {
    if (!cJSON_IsBool(node)) return Fail(place, "must be true or false");
    out = cJSON_IsTrue(node) != 0;
    return true;
  }

  bool ReadStringList(const cJSON* node, const std::string& place, std::vector<std::string>& out) {
    if (!cJSON_IsArray(node)) return Fail(place, "must be a list of texts");
    out.clear();
    int index = 0;
    for (const cJSON* e = node->child; e != nullptr; e = e->next, ++index) {
      std::string text;
      if (!ReadString(e, place + "[" + std::to_string(index) + "]", text)) return false;
      out.push_back(std::move(text));
    }
    return true;
  }

  // A path setting; relative paths are taken from the configuration's folder.
  bool ReadPath(const cJSON* node, const std::string& place, std::string& out) {
    if (!ReadString(node, place, out)) return false;
    if (out.empty()) return Fail(place, "must not be empty");
    if (out != ":memory:" && !base_dir_.empty() && std::filesystem::path(out).is_relative()) {
      out = (std::filesystem::path(base_dir_) / out).lexically_normal().string();
    }
    return true;
  }

  static std::string Join(const std::string& place, const std::string& name) {
    return place.empty() ? name : place + "." + name;
  }

 private:
  std::string base_dir_;
  std::string error_;
};

bool HasControlCharacter(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t' && c != '\n' && c != '\r') || u == 0x7F;
  });
}

// A document value: a text, a number (written in decimal) or true/false.
bool ReadElementValue(ConfigReader& r, const cJSON* node, const std::string& place, std::string& out) {
  if (cJSON_IsString(node)) {
    out = node->valuestring;
  } else if (cJSON_IsBool(node)) {
    out = cJSON_IsTrue(node) ? "true" : "false";
  } else if (cJSON_IsNumber(node) && std::floor(node->valuedouble) == node->valuedouble &&
             std::fabs(node->valuedouble) < 9.0e15) {
    out = std::to_string(static_cast<int64_t>(node->valuedouble));
  } else {
    return r.Fail(place, "must be a text, a whole number or true/false");
  }
  if (HasControlCharacter(out)) return r.Fail(place, "holds a control character");
  return true;
}

bool ReadElements(ConfigReader& r, const cJSON* node, const std::string& place,
                  const std::vector<std::string>& allowed, const std::string& kind, ElementList& out) {
  if (!cJSON_IsObject(node)) return r.Fail(place, "must be an object of " + kind + " elements");
  for (const cJSON* m = node->child; m != nullptr; m = m->next) {
    std::string member_place = ConfigReader::Join(place, m->string);
    if (std::find(allowed.begin(), allowed.end(), m->string) == allowed.end()) {
      return r.Fail(member_place, "not a " + kind + " element");
    }
    std::string value;
    if (!ReadElementValue(r, m, member_place, value)) return false;
    out.emplace_back(m->string, std::move(value));
  }
  return true;
}

bool ReadBindItems(ConfigReader& r, const cJSON* node, const std::string& place, std::vector<ElementList>& out) {
  if (!cJSON_IsArray(node)) return r.Fail(place, "must be a list of bind items");
  int index = 0;
  for (const cJSON* e = node->child; e != nullptr; e = e->next, ++index) {
    ElementList item;
    if (!ReadElements(r, e, place + "[" + std::to_string(index) + "]", BindElementNames(), "bind item", item)) {
      return false;
    }
    out.push_back(std::move(item));
  }
  return true;
}

bool ReadRelationIds(ConfigReader& r, const cJSON* node, const std::string& place, std::vector<int64_t>& out) {
  if (!cJSON_IsArray(node)) return r.Fail(place, "must be a list of product ids");
  int index = 0;
  for (const cJSON* e = node->child; e != nullptr; e = e->next, ++index) {
    int64_t id = 0;
    if (!r.ReadInteger(e, place + "[" + std::to_string(index) + "]", std::numeric_limits<int32_t>::min(),
                       std::numeric_limits<int32_t>::max(), id)) {
      return false;
    }
    out.push_back(id);
  }
  return true;
}

bool ReadStrategyData(ConfigReader& r, const cJSON* node, const std::string& place, std::string& out) {
  if (!cJSON_IsObject(node)) return r.Fail(place, "must be an object (the answer's \"data\")");
  std::optional<Json> copy = Json::Copy(node);
  out = copy ? copy->Print() : "{}";
  return true;
}

bool ReadNameList(ConfigReader& r, const cJSON* node, const std::string& place, std::vector<std::string>& out) {
  if (!r.ReadStringList(node, place, out)) return false;
  for (size_t i = 0; i < out.size(); ++i) {
    if (!IsSafeName(out[i])) return r.Fail(place + "[" + std::to_string(i) + "]", "not a plain name");
  }
  return true;
}

bool ReadProductMember(ConfigReader& r, const cJSON* m, const std::string& place, ProductEntry& product) {
  const std::string name = m->string;
  if (name == "runtime") return ReadElements(r, m, place, RuntimeElementNames(), "runtime", product.runtime);
  if (name == "bind") return ReadBindItems(r, m, place, product.bind);
  if (name == "relation_ids") return ReadRelationIds(r, m, place, product.relation_ids);
  if (name == "preheat") return ReadStrategyData(r, m, place, product.preheat_data);
  if (name == "slice") return ReadStrategyData(r, m, place, product.slice_data);
  if (name == "alias_hosts") return r.ReadStringList(m, place, product.alias_hosts);
  if (name == "static_documents") return ReadNameList(r, m, place, product.static_documents);
  return r.Fail(place, "unknown setting");
}

std::optional<int32_t> ParseProductId(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
  int64_t value = std::stoll(text);
  if (value <= 0 || value > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return static_cast<int32_t>(value);
}

bool ReadProducts(ConfigReader& r, const cJSON* node, std::map<int32_t, ProductEntry>& out) {
  if (!cJSON_IsObject(node)) return r.Fail("products", "must be an object keyed by product id");
  for (const cJSON* p = node->child; p != nullptr; p = p->next) {
    std::string place = ConfigReader::Join("products", p->string);
    std::optional<int32_t> id = ParseProductId(p->string);
    if (!id) return r.Fail(place, "a product id must be a positive decimal number");
    if (!cJSON_IsObject(p)) return r.Fail(place, "must be an object");
    if (out.count(*id) != 0) return r.Fail(place, "product listed twice");
    ProductEntry product;
    product.product_id = *id;
    for (const cJSON* m = p->child; m != nullptr; m = m->next) {
      if (!ReadProductMember(r, m, ConfigReader::Join(place, m->string), product)) return false;
    }
    out[*id] = std::move(product);
  }
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool ReadHttpDnsAnswers(ConfigReader& r, const cJSON* node, const std::string& place,
                        std::map<std::string, std::vector<std::string>>& out) {
  if (!cJSON_IsObject(node)) return r.Fail(place, "must be an object of host name -> address list");
  for (const cJSON* m = node->child; m != nullptr; m = m->next) {
    std::vector<std::string> addresses;
    if (!r.ReadStringList(m, ConfigReader::Join(place, m->string), addresses)) return false;
    out[Lower(m->string)] = std::move(addresses);
  }
  return true;
}

bool ReadHttpDns(ConfigReader& r, const cJSON* node, HttpDnsSettings& out) {
  const std::string place = "httpdns";
  if (!cJSON_IsObject(node)) return r.Fail(place, "must be an object");
  if (!r.OnlyKnownMembers(node, place,
                          {"account_id", "access_key_id", "signing_secret", "max_clock_skew_s", "answers"})) {
    return false;
  }
  for (const cJSON* m = node->child; m != nullptr; m = m->next) {
    std::string name = m->string;
    std::string member_place = ConfigReader::Join(place, name);
    int64_t skew = 0;
    bool ok = name == "account_id"         ? r.ReadString(m, member_place, out.account_id)
              : name == "access_key_id"    ? r.ReadString(m, member_place, out.access_key_id)
              : name == "signing_secret"   ? r.ReadString(m, member_place, out.signing_secret)
              : name == "max_clock_skew_s" ? r.ReadInteger(m, member_place, 0, 86400 * 365, skew)
                                           : ReadHttpDnsAnswers(r, m, member_place, out.answers);
    if (!ok) return false;
    if (name == "max_clock_skew_s") out.max_clock_skew = std::chrono::seconds(skew);
  }
  return true;
}

bool ReadPages(ConfigReader& r, const cJSON* node, std::map<std::string, std::string>& out) {
  if (!cJSON_IsObject(node)) return r.Fail("pages", "must be an object of page name -> title");
  for (const cJSON* m = node->child; m != nullptr; m = m->next) {
    std::string place = ConfigReader::Join("pages", m->string);
    if (!IsSafeName(m->string)) return r.Fail(place, "not a plain name");
    if (!r.ReadString(m, place, out[m->string])) return false;
  }
  return true;
}

bool ReadTls(ConfigReader& r, const cJSON* node, ServerConfig& config) {
  if (!cJSON_IsObject(node)) return r.Fail("tls", "must be an object with \"cert\" and \"key\"");
  if (!r.OnlyKnownMembers(node, "tls", {"cert", "key"})) return false;
  TlsFiles files;
  const cJSON* cert = cJSON_GetObjectItemCaseSensitive(node, "cert");
  const cJSON* key = cJSON_GetObjectItemCaseSensitive(node, "key");
  if (cert == nullptr || key == nullptr) return r.Fail("tls", "needs both \"cert\" and \"key\"");
  if (!r.ReadPath(cert, "tls.cert", files.cert_path) || !r.ReadPath(key, "tls.key", files.key_path)) return false;
  config.tls = files;
  return true;
}

bool ReadCredentials(ConfigReader& r, const cJSON* node, ServerConfig& config) {
  if (!cJSON_IsObject(node)) return r.Fail("credentials", "must be an object");
  if (!r.OnlyKnownMembers(node, "credentials", {"app_key", "app_secret"})) return false;
  const cJSON* key = cJSON_GetObjectItemCaseSensitive(node, "app_key");
  const cJSON* secret = cJSON_GetObjectItemCaseSensitive(node, "app_secret");
  if (key != nullptr && !r.ReadString(key, "credentials.app_key", config.app_key)) return false;
  if (secret != nullptr && !r.ReadString(secret, "credentials.app_secret", config.app_secret)) return false;
  return true;
}

bool ReadRetentionOffer(ConfigReader& r, const cJSON* node, ServerConfig& config) {
  const std::string place = "retention_offer";
  if (cJSON_IsNull(node)) {
    config.retention_offer.reset();
    return true;
  }
  if (!cJSON_IsObject(node)) return r.Fail(place, "must be an object with \"id\", \"type\", \"title\", \"content\"");
  if (!r.OnlyKnownMembers(node, place, {"id", "type", "title", "content"})) return false;
  RetentionOfferEntry offer;
  int64_t type = 0;
  const cJSON* id = cJSON_GetObjectItemCaseSensitive(node, "id");
  const cJSON* kind = cJSON_GetObjectItemCaseSensitive(node, "type");
  const cJSON* title = cJSON_GetObjectItemCaseSensitive(node, "title");
  const cJSON* content = cJSON_GetObjectItemCaseSensitive(node, "content");
  if (id == nullptr || kind == nullptr) return r.Fail(place, "needs \"id\" and \"type\"");
  // Ids travel in a path and as a JSON number: keep them exact in a double.
  if (!r.ReadInteger(id, place + ".id", 1, (int64_t{1} << 53), offer.id)) return false;
  if (!r.ReadInteger(kind, place + ".type", 0, std::numeric_limits<int32_t>::max(), type)) return false;
  offer.type = static_cast<int32_t>(type);
  if (title != nullptr && !r.ReadString(title, place + ".title", offer.title)) return false;
  if (content != nullptr && !r.ReadString(content, place + ".content", offer.content)) return false;
  config.retention_offer = std::move(offer);
  return true;
}

bool ReadListen(ConfigReader& r, const cJSON* node, ServerConfig& config) {
  if (!r.ReadStringList(node, "listen", config.listen)) return false;
  if (config.listen.empty()) return r.Fail("listen", "needs at least one address");
  for (size_t i = 0; i < config.listen.size(); ++i) {
    const std::string& a = config.listen[i];
    if (a.empty() || a.find_first_of(" /\t\r\n") != std::string::npos) {
      return r.Fail("listen[" + std::to_string(i) + "]", "not an address");
    }
  }
  return true;
}

bool ReadNumbers(ConfigReader& r, const std::string& name, const cJSON* m, ServerConfig& config) {
  int64_t value = 0;
  if (name == "port") {
    if (!r.ReadInteger(m, name, 0, 65535, value)) return false;
    config.port = static_cast<uint16_t>(value);
  } else if (name == "threads_per_address") {
    if (!r.ReadInteger(m, name, 1, 512, value)) return false;
    config.threads_per_address = static_cast<int>(value);
  } else {
    if (!r.ReadInteger(m, name, 1, 86400 * 365, value)) return false;
    config.token_lifetime = std::chrono::seconds(value);
  }
  return true;
}

bool ReadTopMember(ConfigReader& r, const cJSON* m, ServerConfig& config) {
  const std::string name = m->string;
  if (name == "listen") return ReadListen(r, m, config);
  if (name == "port" || name == "threads_per_address" || name == "token_lifetime_s") {
    return ReadNumbers(r, name, m, config);
  }
  if (name == "tls") return ReadTls(r, m, config);
  if (name == "store") return r.ReadPath(m, name, config.store_path);
  if (name == "package_dir") return r.ReadPath(m, name, config.package_dir);
  if (name == "public_ip") return r.ReadString(m, name, config.public_ip);
  if (name == "admin") return r.ReadBool(m, name, config.admin_enabled);
  if (name == "credentials") return ReadCredentials(r, m, config);
  if (name == "tokens") return r.ReadStringList(m, name, config.tokens);
  if (name == "collector_paths") return r.ReadStringList(m, name, config.collector_paths);
  if (name == "httpdns") return ReadHttpDns(r, m, config.http_dns);
  if (name == "pages") return ReadPages(r, m, config.pages);
  if (name == "products") return ReadProducts(r, m, config.products);
  if (name == "retention_offer") return ReadRetentionOffer(r, m, config);
  return r.Fail(name, "unknown setting");
}

// The first member name used twice in one object, anywhere in the tree, as
// a dotted place; empty when there is none.
std::string FindDuplicateMember(const cJSON* node, const std::string& place) {
  if (cJSON_IsObject(node)) {
    std::set<std::string> seen;
    for (const cJSON* m = node->child; m != nullptr; m = m->next) {
      std::string member_place = ConfigReader::Join(place, m->string);
      if (!seen.insert(m->string).second) return member_place;
      std::string inner = FindDuplicateMember(m, member_place);
      if (!inner.empty()) return inner;
    }
  } else if (cJSON_IsArray(node)) {
    int index = 0;
    for (const cJSON* e = node->child; e != nullptr; e = e->next, ++index) {
      std::string inner = FindDuplicateMember(e, place + "[" + std::to_string(index) + "]");
      if (!inner.empty()) return inner;
    }
  }
  return {};
}

ElementList DemoRuntime() {
  return {{"name", "Quorvane Studio"},
          {"version", "5.2.0"},
          {"process_name", "QuorvaneStudio.exe"},
          {"install_url", "{base}/pages/thankyou"},
          {"download_url", "{base}/packages/QuorvaneStudioSetup_x86.exe"},
          {"download_url_x64", "{base}/packages/QuorvaneStudioSetup_x64.exe"},
          {"download_url_arm64", "{base}/packages/QuorvaneStudioSetup_arm64.exe"},
          {"banner_url", "{base}/pages/banner"},
          {"md5", "{md5:QuorvaneStudioSetup_x86.exe}"},
          {"md5_64", "{md5:QuorvaneStudioSetup_x64.exe}"},
          {"md5_arm64", "{md5:QuorvaneStudioSetup_arm64.exe}"},
          {"filesize", "{size:QuorvaneStudioSetup_x64.exe}"},
          {"Url_Jump", "{base}/pages/welcome"},
          {"install_error_url", "{base}/pages/install-error"},
          {"user_agreement_url", "{base}/pages/agreement"},
          {"privacy_agreement_url", "{base}/pages/privacy"},
          {"download_process_config", "40"}};
}

ElementList DemoBindItem(const std::string& id, const std::string& name, const std::string& stem, bool fork) {
  const std::string file = stem + "Setup.exe";
  return {{"ProductID", id},
          {"ProductName", name},
          {"ProductExe", stem + ".exe"},
          {"Url_Down", "{base}/packages/" + file},
          {"Url_Downx64", "{base}/packages/" + file},
          {"md5", "{md5:" + file + "}"},
          {"md5_64", "{md5:" + file + "}"},
          {"filesize", "{size:" + file + "}"},
          {"ForceInstall", "true"},
          {"ForkInstall", fork ? "1" : "0"}};
}

ProductEntry DemoDependent(int32_t id, const std::string& name) {
  ProductEntry product;
  product.product_id = id;
  product.runtime = {{"name", name}, {"version", "1.4.0"}};
  product.alias_hosts = {"127.0.0.2:{port}"};
  return product;
}

}  // namespace

ServerConfig DemoConfig(const std::string& package_dir) {
  ServerConfig config;
  config.listen = {"127.0.0.1", "127.0.0.2"};
  config.port = 18080;
  config.package_dir = package_dir;
  config.public_ip = "203.0.113.10";
  config.http_dns.answers["packages.quorvane.test"] = {"127.0.0.1", "127.0.0.2"};
  config.pages = {{"thankyou", "Thank you for installing Quorvane Studio"},
                  {"welcome", "Welcome to Quorvane Studio"},
                  {"install-error", "Quorvane Studio could not be installed"},
                  {"banner", "Quorvane Studio"},
                  {"agreement", "Quorvane Studio user agreement"},
                  {"privacy", "Quorvane privacy policy"},
                  {"license", "Quorvane Studio licence agreement"}};
  ProductEntry studio;
  studio.product_id = 1001;
  studio.runtime = DemoRuntime();
  studio.bind = {DemoBindItem("1002", "Quorvane Launch Deck", "QuorvaneLaunchDeck", true),
                 DemoBindItem("1003", "Quorvane Helper", "QuorvaneHelper", false)};
  // The family of the product: itself and its earlier edition.
  studio.relation_ids = {1001, 1000};
  studio.preheat_data = R"({"preheat_file_size_mb":1,"max_probe_time_s":3,"version":"demo-1","hit_strategy":true})";
  studio.slice_data =
      R"({"slice_count":8,"concurrency":4,"slice_upper_limit":16,"target_slice_size":4,"version":"demo-1",)"
      R"("hit_strategy":true,"network_tier_label":"loopback","package_tier_min_mb":"0","package_tier_max_mb":"4096"})";
  studio.alias_hosts = {"127.0.0.2:{port}"};
  studio.static_documents = {"QuorvaneStudio_demo"};
  config.products[1001] = std::move(studio);
  config.products[1002] = DemoDependent(1002, "Quorvane Launch Deck");
  config.products[1003] = DemoDependent(1003, "Quorvane Helper");
  config.retention_offer = RetentionOfferEntry{
      20240601, 1, "Wait - 30% off Quorvane Studio",
      "Leave your e-mail address and we will send you a code for 30% off your first year."};
  return config;
}

const std::vector<std::string>& RuntimeElementNames() {
  static const std::vector<std::string> kNames = {
      "name", "version", "process_name", "install_url", "download_url", "download_url_with_framework",
      "download_url_net", "download_url_net_with_framework", "download_url_x64", "download_url_arm64", "banner_url",
      "oiap_url", "md5", "history_md5_32", "md5_64", "history_md5_64", "md5_arm64", "history_md5_arm64", "filesize",
      "netfx_minver", "netfxlite_url", "languages", "Url_Jump", "install_error_url", "custom_install_path",
      "is_allow_install_admin_path", "user_agreement_url", "privacy_agreement_url", "not_support_win32",
      "download_process_config"};
  return kNames;
}

const std::vector<std::string>& BindElementNames() {
  static const std::vector<std::string> kNames = {
      "ProductID", "ProductName", "ProductExe", "Url_Down", "Url_Downx64", "Url_Down_arm64", "md5", "history_md5_32",
      "md5_64", "history_md5_64", "md5_arm64", "history_md5_arm64", "filesize", "ForceInstall", "ProductArg",
      "ProductInstallArg", "ProductInsCmple", "ForkInstall"};
  return kNames;
}

bool IsSafeName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return c == '/' || c == '\\' || u < 0x20 || u == 0x7F;
  });
}

std::optional<ServerConfig> ParseServerConfig(const std::string& text, const std::string& base_dir,
                                              std::string* error) {
  std::string syntax_error;
  std::optional<Json> doc = Json::Parse(text, &syntax_error);
  if (!doc) {
    if (error != nullptr) *error = syntax_error;
    return std::nullopt;
  }
  if (!cJSON_IsObject(doc->node())) {
    if (error != nullptr) *error = "configuration: must be a JSON object";
    return std::nullopt;
  }
  std::string duplicate = FindDuplicateMember(doc->node(), "");
  if (!duplicate.empty()) {
    if (error != nullptr) *error = duplicate + ": given twice";
    return std::nullopt;
  }
  ConfigReader reader(base_dir);
  ServerConfig config;
  for (const cJSON* m = doc->node()->child; m != nullptr && !reader.failed(); m = m->next) {
    ReadTopMember(reader, m, config);
  }
  if (reader.failed()) {
    if (error != nullptr) *error = reader.error();
    return std::nullopt;
  }
  return config;
}

std::optional<ServerConfig> LoadServerConfigFile(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error != nullptr) *error = path + ": cannot be read";
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::string inner;
  std::string folder = std::filesystem::absolute(path).parent_path().string();
  std::optional<ServerConfig> config = ParseServerConfig(text.str(), folder, &inner);
  if (!config && error != nullptr) *error = path + ": " + inner;
  return config;
}

}  // namespace oru::product_server
