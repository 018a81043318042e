#include "config/server_runtime.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <initializer_list>

#include "common/log.h"
#include "common/url.h"
#include "config/xml_document.h"

namespace oru {
namespace {

using ChildTexts = std::map<std::string, std::string, std::less<>>;

void Take(const ChildTexts& children, std::string_view name, std::string* field) {
  TakeChildText(children, name, field);
}

void ReadRuntime(const ChildTexts& c, ServerRuntime* rt) {
  static constexpr std::pair<std::string_view, std::string ServerRuntime::*> kFields[] = {
      {"name", &ServerRuntime::name},
      {"version", &ServerRuntime::version},
      {"process_name", &ServerRuntime::process_name},
      {"install_url", &ServerRuntime::install_url},
      {"download_url", &ServerRuntime::download_url},
      {"download_url_with_framework", &ServerRuntime::download_url_with_framework},
      {"download_url_net", &ServerRuntime::download_url_net},
      {"download_url_net_with_framework", &ServerRuntime::download_url_net_with_framework},
      {"download_url_x64", &ServerRuntime::download_url_x64},
      {"download_url_arm64", &ServerRuntime::download_url_arm64},
      {"banner_url", &ServerRuntime::banner_url},
      {"oiap_url", &ServerRuntime::oiap_url},
      {"md5", &ServerRuntime::md5},
      {"history_md5_32", &ServerRuntime::history_md5_32},
      {"md5_64", &ServerRuntime::md5_64},
      {"history_md5_64", &ServerRuntime::history_md5_64},
      {"md5_arm64", &ServerRuntime::md5_arm64},
      {"history_md5_arm64", &ServerRuntime::history_md5_arm64},
      {"filesize", &ServerRuntime::filesize},
      {"netfx_minver", &ServerRuntime::netfx_minver},
      {"netfxlite_url", &ServerRuntime::netfxlite_url},
      {"languages", &ServerRuntime::languages},
      {"Url_Jump", &ServerRuntime::Url_Jump},
      {"install_error_url", &ServerRuntime::install_error_url},
      {"custom_install_path", &ServerRuntime::custom_install_path},
      {"is_allow_install_admin_path", &ServerRuntime::is_allow_install_admin_path},
      {"user_agreement_url", &ServerRuntime::user_agreement_url},
      {"privacy_agreement_url", &ServerRuntime::privacy_agreement_url},
      {"not_support_win32", &ServerRuntime::not_support_win32},
      {"download_process_config", &ServerRuntime::download_process_config},
  };
  for (const auto& [name, field] : kFields) Take(c, name, &(rt->*field));
}

DependentItem ReadBoundItem(const ChildTexts& c) {
  static constexpr std::pair<std::string_view, std::string DependentItem::*> kFields[] = {
      {"ProductID", &DependentItem::ProductID},
      {"ProductName", &DependentItem::ProductName},
      {"ProductExe", &DependentItem::ProductExe},
      {"Url_Down", &DependentItem::Url_Down},
      {"Url_Downx64", &DependentItem::Url_Downx64},
      {"Url_Down_arm64", &DependentItem::Url_Down_arm64},
      {"md5", &DependentItem::md5},
      {"history_md5_32", &DependentItem::history_md5_32},
      {"md5_64", &DependentItem::md5_64},
      {"history_md5_64", &DependentItem::history_md5_64},
      {"md5_arm64", &DependentItem::md5_arm64},
      {"history_md5_arm64", &DependentItem::history_md5_arm64},
      {"filesize", &DependentItem::filesize},
      {"ForceInstall", &DependentItem::ForceInstall},
      {"ProductArg", &DependentItem::ProductArg},
      {"ProductInstallArg", &DependentItem::ProductInstallArg},
      {"ProductInsCmple", &DependentItem::ProductInsCmple},
      {"ForkInstall", &DependentItem::ForkInstall},
  };
  DependentItem item;
  for (const auto& [name, field] : kFields) Take(c, name, &(item.*field));
  return item;
}

bool HasAddress(const DependentItem& item) {
  return !item.Url_Down.empty() || !item.Url_Downx64.empty() || !item.Url_Down_arm64.empty();
}

void ReadBinds(XmlDocument& doc, std::vector<DependentItem>* bound_items,
               std::vector<std::string>* bind_pids) {
  if (!FindElemPath(doc, {"qvrp", "downloader", "bind"}) || !doc.IntoElem()) return;
  while (doc.FindElem("item")) {
    DependentItem item = ReadBoundItem(ReadChildTexts(doc));
    if (bind_pids != nullptr) bind_pids->push_back(item.ProductID);
    if (item.ProductID.empty() || !HasAddress(item)) continue;
    if (bound_items != nullptr) bound_items->push_back(std::move(item));
  }
}

std::string JoinNonEmpty(std::initializer_list<const std::string*> values) {
  std::string out;
  for (const std::string* value : values) {
    if (value->empty()) continue;
    if (!out.empty()) out += ',';
    out += *value;
  }
  return out;
}

const std::string& ServerOrLocal(const std::string& server, const std::string& local) {
  return server.empty() ? local : server;
}

// Four whole numbers separated by dots, nothing else.
bool ParseFourPartVersion(std::string_view text, std::array<unsigned, 4>* parts) {
  const char* p = text.data();
  const char* end = text.data() + text.size();
  for (size_t i = 0; i < parts->size(); ++i) {
    if (i > 0) {
      if (p == end || *p != '.') return false;
      ++p;
    }
    const auto [next, ec] = std::from_chars(p, end, (*parts)[i]);
    if (ec != std::errc() || next == p) return false;
    p = next;
  }
  return p == end;
}

}  // namespace

bool ParseServerRuntimeXml(std::string_view utf8, ServerRuntime* rt,
                           std::vector<DependentItem>* bound_items,
                           std::vector<std::string>* bind_pids) {
  XmlDocument doc;
  if (!doc.SetDoc(utf8)) return false;
  if (!FindElemPath(doc, {"qvrp"})) return false;
  if (FindElemPath(doc, {"qvrp", "downloader", "runtime"})) {
    Log(kLogInfo, "[INFO] LoadServerXml downloader.runtime.");
    ReadRuntime(ReadChildTexts(doc), rt);
  }
  ReadBinds(doc, bound_items, bind_pids);
  return true;
}

void MergeBoundDependent(std::vector<DependentItem>& list, DependentItem item) {
  std::erase_if(list, [&](const DependentItem& d) { return d.ProductID == item.ProductID; });
  list.push_back(std::move(item));
}

std::string ServerXmlDigests(const ServerRuntime& rt) {
  return JoinNonEmpty({&rt.md5, &rt.history_md5_32, &rt.md5_64, &rt.history_md5_64, &rt.md5_arm64,
                       &rt.history_md5_arm64});
}

std::string BindServerDigests(const DependentItem& item) {
  return JoinNonEmpty({&item.md5, &item.history_md5_32, &item.history_md5_64, &item.md5_64,
                       &item.md5_arm64, &item.history_md5_arm64});
}

std::string AddCacheBuster(std::string url, long long unix_seconds) {
  if (url.empty()) return url;
  url += url.find('?') == std::string::npos ? '?' : '&';
  return url + "_t=" + std::to_string(unix_seconds);
}

std::string EffectiveBannerUrl(const ProductConfig& cfg, const ServerRuntime& rt,
                               long long unix_seconds) {
  if (!cfg.BannerImg.empty()) return cfg.BannerImg;
  return AddCacheBuster(rt.banner_url, unix_seconds);
}

std::string EffectiveThankYouUrl(const ProductConfig& cfg, const ServerRuntime& rt) {
  const std::string& local = cfg.Installurl.Url_Install;
  if (rt.install_url.empty()) return local;
  if (cfg.Installurl.OnlyUseLocalUrl == "0") return rt.install_url;
  static constexpr std::string_view kBackUrl = "back_url=";
  const size_t at = rt.install_url.find(kBackUrl);
  if (at == std::string::npos) return local;
  // The local page becomes a query value, so it must not add parameters.
  return rt.install_url.substr(0, at + kBackUrl.size()) + UrlEncode(local);
}

std::string EffectiveLicenseUrl(const ProductConfig& cfg, const ServerRuntime& rt) {
  return ServerOrLocal(rt.oiap_url, cfg.Url_License);
}

std::string EffectiveLanguages(const ProductConfig& cfg, const ServerRuntime& rt) {
  return ServerOrLocal(rt.languages, cfg.Languages);
}

std::string EffectiveUserAgreementUrl(const ProductConfig& cfg, const ServerRuntime& rt) {
  return ServerOrLocal(rt.user_agreement_url, cfg.UserAgreementUrl);
}

std::string EffectivePrivacyAgreementUrl(const ProductConfig& cfg, const ServerRuntime& rt) {
  return ServerOrLocal(rt.privacy_agreement_url, cfg.PrivacyAgreementUrl);
}

std::string EffectiveAllowInstallAdminPath(const ProductConfig& cfg, const ServerRuntime& rt) {
  return ServerOrLocal(rt.is_allow_install_admin_path, cfg.IsAllowInstallAdminPath);
}

std::chrono::seconds EffectiveInstallDuration(std::string_view install_time) {
  constexpr std::chrono::seconds kDefault{240};
  const std::optional<long long> seconds = ParseLeadingInteger(install_time);
  if (!seconds || *seconds < 120 || *seconds > 600) return kDefault;
  return std::chrono::seconds(*seconds);
}

std::optional<DotNetRequirement> EffectiveDotNet(const ProductConfig& cfg, const ServerRuntime& rt) {
  if (!rt.netfx_minver.empty() && !rt.netfxlite_url.empty()) {
    return DotNetRequirement{rt.netfx_minver, rt.netfxlite_url};
  }
  if (!cfg.Dotnetminver.empty() && !cfg.Dotneturl.empty()) {
    return DotNetRequirement{cfg.Dotnetminver, cfg.Dotneturl};
  }
  return std::nullopt;
}

int DownloadProgressThreshold(std::string_view download_process_config) {
  if (download_process_config.empty()) return 40;
  const long long value = ParseLeadingInteger(download_process_config).value_or(0);
  return static_cast<int>(std::clamp(value, 10LL, 80LL));
}

std::string PlatformName(bool wow64, bool arm64) {
  if (!wow64) return "win_x86";
  return arm64 ? "win_arm64" : "win_x64";
}

std::string OruVersionText(std::string_view file_version) {
  std::array<unsigned, 4> v{};
  if (!ParseFourPartVersion(file_version, &v)) return "4.6.4";
  std::string out = std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]);
  if (v[3] != 0) out += "." + std::to_string(v[3]);
  return out;
}

bool UseStaticRuntimeDocument(const ProductConfig& cfg) {
  return !cfg.AppID.empty() && !cfg.Channel.empty();
}

std::string RuntimeServiceUrl(const ProductConfig& cfg, const RuntimeQuery& query) {
  const bool deferred_consent = cfg.PrivacyPost == "1";
  std::string url = cfg.ServerHost + "rest/v2/downloader/runtime/?client_sign=";
  if (!deferred_consent) url += UrlEncode(query.client_sign);
  url += "&product_id=" + UrlEncode(cfg.ProductID);
  url += "&oru=" + UrlEncode(OruVersionText(query.self_version));
  url += "&scene_code=" + UrlEncode(cfg.SceneCode);
  url += "&platform=" + PlatformName(query.wow64, query.arm64);
  return url;
}

std::string StaticRuntimeDocumentUrl(const ProductConfig& cfg) {
  const std::string& down = cfg.Downurl.Url_Down;
  const size_t slash = down.rfind('/');
  const std::string base = slash == std::string::npos ? std::string() : down.substr(0, slash);
  return base + "/xml/" + UrlEncode(cfg.AppID) + "_" + UrlEncode(cfg.Channel) + ".xml";
}

std::string ServerRuntimeUrl(const ProductConfig& cfg, const RuntimeQuery& query) {
  if (UseStaticRuntimeDocument(cfg)) return StaticRuntimeDocumentUrl(cfg);
  return RuntimeServiceUrl(cfg, query);
}

}  // namespace oru
