#pragma once
// The program's own resources (product XML 106, language texts XML 131, skin
// archive ZIPRES 133, icon 101, ...), looked up by type and id.
//
// Precedence, first hit wins:
//   1. the override folder of the locations record: a file named
//      "<TYPE>_<id>" (for example "XML_106");
//   2. the overlay a branding tool appended to the executable;
//   3. the data built into the executable (cmake/EmbedResources.cmake).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace oru {

struct EmbeddedResource {
  const char* type;
  int id;
  const char* begin;
  const char* end;
};

// Called by generated code at static initialisation; the table must live for
// the whole process. Always returns true.
bool RegisterEmbeddedResources(const EmbeddedResource* table, size_t count);

// Returns the resource's bytes, or nullopt when no source has it.
// `override_dir` empty means no override folder.
std::optional<std::string> LoadResource(std::string_view type, int id, const std::string& override_dir);
// The same with the override folder of the process's locations record.
std::optional<std::string> LoadResource(std::string_view type, int id);

// File name of a resource in the override folder: "<TYPE>_<id>".
std::string ResourceOverrideFileName(std::string_view type, int id);

// The overlay: resources appended to a copy of the executable.
//   [data of every entry][index][index size: 8 bytes LE]["ORUPACK1"]
// index entry: type length (1 byte), type, id (4 bytes LE), offset (8 bytes
// LE, from the start of the overlay data), size (8 bytes LE).
struct OverlayEntry {
  std::string type;
  int id = 0;
  std::string data;
};
// The overlay bytes for the entries (to append to an executable).
std::string BuildOverlay(const std::vector<OverlayEntry>& entries);
// Reads the overlay at the end of a file; empty when it has none or it is
// malformed (a malformed overlay is ignored rather than half-read).
std::vector<OverlayEntry> ReadOverlay(const std::string& file_path);
// Length of the file without its overlay (the plain executable), or the whole
// length when it has none; -1 when the file cannot be read.
long long SizeWithoutOverlay(const std::string& file_path);

}  // namespace oru
