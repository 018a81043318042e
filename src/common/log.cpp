#include "common/log.h"

#include <atomic>

namespace oru {
namespace {
std::atomic<LogSink*> g_process_log{nullptr};
}  // namespace

void SetProcessLog(LogSink* sink) { g_process_log.store(sink, std::memory_order_release); }

LogSink* ProcessLog() { return g_process_log.load(std::memory_order_acquire); }

void Log(int level, const char* format, ...) {
  LogSink* sink = ProcessLog();
  if (sink == nullptr) return;
  va_list args;
  va_start(args, format);
  sink->LogV(level, format, args);
  va_end(args);
}

}  // namespace oru
