#include "app/crash_analytics.h"

#include <chrono>
#include <cstdlib>

#include "platform/file_util.h"
#include "platform/locations.h"

namespace oru {
namespace {

constexpr char kCollectors[] = "collectors";
constexpr std::chrono::seconds kShutdownBound{5};

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : "\n") + item;
  return out;
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> out;
  size_t from = 0;
  while (from < text.size()) {
    size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    if (end > from) out.push_back(text.substr(from, end - from));
    from = end + 1;
  }
  return out;
}

std::string Value(const std::map<std::string, std::string>& state, const std::string& key) {
  auto it = state.find(key);
  return it == state.end() ? std::string() : it->second;
}

}  // namespace

std::map<std::string, std::string> CrashAnalyticsState(const AnalyticsContext& context,
                                                       const std::vector<std::string>& collectors) {
  return {{kCollectors, Join(collectors)},
          {"brand", context.brand},
          {"scene_code", context.scene_code},
          {"clipboard_param", context.clipboard_param},
          {"download_url", context.download_url},
          {"package_size", std::to_string(context.package_size)},
          {"deferred_consent", context.deferred_consent ? "1" : "0"},
          {"product_id", std::to_string(context.product_id)},
          {"product_version", context.product_version},
          {"channel", context.channel},
          {"lang_code", context.lang_code},
          {"product_name", context.product_name}};
}

void PublishAnalyticsForCrash(const AnalyticsContext& context, const std::vector<std::string>& collectors) {
  SetCrashAnalyticsState(CrashAnalyticsState(context, collectors));
}

void SendCrashAnalyticsEvent(const PendingCrash& crash) {
  const std::map<std::string, std::string>& state = crash.analytics;
  std::vector<std::string> collectors = Split(Value(state, kCollectors));
  if (collectors.empty()) return;
  AnalyticsSetup setup;
  setup.collectors = collectors;
  // Its own staging file: the next start may be running beside this helper
  // and owns the usual one.
  setup.staging_path = WithTrailingSeparator(ProcessLocations().temp_dir) + "oru_analytics_crash";
  setup.report_startup = false;
  ConfigureAnalytics(setup);

  AnalyticsContext context;
  context.brand = Value(state, "brand");
  context.scene_code = Value(state, "scene_code");
  context.clipboard_param = Value(state, "clipboard_param");
  context.download_url = Value(state, "download_url");
  context.package_size = std::strtoull(Value(state, "package_size").c_str(), nullptr, 10);
  context.deferred_consent = Value(state, "deferred_consent") == "1";
  context.product_id = static_cast<int32_t>(std::atoi(Value(state, "product_id").c_str()));
  context.product_version = Value(state, "product_version");
  context.channel = Value(state, "channel");
  context.lang_code = Value(state, "lang_code");
  context.product_name = Value(state, "product_name");
  InitAnalytics(kAnalyticsProject, kAnalyticsTrackingName, context);

  CrashEventRecord event;
  event.address = crash.record.address;
  event.offset = crash.record.offset;
  event.file_name = crash.record.module_file;
  event.section = crash.record.section;
  event.code = crash.record.code;
  ReportCrash(event);
  ShutdownAnalytics(kShutdownBound);
}

}  // namespace oru
