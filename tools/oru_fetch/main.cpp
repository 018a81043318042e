// oru-fetch: downloads one URL into a folder with the installer's download
// engine, showing progress, speed and time left.
//
//   oru-fetch [--md5 LIST] [--segments N] [--concurrency M] [--log FILE] URL FOLDER
//
// Exit code 0 for results 0 (downloaded) and 1 (already downloaded), the
// result code otherwise (8 for a bad command line). SIGINT/SIGTERM cancel the
// download, leaving its resume record for the next run (exit code 13).

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/log.h"
#include "download_engine/downloader_manager.h"
#include "platform/termination_signal.h"

namespace {

using Steady = std::chrono::steady_clock;

constexpr int32_t kTaskId = 1;
constexpr int kUsageError = ns_PEM::kResultParameterError;

struct Options {
  std::string md5;
  int32_t segments = 0;
  int32_t concurrency = 0;
  std::string log_file;
  std::string url;
  std::string folder;
};

void PrintUsage() {
  std::fprintf(stderr, "usage: oru-fetch [--md5 LIST] [--segments N] [--concurrency M] [--log FILE] URL FOLDER\n");
}

bool ParseCount(const char* text, int32_t& out) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > 1024) return false;
  out = static_cast<int32_t>(value);
  return true;
}

std::optional<Options> ParseArguments(int argc, char** argv) {
  Options options;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--md5" && has_value) {
      options.md5 = argv[++i];
    } else if (arg == "--log" && has_value) {
      options.log_file = argv[++i];
    } else if (arg == "--segments" && has_value) {
      if (!ParseCount(argv[++i], options.segments)) return std::nullopt;
    } else if (arg == "--concurrency" && has_value) {
      if (!ParseCount(argv[++i], options.concurrency)) return std::nullopt;
    } else if (arg.rfind("--", 0) == 0) {
      return std::nullopt;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2) return std::nullopt;
  options.url = positional[0];
  options.folder = positional[1];
  return options;
}

// The engine's log lines, one per line with a time stamp, in a file.
class FileLog : public oru::LogSink {
 public:
  explicit FileLog(const std::string& path) : file_(std::fopen(path.c_str(), "a")) {}
  ~FileLog() override {
    if (file_ != nullptr) std::fclose(file_);
  }
  FileLog(const FileLog&) = delete;
  FileLog& operator=(const FileLog&) = delete;
  bool ok() const { return file_ != nullptr; }
  void LogV(int, const char* format, va_list args) override {
    std::lock_guard lock(mutex_);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start_).count();
    std::fprintf(file_, "%8.3f ", static_cast<double>(ms) / 1000.0);
    std::vfprintf(file_, format, args);
    std::fputc('\n', file_);
    std::fflush(file_);
  }

 private:
  std::FILE* file_;
  std::mutex mutex_;
  const Steady::time_point start_ = Steady::now();
};

std::string HumanBytes(double bytes) {
  static const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024.0 && unit < 4) {
    bytes /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof(text), unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

std::string Duration(double seconds) {
  if (seconds < 0 || seconds > 99 * 3600) return "--:--";
  const long s = static_cast<long>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof(text), "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(text, sizeof(text), "%02ld:%02ld", s / 60, s % 60);
  }
  return text;
}

// Progress display: a bar redrawn in place on a terminal, a plain line per
// second otherwise. Speed is measured over the last few seconds.
class ProgressPrinter : public ns_PEM::IDownloaderManagerCallBack {
 public:
  explicit ProgressPrinter(bool terminal) : terminal_(terminal) {}

  void OnFileSize(int32_t, int64_t size) override {
    std::lock_guard lock(mutex_);
    total_ = size;
  }
  void OnProgress(int32_t, int64_t downloaded, int64_t total, int64_t) override {
    std::lock_guard lock(mutex_);
    total_ = total;
    downloaded_ = downloaded;
    const Steady::time_point now = Steady::now();
    samples_.emplace_back(now, downloaded);
    while (samples_.size() > 2 && now - samples_.front().first > std::chrono::seconds(3)) samples_.pop_front();
    if (now - last_draw_ < (terminal_ ? std::chrono::milliseconds(200) : std::chrono::milliseconds(1000))) return;
    last_draw_ = now;
    DrawLocked(false);
  }
  void OnAttemptEnd(int32_t, int32_t retry, int32_t result) override {
    if (result == 0) return;
    std::lock_guard lock(mutex_);
    ClearLineLocked();
    std::printf("attempt %d ended: %d %s\n", retry, result, ns_PEM::GetDownloadResultText(result));
    std::fflush(stdout);
  }
  void OnComplete(int32_t, int32_t result) override { Finish(result); }
  void OnFailed(int32_t, int32_t result) override { Finish(result); }

  // Waits for the end of the job; its result.
  int32_t WaitForResult() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return result_.has_value(); });
    return *result_;
  }
  // The last line: the bar at its final state (success only), then the result.
  void PrintSummary(int32_t result) {
    std::lock_guard lock(mutex_);
    if (ns_PEM::IsDownloadSuccess(result) && total_ > 0) {
      downloaded_ = total_;
      DrawLocked(true);
    }
    ClearLineLocked();
    const char* text = ns_PEM::GetDownloadResultText(result);
    std::printf("result %d: %s\n", result, result == 0 ? "Downloaded" : text);
    std::fflush(stdout);
  }

 private:
  void Finish(int32_t result) {
    {
      std::lock_guard lock(mutex_);
      result_ = result;
    }
    done_.notify_all();
  }
  double SpeedLocked() const {
    if (samples_.size() < 2) return 0;
    const double seconds = std::chrono::duration<double>(samples_.back().first - samples_.front().first).count();
    if (seconds <= 0) return 0;
    return static_cast<double>(samples_.back().second - samples_.front().second) / seconds;
  }
  void DrawLocked(bool final_line) {
    const double speed = final_line ? AverageSpeedLocked() : SpeedLocked();
    const double fraction = total_ > 0 ? static_cast<double>(downloaded_) / static_cast<double>(total_) : 0;
    const double left = speed > 0 ? static_cast<double>(total_ - downloaded_) / speed : -1;
    const std::string figures = HumanBytes(static_cast<double>(downloaded_)) + " / " +
                                HumanBytes(static_cast<double>(total_)) + "  " + HumanBytes(speed) + "/s  " +
                                (final_line ? "in " + Duration(Elapsed()) : "ETA " + Duration(left));
    if (!terminal_) {
      std::printf("%5.1f%%  %s\n", fraction * 100.0, figures.c_str());
      std::fflush(stdout);
      return;
    }
    constexpr int kWidth = 30;
    const int filled = static_cast<int>(fraction * kWidth + 0.5);
    std::string bar(static_cast<size_t>(std::min(filled, kWidth)), '#');
    bar.resize(kWidth, '.');
    std::printf("\r\033[K[%s] %5.1f%%  %s", bar.c_str(), fraction * 100.0, figures.c_str());
    std::fflush(stdout);
    drawn_ = true;
  }
  void ClearLineLocked() {
    if (!terminal_ || !drawn_) return;
    std::printf("\n");
    drawn_ = false;
  }
  double Elapsed() const { return std::chrono::duration<double>(Steady::now() - start_).count(); }
  double AverageSpeedLocked() const {
    const double seconds = Elapsed();
    return seconds > 0 ? static_cast<double>(total_) / seconds : 0;
  }

  const bool terminal_;
  const Steady::time_point start_ = Steady::now();
  std::mutex mutex_;
  std::condition_variable done_;
  std::optional<int32_t> result_;
  int64_t total_ = 0;
  int64_t downloaded_ = 0;
  std::deque<std::pair<Steady::time_point, int64_t>> samples_;
  Steady::time_point last_draw_{};
  bool drawn_ = false;
};

// A tool of its own; the platform layer has no terminal query yet.
bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

int Run(const Options& options) {
  std::unique_ptr<FileLog> log;
  if (!options.log_file.empty()) {
    log = std::make_unique<FileLog>(options.log_file);
    if (!log->ok()) {
      std::fprintf(stderr, "oru-fetch: cannot open log file %s\n", options.log_file.c_str());
      return kUsageError;
    }
    oru::SetProcessLog(log.get());
  }
  ProgressPrinter printer(StdoutIsTerminal());
  int32_t result = 0;
  {
    ns_PEM::DownloaderManager manager;
    manager.SetCallback(&printer);
    oru::TerminationSignalWatcher watcher([&manager](int) { manager.RemoveTask(kTaskId); });
    const bool weak = options.segments > 0 || options.concurrency > 0;
    const int32_t id = manager.AddTask(options.url, options.folder, "", kTaskId, "", options.md5, 0,
                                       weak ? ns_PEM::kTaskFlagWeakNetwork : 0, options.segments, options.concurrency);
    result = id == kTaskId ? printer.WaitForResult() : ns_PEM::kResultParameterError;
    manager.Shutdown();
  }
  printer.PrintSummary(result);
  oru::SetProcessLog(nullptr);
  return ns_PEM::IsDownloadSuccess(result) ? 0 : result;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<Options> options = ParseArguments(argc, argv);
  if (!options) {
    PrintUsage();
    return kUsageError;
  }
  return Run(*options);
}
