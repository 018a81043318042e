#include "config/run_state.h"

#include <mutex>
#include <optional>
#include <string_view>

#include "common/log.h"
#include "config/product_config.h"
#include "config/xml_document.h"
#include "platform/file_util.h"

namespace oru {
namespace {

// The file has two writers (the window's download thread and the main
// package's download worker); one lock keeps their replacements in order.
std::mutex& RunStateFileMutex() {
  static std::mutex mu;
  return mu;
}

using Field = std::string RunState::*;
constexpr std::pair<std::string_view, Field> kFields[] = {
    {"Status", &RunState::Status},
    {"JoinExp", &RunState::JoinExp},
    {"SelectLang", &RunState::SelectLang},
    {"InstallPath", &RunState::InstallPath},
    {"AgreeExtInstall", &RunState::AgreeExtInstall},
    {"TmpPackagePath", &RunState::TmpPackagePath},
};

bool ReadFields(const std::string& path, RunState* state) {
  std::string bytes;
  if (!ReadWholeFile(path, bytes)) return false;
  XmlDocument doc;
  if (!doc.SetDoc(bytes) || !FindElemPath(doc, {"config"})) return false;
  const auto children = ReadChildTexts(doc);
  for (const auto& [name, field] : kFields) {
    const auto it = children.find(name);
    if (it != children.end()) state->*field = it->second;
  }
  std::string& install_path = state->InstallPath;
  if (!install_path.empty() && install_path.back() != kPathSeparator) install_path += kPathSeparator;
  return true;
}

std::optional<std::string> BuildDocument(const RunState& state) {
  XmlDocument doc;
  doc.SetDoc(std::string_view("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"));
  if (!doc.AddElem("config") || !doc.IntoElem()) return std::nullopt;
  for (const auto& [name, field] : kFields) {
    if (!doc.AddElem(name, state.*field)) return std::nullopt;
  }
  return doc.GetDocUtf8();
}

}  // namespace

bool ReadRunConfig(const std::string& path, RunState* state) {
  bool read = false;
  if (!path.empty()) {
    Log(kLogInfo, "[INFO] ReadRunConfig");
    read = ReadFields(path, state);
  }
  state->resume = ParseLeadingInteger(state->Status).value_or(0) == 1;
  return read;
}

bool WriteRunConfig(const std::string& path, const RunState& state, bool fork) {
  if (fork || path.empty()) return false;
  Log(kLogInfo, "[INFO] WriteRunConfig");
  const std::optional<std::string> text = BuildDocument(state);
  if (!text) return false;
  std::lock_guard<std::mutex> lock(RunStateFileMutex());
  return WriteFileAtomically(path, *text);
}

bool DeleteRunConfig(const std::string& path, RunState* state, bool fork) {
  state->resume = false;
  if (fork || path.empty()) return false;
  std::lock_guard<std::mutex> lock(RunStateFileMutex());
  return RemoveFile(path) || !PathExists(path);
}

}  // namespace oru
