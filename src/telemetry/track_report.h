#pragma once
// The tracking report: one flat JSON summary of the run, built from the
// report store plus fields computed at sending time, posted to the platform
// host and copied to the temporary folder.

#include <cstdint>
#include <string>
#include <vector>

#include "common/clock.h"

namespace oru {

// What a download task contributes (the orchestrator's tasks).
enum class TaskKind { kDotNet = 0, kDependent = 1, kProduct = 2 };
struct TaskReportInput {
  int32_t product_id = 0;
  TaskKind kind = TaskKind::kProduct;
  int64_t package_size = 0;
  int64_t down_start = 0;  // Unix seconds; 0 = not yet
  int64_t down_end = 0;
  int64_t install_start = 0;
  int64_t install_end = 0;
  int32_t down_status = 0;  // 0 not started, 1 running, 2 failed, 3 done
  int32_t down_code = 0;
  int32_t install_status = 0;
  int32_t install_code = 0;
  std::string version;
};

// Copies the task results into the report store: the main task (the
// product; in a fork run the first dependent), the .NET task, the
// dependents' times (not in a fork run) and the totals over all tasks, where
// a phase that started but has not ended counts as ending now. Returns true
// when any task exists; an empty list writes nothing.
bool CollectTaskReport(const std::vector<TaskReportInput>& tasks, bool fork_run, const std::string& server_version,
                       const Clock& clock = SystemClock());

// Builds the report(s) and, unless disabled or without a client sign, posts
// each to the platform origin (10 s, the answer not examined; a failure is
// logged, not retried) and writes its local copy
// "ORU_<product id>_T<timestamp>.json" in the temporary folder. A copy of
// that name that exists already is left unchanged. Every report is built
// before the first post, and no store lock is held while posting.
void SendTrackReport(bool deferred_consent, const Clock& clock = SystemClock());

// The report objects SendTrackReport would send now (one per bind record
// in the per-product mode), as compact JSON texts; empty when disabled or
// without a client sign. Like sending, it writes the store keys the report
// depends on: "product_id", "startupproduct" and "serverxmlmd5" per record
// in the per-product mode, "downstatus" 0 for close type 13 in the
// deferred-consent mode.
std::vector<std::string> BuildTrackReports(bool deferred_consent, const Clock& clock = SystemClock());

}  // namespace oru
