#pragma once
// oru-pack: a branded installer from a built `oru` without compiling. The
// plain executable is copied (an overlay it already carries is dropped, so
// re-packing replaces the branding instead of stacking it) and an overlay
// with the given resources is appended; LoadResource prefers the overlay to
// the resources built in.
//
// Every input is checked before anything is written; the output appears
// whole (temporary file beside it, renamed into place) or not at all.

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace oru {

struct PackOptions {
  std::string installer;    // --installer: the built oru (packed or not)
  std::string out;          // --out: the branded installer to write
  std::string product_xml;  // --product-xml: resource XML 106; empty = none
  std::string lang_xml;     // --lang-xml: resource XML 131
  std::string skin;         // --skin: zip archive, resource ZIPRES 133
  std::string icon;         // --icon: .ico or .png, resource ICON 101
  bool force = false;       // --force: replace an existing --out
};

enum class PackStatus {
  kPacked,   // the output was written
  kRefused,  // bad arguments or inputs; nothing was written
  kFailed,   // reading the installer or writing the output failed; no output left behind
};

struct PackResult {
  PackStatus status = PackStatus::kPacked;
  std::string error;  // what was wrong, naming the file; empty when packed
  size_t overlay_entries = 0;
};

// Process exit code of a result: 0 packed, 2 refused, 1 failed.
int PackExitCode(PackStatus status);

// Checks the options and inputs, then writes the branded installer (mode
// 0755). Never leaves a partial or temporary file behind.
PackResult PackInstaller(const PackOptions& options);

// The --help text.
std::string PackUsage();

// Reads the command line (without the program name). nullopt with `error`
// set for a bad command line; `help` set when --help was asked for.
std::optional<PackOptions> ParsePackArguments(const std::vector<std::string>& args, bool& help, std::string& error);

// The whole tool: parses, packs, reports on `out` / `err`; returns the exit
// code (2 also for a bad command line, 0 for --help).
int RunOruPack(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace oru
