#include "server_api/service_endpoints.h"

#include <mutex>

namespace oru {
namespace {

// The built-in hosts sit under reserved example domains and documentation
// addresses, so an installer that was never pointed at real servers cannot
// reach a stranger's machine.
struct EndpointsRecord {
  std::mutex mutex;
  ServiceEndpoints endpoints = DefaultServiceEndpoints();
};

EndpointsRecord& ProcessEndpoints() {
  static auto* record = new EndpointsRecord();  // never destroyed: used until exit
  return *record;
}

}  // namespace

ServiceEndpoints DefaultServiceEndpoints() {
  ServiceEndpoints e;
  e.api_primary = "https://api.quorvane.example";
  e.api_secondary = "https://api2.quorvane.example";
  e.app_key = "3f0a9c1e7b2d4e6f8a0b1c2d.demo";
  e.app_secret = "Wj7sLd2QhRv9NcTe5BxKp3ZyAm8GuFo6Iq";
  e.platform_origin = "http://platform.quorvane.example/";
  e.default_license_url = "https://www.quorvane.example/license";
  e.public_ip_services = {"https://ip1.quorvane.example/ip", "https://ip2.quorvane.example/ip"};
  e.http_dns_servers = {"https://203.0.113.53", "https://198.51.100.53"};
  e.http_dns_account = "172840";
  e.http_dns_access_key = "oru-dl-ak-7d3f1c";
  e.http_dns_secret = "Qv8sN2pLx5Rk0Tm9Hw4Zc6Ye";
  e.analytics_collectors = {"https://collect.quorvane.example:8106/sa", "https://collect2.quorvane.example:8106/sa"};
  return e;
}

ServiceEndpoints GetServiceEndpoints() {
  EndpointsRecord& record = ProcessEndpoints();
  std::lock_guard lock(record.mutex);
  return record.endpoints;
}

void SetServiceEndpoints(const ServiceEndpoints& endpoints) {
  EndpointsRecord& record = ProcessEndpoints();
  std::lock_guard lock(record.mutex);
  record.endpoints = endpoints;
}

}  // namespace oru
