#pragma once
// The run-state file: the user's choices and the partial download of an
// interrupted run, kept beside the package store so the next run can pick
// the download up. File name: RunStateFileName (product_config.h).
//
// Content (UTF-8, no byte-order mark):
//   <?xml version="1.0" encoding="UTF-8"?>
//   <config><Status>..</Status><JoinExp>..</JoinExp><SelectLang>..</SelectLang>
//   <InstallPath>..</InstallPath><AgreeExtInstall>..</AgreeExtInstall>
//   <TmpPackagePath>..</TmpPackagePath></config>
//
// Threads: WriteRunConfig and DeleteRunConfig may be called from several
// threads at once; a process-wide lock serialises them and the file is
// replaced atomically, so a reader never sees a torn file. The record itself
// is the caller's to guard.

#include <string>

namespace oru {

struct RunState {
  std::string Status = "0";        // "1" while a started download is not yet installed
  std::string JoinExp;             // user option restored into the window
  std::string SelectLang;          // install language, by display name
  std::string InstallPath;         // install folder; ends in "/" once read back
  std::string AgreeExtInstall = "1";  // "1": agreed to the fork-installed product
  std::string TmpPackagePath;      // the main package's partial download file
  bool resume = false;             // Status read as a number is 1

  bool operator==(const RunState&) const = default;
};

// Reads the file at path into *state: each child of the config root that is
// present replaces its field (any order; the first of a name wins), and
// InstallPath gains a trailing "/" when it is not empty and lacks one. Then
// sets state->resume from Status ("01" -> resume, "abc" -> not). Logs
// "[INFO] ReadRunConfig" unless path is empty. Returns true when the file
// was read and its root is config; false (no field changed, resume still
// computed) when path is empty, the file is missing or unreadable, does not
// parse or has another root.
bool ReadRunConfig(const std::string& path, RunState* state);

// Replaces the file at path with the record's six values. Does nothing and
// returns false in fork mode or with an empty path; otherwise logs
// "[INFO] WriteRunConfig" and returns whether the file was written (on
// failure the earlier file, if any, stays whole).
bool WriteRunConfig(const std::string& path, const RunState& state, bool fork);

// Clears state->resume and, unless in fork mode or path is empty, deletes
// the file. Returns true when the file is gone afterwards (also when it did
// not exist); false in fork mode, with an empty path or when it could not
// be removed.
bool DeleteRunConfig(const std::string& path, RunState* state, bool fork);

}  // namespace oru
