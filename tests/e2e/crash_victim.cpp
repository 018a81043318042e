// A program that crashes on purpose, for the crash-capture tests.
//   crash_victim <how> <record path> <helper|nohelper|badhelper> [enabled [origin]]
//   crash_victim --crash-report <record path>   (the helper run)
// <how>: null_write, wild_jump, divide, abort. "badhelper" names a helper
// program that does not exist. The report's state is changed once more
// after the handler is installed ("late" = "after-install", a CDN URL and
// a dependent's record). The helper run writes the report it would send to
// "<record path>.report" and the crash event to "<record path>.event"
// instead of sending them; with CRASH_VICTIM_SEND=1 it sends the report to
// the recorded origin and the event to its collector ("<origin>sa"), and
// writes the event file once the event went.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/crash_analytics.h"
#include "app/crash_handler.h"
#include "platform/process_util.h"
#include "telemetry/report_store.h"
#include "telemetry/track_report.h"

namespace {

// Read at run time, so the compiler cannot see the faults coming.
volatile uintptr_t g_bad_data_address = 0;
volatile uintptr_t g_bad_code_address = 0x10;
volatile int g_zero = 0;
volatile int g_one = 1;

// The undefined-behaviour sanitizer would report these faults itself; the
// point is the signal.
[[gnu::noipa, gnu::no_sanitize("undefined")]] void WriteThroughNull() {
  *reinterpret_cast<volatile int*>(g_bad_data_address) = 42;
}

[[gnu::noipa]] void JumpOutsideModules() {
  using Function = void (*)();
  reinterpret_cast<Function>(g_bad_code_address)();
}

[[gnu::noipa, gnu::no_sanitize("undefined")]] void DivideByZero() {
  volatile int result = g_one / g_zero;
  (void)result;
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

oru::CrashDeliveryHooks RecordingHooks(const std::string& record_path) {
  oru::CrashDeliveryHooks hooks;
  const char* send = std::getenv("CRASH_VICTIM_SEND");
  if (send == nullptr || std::strcmp(send, "1") != 0) hooks.send_report = [record_path] {
    std::string all;
    for (const std::string& report : oru::BuildTrackReports(false)) all += report + "\n";
    WriteText(record_path + ".report", all);
  };
  const bool really_send = send != nullptr && std::strcmp(send, "1") == 0;
  hooks.queue_crash_event = [record_path, really_send](const oru::PendingCrash& crash) {
    if (really_send) oru::SendCrashAnalyticsEvent(crash);
    WriteText(record_path + ".event", "downloader_crash " + std::to_string(crash.record.code) + "\n");
  };
  return hooks;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  if (args.size() == 3) {
    if (auto code = oru::RunCrashReportHelperIfRequested(args, RecordingHooks(args[2]))) return *code;
  }
  if (args.size() < 4) return 2;
  oru::ReportStore& store = oru::ReportStore::Instance();
  store.SetReportText("client_sign", "victim-sign");
  store.SetReportText("product_id", "7");
  store.SetReportEnabled(args.size() > 4 && args[4] == "enabled");
  if (args.size() > 5) store.SetPlatformOrigin(args[5]);
  oru::CrashHandlerSetup setup;
  setup.executable_path = oru::OwnExecutablePath();
  setup.record_path = args[2];
  setup.start_helper = args[3] != "nohelper";
  if (args[3] == "badhelper") setup.helper_path = setup.executable_path + ".missing";
  if (!oru::InstallCrashHandler(setup)) return 3;
  if (args.size() > 5) {
    oru::AnalyticsContext context;
    context.brand = "Quorvane";
    context.product_id = 7;
    context.product_name = "Victim";
    oru::PublishAnalyticsForCrash(context, {args[5] + "sa"});
  }
  store.SetReportText("late", "after-install");
  store.AddCdnUrl("https://cdn.example/pkg.exe");
  store.SetBindDownloadFail(42, -3);
  if (args[1] == "null_write") WriteThroughNull();
  if (args[1] == "wild_jump") JumpOutsideModules();
  if (args[1] == "divide") DivideByZero();
  if (args[1] == "abort") std::abort();
  return 4;
}
