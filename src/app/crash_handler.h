#pragma once
// Crash capture: a fatal signal leaves a crash record in the temporary
// folder and a dump beside the executable, then a helper run of the
// installer (or, failing that, the next start) sends the tracking report
// with the crash fields. A record is delivered once: the delivering process
// claims it by renaming it and removes it afterwards.

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "telemetry/report_store.h"

namespace oru {

// The argument of the helper run: `<exe> --crash-report <record path>`.
inline constexpr char kCrashReportArgument[] = "--crash-report";

struct CrashHandlerSetup {
  std::string executable_path;  // own program; the dump is this + ".dmp"
  std::string record_path;      // see CrashRecordPath
  bool start_helper = true;     // start the helper run from the handler
  std::string helper_path;      // program of the helper run; empty: executable_path
};

// The record's place: "<temp dir>oru_crash.rec" (temp_dir ends in "/").
std::string CrashRecordPath(const std::string& temp_dir);

// Installs the fatal-signal handler once per process, publishes the current
// report state and has the report store publish it again after every
// change. Returns false when it could not be installed.
bool InstallCrashHandler(const CrashHandlerSetup& setup);

// Copies the report store's values, flags, dependent records and CDN lists
// to where the handler writes them into the record, so the helper can
// rebuild the report. The store calls it after each change once the
// handler is installed; a burst of changes from several threads may be
// covered by one copy, and the copy published last is never older than
// the last change made before it. Remarks are not carried.
void PublishReportStateForCrash();

// Values the helper run needs to send the crash event the way the crashed
// run would have (collectors, super properties); published with the report
// state from now on.
void SetCrashAnalyticsState(std::map<std::string, std::string> state);

// A record read back.
struct PendingCrash {
  CrashRecord record;
  int signal = 0;
  bool report_enabled = false;
  bool per_product = false;
  bool first_install = true;
  int64_t start_time = 0;
  std::string platform_origin;
  std::map<std::string, std::string> values;
  std::map<int32_t, BindRecord> binds;
  std::map<std::string, int> cdn_addresses;
  std::set<std::string> cdn_urls;
  // What the crashed run's analytics layer was set up with (see
  // SetCrashAnalyticsState); empty when it never was.
  std::map<std::string, std::string> analytics;
};

// Parses a record's text; nullopt when it is not a crash record.
std::optional<PendingCrash> ParseCrashRecord(const std::string& text);

struct CrashDeliveryHooks {
  // Sends the report; empty means SendTrackReport with deferred consent clear.
  std::function<void()> send_report;
  // Queues the "downloader_crash" analytics event; empty queues none.
  std::function<void(const PendingCrash&)> queue_crash_event;
};

// Claims the record at `record_path`, loads its state into the (fresh)
// report store, sets the crash record and "closetype" 5, sends the report
// when it was enabled, queues the crash event and removes the record.
// Returns false when there was no record to claim or it was unreadable
// (an unreadable record, or one not owned by this user, is removed too).
bool DeliverPendingCrashReport(const std::string& record_path, const CrashDeliveryHooks& hooks = {});

// True when `arguments` (program path first) are `<exe> --crash-report <path>`.
bool IsCrashReportHelperRun(const std::vector<std::string>& arguments);

// The helper run: when `arguments` (program path first) are
// `<exe> --crash-report <path>`, delivers that record and returns the exit
// code (0 delivered, 1 nothing delivered); nullopt for any other command line.
std::optional<int> RunCrashReportHelperIfRequested(const std::vector<std::string>& arguments,
                                                   const CrashDeliveryHooks& hooks = {});

// At start-up: when a record from an earlier run is waiting, starts the
// helper run for it (so that this run's own report state stays apart).
// Returns true when a helper was started.
bool StartPendingCrashDelivery(const std::string& executable_path, const std::string& record_path);

}  // namespace oru
