#pragma once
// The process logger: appends one line per call to a text file, keeps at most
// five dated copies of earlier runs, and may be called from any thread.
// The file is opened and closed for every line, so other processes (the log
// uploader, an editor) can read it at any time and a crash loses nothing
// but the line being written.

#include <cstdarg>
#include <mutex>
#include <string>

#include "common/clock.h"
#include "common/log.h"

namespace oru {

class simpleLog final : public LogSink {
 public:
  // `file_name` is the full path of the live log. `clock` gives the time of
  // the line prefix and of the dated copies; it must outlive the logger.
  explicit simpleLog(std::string file_name, Clock& clock = SystemClock());

  // Prepares the file for the run: prunes old copies so that at most five
  // remain with the live file counted, then renames the live file to its
  // dated name. Runs once; later calls do nothing. Errors are ignored.
  void Open();

  // Appends "[date time] thread - message\n". A line that cannot be written
  // is dropped silently; the next call tries again.
  void Log(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void LogV(int level, const char* format, va_list args) override;

  const std::string& file_name() const { return current_file_name_; }

  // How many files of the family (live file included) Open keeps before rotating.
  static constexpr size_t kKeptFiles = 5;

 private:
  void PruneOldCopies(const std::string& dir, const std::string& stem, const std::string& ext);
  std::string ChooseBackupName(const std::string& dir, const std::string& stem, const std::string& ext);

  Clock& clock_;
  std::string current_file_name_;
  std::mutex write_lock_;  // guards the file during one open-write-close
  std::string configured_file_name_;
  int opened_ = 0;
  int backup_ = 1;
};

}  // namespace oru
