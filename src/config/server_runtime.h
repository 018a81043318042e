#pragma once
// The product server's runtime document (qvrp/downloader/runtime and the
// bound dependents under qvrp/downloader/bind), the request addresses that
// fetch it, and the rules that combine server and local values into the
// values the run uses.
//
// Pure: no network, no report store; the orchestrator requests, logs around
// these functions and records what they return.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/product_config.h"

namespace oru {

// The runtime document's values; empty until a document fills them. Fields
// are named after the elements.
struct ServerRuntime {
  std::string name;          // product name (reported)
  std::string version;       // current product version
  std::string process_name;  // product process name (reported)
  std::string install_url;   // server thank-you page
  std::string download_url;  // 32-bit package
  std::string download_url_with_framework;
  std::string download_url_net;
  std::string download_url_net_with_framework;
  std::string download_url_x64;
  std::string download_url_arm64;
  std::string banner_url;  // as sent, without the cache-busting query
  std::string oiap_url;    // licence page
  std::string md5;
  std::string history_md5_32;
  std::string md5_64;
  std::string history_md5_64;
  std::string md5_arm64;
  std::string history_md5_arm64;
  std::string filesize;  // decimal bytes
  std::string netfx_minver;
  std::string netfxlite_url;
  std::string languages;
  std::string Url_Jump;
  std::string install_error_url;
  std::string custom_install_path;
  std::string is_allow_install_admin_path;
  std::string user_agreement_url;
  std::string privacy_agreement_url;
  std::string not_support_win32;
  std::string download_process_config;

  bool operator==(const ServerRuntime&) const = default;
};

// Parses a runtime document (UTF-8; invalid sequences read as "?"). Returns
// true when the root element is qvrp, even when downloader or runtime is
// missing. Each runtime element present overwrites its field; missing ones
// leave it unchanged. Every downloader/bind/item is read (ForceInstall
// defaults to "true"); its ProductID goes to bind_pids and, when it has a
// ProductID and an address, the item goes to bound_items, both in document
// order (either may be null). Logs "[INFO] LoadServerXml downloader.runtime."
// when it reads a runtime element. Returns false, changing nothing, for a
// document that does not parse or has another root.
bool ParseServerRuntimeXml(std::string_view utf8, ServerRuntime* rt,
                           std::vector<DependentItem>* bound_items,
                           std::vector<std::string>* bind_pids);

// Removes every entry with item's ProductID from list and appends item, so
// the server's entry replaces the local one and moves to the end.
void MergeBoundDependent(std::vector<DependentItem>& list, DependentItem item);

// The report's "serverxmlmd5": non-empty md5, history_md5_32, md5_64,
// history_md5_64, md5_arm64, history_md5_arm64 joined with ",".
std::string ServerXmlDigests(const ServerRuntime& rt);
// A bound item's digest list for the report: non-empty md5, history_md5_32,
// history_md5_64, md5_64, md5_arm64, history_md5_arm64 joined with ",".
std::string BindServerDigests(const DependentItem& item);

// url + "_t=" + unix_seconds, joined with "?" when url has none yet, else
// with "&". An empty url stays empty.
std::string AddCacheBuster(std::string url, long long unix_seconds);

// Local BannerImg when not empty; else the server's banner_url with the
// cache-busting query; empty when neither is set.
std::string EffectiveBannerUrl(const ProductConfig& cfg, const ServerRuntime& rt,
                               long long unix_seconds);

// The thank-you page: local Url_Install unless the server sends one. With a
// server page: local OnlyUseLocalUrl "0" takes the server's page; otherwise
// a server page holding "back_url=" is cut right after it and the local page
// appended, percent-encoded; otherwise the local page stays.
std::string EffectiveThankYouUrl(const ProductConfig& cfg, const ServerRuntime& rt);

// oiap_url when not empty, else the local Url_License.
std::string EffectiveLicenseUrl(const ProductConfig& cfg, const ServerRuntime& rt);
// The server's languages when not empty, else the local Languages.
std::string EffectiveLanguages(const ProductConfig& cfg, const ServerRuntime& rt);
// The server's page when not empty, else the local one.
std::string EffectiveUserAgreementUrl(const ProductConfig& cfg, const ServerRuntime& rt);
std::string EffectivePrivacyAgreementUrl(const ProductConfig& cfg, const ServerRuntime& rt);
// The server's is_allow_install_admin_path when not empty, else the local one.
std::string EffectiveAllowInstallAdminPath(const ProductConfig& cfg, const ServerRuntime& rt);

// InstallTime as whole seconds; below 120, above 600 or unreadable gives 240.
std::chrono::seconds EffectiveInstallDuration(std::string_view install_time);

struct DotNetRequirement {
  std::string min_version;
  std::string url;

  bool operator==(const DotNetRequirement&) const = default;
};
// The server pair netfx_minver/netfxlite_url when both are set, else the
// local Dotnetminver/Dotneturl when both are set, else nullopt (no check).
std::optional<DotNetRequirement> EffectiveDotNet(const ProductConfig& cfg, const ServerRuntime& rt);

// download_process_config as a whole percentage (fractions cut): 40 when
// empty, clamped to 10..80 (text without digits reads as 0, so 10).
int DownloadProgressThreshold(std::string_view download_process_config);

// "win_arm64" under WOW64 on an Arm64 machine, "win_x64" under WOW64
// elsewhere, else "win_x86".
std::string PlatformName(bool wow64, bool arm64);

// The installer's version as the product API wants it: the four parts of
// "a.b.c.d" each taken whole, without the fourth when it is 0 ("4.6.4.0" ->
// "4.6.4", "4.6.4.7" -> "4.6.4.7"); "4.6.4" when the text is not four
// numbers (no version known).
std::string OruVersionText(std::string_view file_version);

// What the runtime service request needs beyond the product record.
struct RuntimeQuery {
  std::string client_sign;   // left out in the deferred-consent mode
  std::string self_version;  // the installer's "a.b.c.d"; empty when unknown
  bool wow64 = false;
  bool arm64 = false;
};

// True when the static runtime document is used: AppID and Channel set.
bool UseStaticRuntimeDocument(const ProductConfig& cfg);

// ServerHost + "rest/v2/downloader/runtime/?client_sign=" ... "&product_id="
// "&oru=" "&scene_code=" "&platform=", each value percent-encoded; the
// client sign is empty while PrivacyPost is "1".
std::string RuntimeServiceUrl(const ProductConfig& cfg, const RuntimeQuery& query);

// The static document beside the 32-bit package: Downurl/Url_Down up to (not
// including) its last "/" (nothing when it has none), then "/xml/", AppID,
// "_", Channel, ".xml" (AppID and Channel percent-encoded).
std::string StaticRuntimeDocumentUrl(const ProductConfig& cfg);

// The address of the runtime document: the static form when
// UseStaticRuntimeDocument, else the service form.
std::string ServerRuntimeUrl(const ProductConfig& cfg, const RuntimeQuery& query);

}  // namespace oru
