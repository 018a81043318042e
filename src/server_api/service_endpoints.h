#pragma once
// The addresses and credentials of the services the installer talks to.
// Each has a built-in default; a vendor points an installer at its own
// servers through the product XML's <Services> element (docs/product_xml.md),
// which start-up applies once before any request is made.

#include <string>
#include <vector>

namespace oru {

struct ServiceEndpoints {
  // Product API origins ("https://host[:port]", no trailing "/").
  std::string api_primary;
  std::string api_secondary;
  // Client credentials sent with token requests.
  std::string app_key;
  std::string app_secret;
  // Platform host origin with a trailing "/": the default `ServerHost`
  // (runtime document, track id, tracking report).
  std::string platform_origin;
  // Licence page used when the product XML gives none.
  std::string default_license_url;
  // What-is-my-address services, asked in order.
  std::vector<std::string> public_ip_services;
  // HTTP DNS service origins and account (given to the download engine).
  std::vector<std::string> http_dns_servers;
  std::string http_dns_account;
  std::string http_dns_access_key;
  std::string http_dns_secret;
  // Analytics collectors, tried in order.
  std::vector<std::string> analytics_collectors;
};

// The built-in values.
ServiceEndpoints DefaultServiceEndpoints();

// The process's current values (a copy; any thread).
ServiceEndpoints GetServiceEndpoints();
// Replaces them (start-up, tests).
void SetServiceEndpoints(const ServiceEndpoints& endpoints);

}  // namespace oru
