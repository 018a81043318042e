#include "config/product_config.h"

#include <charconv>
#include <limits>

#include "config/xml_document.h"

namespace oru {
namespace {

using ChildTexts = std::map<std::string, std::string, std::less<>>;

void Take(const ChildTexts& children, std::string_view name, std::string* field) {
  TakeChildText(children, name, field);
}

void TakeList(const ChildTexts& children, std::string_view name, std::vector<std::string>* field) {
  const auto it = children.find(name);
  if (it != children.end()) *field = SplitCommaList(it->second);
}

// The children of the first element along path; empty when it is missing.
ChildTexts GroupTexts(XmlDocument& doc, std::initializer_list<std::string_view> path) {
  if (!FindElemPath(doc, path)) return {};
  return ReadChildTexts(doc);
}

DownurlGroup ReadDownurl(XmlDocument& doc, std::string_view group) {
  const ChildTexts children = GroupTexts(doc, {"Product", group});
  DownurlGroup out;
  Take(children, "OnlyUseLocalUrl", &out.OnlyUseLocalUrl);
  Take(children, "Url_Down", &out.Url_Down);
  return out;
}

void ReadTopLevel(const ChildTexts& c, ProductConfig* cfg) {
  static constexpr std::pair<std::string_view, std::string ProductConfig::*> kFields[] = {
      {"ProductSkin", &ProductConfig::ProductSkin},
      {"ProductBrand", &ProductConfig::ProductBrand},
      {"ProductName", &ProductConfig::ProductName},
      {"ProductExe", &ProductConfig::ProductExe},
      {"ProductArg", &ProductConfig::ProductArg},
      {"FoldBottom", &ProductConfig::FoldBottom},
      {"ProductInstallArg", &ProductConfig::ProductInstallArg},
      {"ProductInsCmple", &ProductConfig::ProductInsCmple},
      {"CustomInstallPath", &ProductConfig::CustomInstallPath},
      {"PrivacyPost", &ProductConfig::PrivacyPost},
      {"IsAllowInstallAdminPath", &ProductConfig::IsAllowInstallAdminPath},
      {"ServerHost", &ProductConfig::ServerHost},
      {"ProductID", &ProductConfig::ProductID},
      {"AppID", &ProductConfig::AppID},
      {"Channel", &ProductConfig::Channel},
      {"DownloadFirstUrl", &ProductConfig::DownloadFirstUrl},
      {"InstallTime", &ProductConfig::InstallTime},
      {"Url_License", &ProductConfig::Url_License},
      {"UserAgreementUrl", &ProductConfig::UserAgreementUrl},
      {"PrivacyAgreementUrl", &ProductConfig::PrivacyAgreementUrl},
      {"Languages", &ProductConfig::Languages},
      {"Dotnetminver", &ProductConfig::Dotnetminver},
      {"Dotneturl", &ProductConfig::Dotneturl},
      {"AgreeUserLicense", &ProductConfig::AgreeUserLicense},
      {"StartupProduct", &ProductConfig::StartupProduct},
      {"Url_Jump", &ProductConfig::Url_Jump},
      {"isSilentJumpSuccess", &ProductConfig::isSilentJumpSuccess},
      {"InstallErrorUrl", &ProductConfig::InstallErrorUrl},
      {"InstallSalvageTitle", &ProductConfig::InstallSalvageTitle},
      {"InstallSalvageContent", &ProductConfig::InstallSalvageContent},
      {"NotSupportWin32", &ProductConfig::NotSupportWin32},
      {"SceneCode", &ProductConfig::SceneCode},
      {"BannerImg", &ProductConfig::BannerImg},
      {"AllowRunTimeInstall", &ProductConfig::AllowRunTimeInstall},
      {"IsDelInstaller", &ProductConfig::IsDelInstaller},
      {"InstallerStorageDirectory", &ProductConfig::InstallerStorageDirectory},
      {"InstallationConfirmation", &ProductConfig::InstallationConfirmation},
      {"EnableCustomStrategy", &ProductConfig::EnableCustomStrategy},
      {"StrategyName", &ProductConfig::StrategyName},
      {"NetworkTierBasis", &ProductConfig::NetworkTierBasis},
  };
  for (const auto& [name, field] : kFields) Take(c, name, &(cfg->*field));
}

ServiceOverrides ReadServices(XmlDocument& doc) {
  const ChildTexts c = GroupTexts(doc, {"Product", "Services"});
  ServiceOverrides s;
  Take(c, "ApiHost", &s.ApiHost);
  Take(c, "ApiBackupHost", &s.ApiBackupHost);
  Take(c, "AppKey", &s.AppKey);
  Take(c, "AppSecret", &s.AppSecret);
  TakeList(c, "PublicIpServices", &s.PublicIpServices);
  TakeList(c, "HttpDnsServers", &s.HttpDnsServers);
  Take(c, "HttpDnsAccount", &s.HttpDnsAccount);
  Take(c, "HttpDnsAccessKey", &s.HttpDnsAccessKey);
  Take(c, "HttpDnsSecret", &s.HttpDnsSecret);
  TakeList(c, "AnalyticsCollectors", &s.AnalyticsCollectors);
  Take(c, "LicenseUrl", &s.LicenseUrl);
  return s;
}

DependentItem ReadLocalItem(const ChildTexts& c) {
  DependentItem item;
  Take(c, "ProductID", &item.ProductID);
  Take(c, "ProductName", &item.ProductName);
  Take(c, "ProductExe", &item.ProductExe);
  Take(c, "ProductArg", &item.ProductArg);
  Take(c, "ProductInstallArg", &item.ProductInstallArg);
  Take(c, "ProductInsCmple", &item.ProductInsCmple);
  Take(c, "Url_Down", &item.Url_Down);
  Take(c, "Url_Downx64", &item.Url_Downx64);
  Take(c, "Url_Down_arm64", &item.Url_Down_arm64);
  Take(c, "ForceInstall", &item.ForceInstall);
  Take(c, "ForkInstall", &item.ForkInstall);
  return item;
}

bool IsRetained(const DependentItem& item) {
  if (item.ProductID.empty()) return false;
  return !item.Url_Down.empty() || !item.Url_Downx64.empty() || !item.Url_Down_arm64.empty();
}

void ReadDependents(XmlDocument& doc, ProductConfig* cfg, std::vector<std::string>* item_pids) {
  if (!FindElemPath(doc, {"Product", "Dependent"}) || !doc.IntoElem()) return;
  while (doc.FindElem("item")) {
    const DependentItem item = ReadLocalItem(ReadChildTexts(doc));
    if (item_pids != nullptr) item_pids->push_back(item.ProductID);
    if (IsRetained(item)) cfg->Dependents.push_back(item);
  }
}

void ReadGroups(XmlDocument& doc, const ProductXmlDefaults& defaults, ProductConfig* cfg) {
  cfg->Downurl = ReadDownurl(doc, "Downurl");
  if (defaults.wow64) cfg->Downurl_x64 = ReadDownurl(doc, "Downurl_x64");
  if (defaults.wow64 && defaults.arm64) cfg->Downurl_arm64 = ReadDownurl(doc, "Downurl_arm64");

  const ChildTexts install = GroupTexts(doc, {"Product", "Installurl"});
  Take(install, "OnlyUseLocalUrl", &cfg->Installurl.OnlyUseLocalUrl);
  Take(install, "Url_Install", &cfg->Installurl.Url_Install);

  const ChildTexts clipboard = GroupTexts(doc, {"Product", "Clipboard"});
  Take(clipboard, "Access", &cfg->Clipboard.Access);
  Take(clipboard, "Keyword", &cfg->Clipboard.Keyword);

  cfg->Services = ReadServices(doc);
}

}  // namespace

ProductXmlStatus ParseProductXml(std::string_view utf8_bytes, const ProductXmlDefaults& defaults,
                                 ProductConfig* out, std::vector<std::string>* item_pids) {
  *out = ProductConfig();
  out->ServerHost = defaults.server_host;
  out->Url_License = defaults.license_url;
  XmlDocument doc;
  if (!doc.SetDoc(utf8_bytes)) return ProductXmlStatus::kParseError;
  if (!FindElemPath(doc, {"Product"})) return ProductXmlStatus::kNoProduct;
  out->Url_License.clear();

  ReadTopLevel(ReadChildTexts(doc), out);
  if (!out->ServerHost.ends_with('/')) out->ServerHost += '/';
  ReadGroups(doc, defaults, out);
  // Absent and empty both take the default; a vendor's own default
  // licence page stands in for ours.
  if (out->Url_License.empty()) {
    out->Url_License =
        out->Services.LicenseUrl.empty() ? defaults.license_url : out->Services.LicenseUrl;
  }
  ReadDependents(doc, out, item_pids);
  return ProductXmlStatus::kOk;
}

std::string RunStateFileName(std::string_view product_id) {
  return "ORU_DOWNTASK_" + std::string(product_id) + ".xml";
}

std::string StartupProductId(const ProductConfig& config) {
  const std::optional<long long> id = ParseLeadingInteger(config.StartupProduct);
  if (!id || *id == 0) return config.ProductID;
  return std::to_string(*id);
}

std::optional<long long> ParseLeadingInteger(std::string_view text) {
  size_t pos = text.find_first_not_of(" \t\r\n");
  if (pos == std::string_view::npos) return std::nullopt;
  const bool negative = text[pos] == '-';
  if (text[pos] == '+' || negative) ++pos;
  const char* first = text.data() + pos;
  const char* last = text.data() + text.size();
  unsigned long long magnitude = 0;
  const auto [end, ec] = std::from_chars(first, last, magnitude);
  if (end == first || ec != std::errc()) return std::nullopt;
  constexpr auto kMax = static_cast<unsigned long long>(std::numeric_limits<long long>::max());
  if (magnitude > kMax) return std::nullopt;
  const auto value = static_cast<long long>(magnitude);
  return negative ? -value : value;
}

std::vector<std::string> SplitCommaList(std::string_view text) {
  std::vector<std::string> out;
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t end = text.find(',', begin);
    if (end == std::string_view::npos) end = text.size();
    std::string_view entry = text.substr(begin, end - begin);
    const size_t first = entry.find_first_not_of(" \t\r\n");
    if (first != std::string_view::npos) {
      const size_t last = entry.find_last_not_of(" \t\r\n");
      out.emplace_back(entry.substr(first, last - first + 1));
    }
    begin = end + 1;
  }
  return out;
}

ChildTexts ReadChildTexts(XmlDocument& doc) {
  ChildTexts out;
  if (!doc.IntoElem()) return out;
  while (doc.FindElem()) out.emplace(doc.GetTagName(), doc.GetData());
  doc.OutOfElem();
  return out;
}

bool FindElemPath(XmlDocument& doc, std::initializer_list<std::string_view> path) {
  doc.ResetPos();
  bool first = true;
  for (std::string_view name : path) {
    if (!first && !doc.IntoElem()) return false;
    if (!doc.FindElem(name)) return false;
    first = false;
  }
  return !first;
}

void TakeChildText(const std::map<std::string, std::string, std::less<>>& children, std::string_view name,
                   std::string* field) {
  const auto it = children.find(name);
  if (it != children.end()) *field = it->second;
}

}  // namespace oru
