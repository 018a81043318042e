#pragma once
// The product the installer installs, as its embedded product XML describes
// it. Parsing fills it; until then every field holds its default. The
// fields are named after the XML elements (docs/product_xml.md lists them).
//
// Pure: nothing here touches the registry, the network, the report store or
// the resources; the orchestrator does those around ParseProductXml.

#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace oru {

class XmlDocument;

// One dependent product. The product XML gives the first group of fields;
// the server's bound items (server_runtime.h) also give the digests and size.
struct DependentItem {
  std::string ProductID;          // decimal product identifier
  std::string ProductName;        // display name
  std::string ProductExe;         // executable file name
  std::string ProductArg;         // start arguments
  std::string ProductInstallArg;  // extra package installer arguments
  std::string ProductInsCmple;    // compatibility layers for its package
  std::string Url_Down;           // package address, 32-bit
  std::string Url_Downx64;        // package address, 64-bit
  std::string Url_Down_arm64;     // package address, Arm64
  std::string ForceInstall = "true";  // install even when already present
  std::string ForkInstall;        // "1": installed by a fork-mode copy
  // Filled only from the server.
  std::string md5;
  std::string history_md5_32;
  std::string md5_64;
  std::string history_md5_64;
  std::string md5_arm64;
  std::string history_md5_arm64;
  std::string filesize;  // decimal bytes

  bool operator==(const DependentItem&) const = default;
};

// A package address group (Downurl, Downurl_x64, Downurl_arm64).
struct DownurlGroup {
  std::string OnlyUseLocalUrl;  // "1": never take the server's address
  std::string Url_Down;

  bool operator==(const DownurlGroup&) const = default;
};

struct InstallurlGroup {
  std::string OnlyUseLocalUrl;  // how the server's thank-you page combines with ours
  std::string Url_Install;      // local thank-you page

  bool operator==(const InstallurlGroup&) const = default;
};

struct ClipboardGroup {
  std::string Access;   // "1": read the clipboard once
  std::string Keyword;  // the clipboard text must begin with it

  bool operator==(const ClipboardGroup&) const = default;
};

// The optional <Services> group: where a vendor's installer finds its
// servers. An empty text or list keeps the built-in value.
struct ServiceOverrides {
  std::string ApiHost;        // primary product API origin
  std::string ApiBackupHost;  // secondary product API origin
  std::string AppKey;
  std::string AppSecret;
  std::vector<std::string> PublicIpServices;  // asked in order
  std::vector<std::string> HttpDnsServers;
  std::string HttpDnsAccount;
  std::string HttpDnsAccessKey;
  std::string HttpDnsSecret;
  std::vector<std::string> AnalyticsCollectors;  // tried in order
  std::string LicenseUrl;  // default licence page (when Url_License is empty or absent)

  bool operator==(const ServiceOverrides&) const = default;
};

struct ProductConfig {
  std::string ProductSkin;
  std::string ProductBrand;  // brand word of texts, folders and the client sign
  std::string ProductName;   // display name: window title and instance name
  std::string ProductExe;
  std::string ProductArg;
  std::string FoldBottom = "1";
  std::string ProductInstallArg;
  std::string ProductInsCmple;
  std::string CustomInstallPath;
  std::string PrivacyPost = "1";  // "1": deferred-consent mode
  std::string IsAllowInstallAdminPath;
  std::string ServerHost;  // always ends in "/" after parsing
  std::string ProductID;   // decimal product identifier
  std::string AppID;
  std::string Channel;
  std::string DownloadFirstUrl;
  DownurlGroup Downurl;
  DownurlGroup Downurl_x64;    // read only under WOW64
  DownurlGroup Downurl_arm64;  // read only under WOW64 on an Arm64 machine
  std::string InstallTime;
  InstallurlGroup Installurl;
  std::string Url_License;
  std::string UserAgreementUrl;
  std::string PrivacyAgreementUrl;
  std::string Languages;
  std::string Dotnetminver;
  std::string Dotneturl;
  std::string AgreeUserLicense;
  std::string StartupProduct;
  std::string Url_Jump;
  std::string isSilentJumpSuccess;
  std::string InstallErrorUrl;
  std::string InstallSalvageTitle;
  std::string InstallSalvageContent;
  std::string NotSupportWin32;
  std::string SceneCode;
  std::string BannerImg;
  std::string AllowRunTimeInstall;
  std::string IsDelInstaller = "0";
  std::string InstallerStorageDirectory = "0";
  std::string InstallationConfirmation = "0";
  std::string EnableCustomStrategy = "0";
  std::string StrategyName;
  std::string NetworkTierBasis = "1";
  std::vector<DependentItem> Dependents;  // retained items, in document order
  ClipboardGroup Clipboard;
  ServiceOverrides Services;

  bool operator==(const ProductConfig&) const = default;
};

enum class ProductXmlStatus {
  kOk,
  kParseError,  // the bytes are not a well-formed document
  kNoProduct,   // well formed, but the root element is not Product
};

// What the caller knows before parsing.
struct ProductXmlDefaults {
  std::string server_host;  // ServerHost when the element is absent
  std::string license_url;  // Url_License when absent or empty (Services/LicenseUrl wins)
  bool wow64 = false;       // 32-bit installer on 64-bit Windows: read Downurl_x64
  bool arm64 = false;       // native Arm64 machine: with wow64, read Downurl_arm64
};

// Parses the product XML (UTF-8 bytes; invalid sequences read as "?") into
// *out, which is first reset to the defaults. Each element is the first
// direct child of Product with its name, in any order; CDATA is taken
// literally; an element present but empty keeps its empty text (except
// Url_License). ServerHost gains a trailing "/". A Dependent/item is kept
// only with a ProductID and at least one address. item_pids (may be null)
// receives every item's ProductID in document order, kept or not. Logs
// nothing: the caller logs around it. On kParseError / kNoProduct *out holds
// the defaults only.
ProductXmlStatus ParseProductXml(std::string_view utf8_bytes, const ProductXmlDefaults& defaults,
                                 ProductConfig* out, std::vector<std::string>* item_pids);

// "ORU_DOWNTASK_" + product_id + ".xml": the run-state file's name.
std::string RunStateFileName(std::string_view product_id);

// The product started after installing: StartupProduct as a decimal number,
// or ProductID when it reads as 0 (empty, "0", no leading digits).
std::string StartupProductId(const ProductConfig& config);

// Reads a number the way the installer's switches are read: optional
// blanks, an optional sign, then decimal digits up to the first other
// character ("01" -> 1, "12abc" -> 12). nullopt when there is no digit or
// the value does not fit.
std::optional<long long> ParseLeadingInteger(std::string_view text);

// Splits a comma-separated list, trims blanks around each entry and drops
// empty entries ("a, b,,c" -> {"a","b","c"}).
std::vector<std::string> SplitCommaList(std::string_view text);

// Reading helpers shared by the configuration records.

// The texts of the current element's direct children by name; the first
// element of each name wins. The element stays current afterwards (its
// last child becomes the current child). Empty when there is no current
// element.
std::map<std::string, std::string, std::less<>> ReadChildTexts(XmlDocument& doc);

// From the document level, finds the first element of each name in turn,
// entering each but the last; the last becomes the current element. False
// (position undefined) when one is missing.
bool FindElemPath(XmlDocument& doc, std::initializer_list<std::string_view> path);

// Copies the child's text into *field when the child exists; a missing
// element leaves the default in place.
void TakeChildText(const std::map<std::string, std::string, std::less<>>& children, std::string_view name,
                   std::string* field);

}  // namespace oru
