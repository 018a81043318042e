#include "platform/resources.h"

#include <cstdint>
#include <fstream>
#include <mutex>

#include "platform/file_util.h"
#include "platform/locations.h"
#include "platform/process_util.h"

namespace oru {
namespace {

constexpr char kOverlayMagic[] = "ORUPACK1";
constexpr size_t kMagicSize = 8;
constexpr size_t kTrailerSize = 8 + kMagicSize;  // index size + magic

struct EmbeddedTable {
  const EmbeddedResource* table;
  size_t count;
};

std::vector<EmbeddedTable>& EmbeddedTables() {
  static std::vector<EmbeddedTable>* tables = new std::vector<EmbeddedTable>();
  return *tables;
}

void PutLe(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint64_t GetLe(const std::string& in, size_t pos, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(static_cast<unsigned char>(in[pos + i])) << (8 * i);
  return value;
}

struct OverlayIndex {
  struct Row {
    std::string type;
    int id;
    uint64_t offset;
    uint64_t size;
  };
  std::vector<Row> rows;
  uint64_t data_start = 0;  // file offset of the overlay's data
  uint64_t plain_size = 0;  // file size without the overlay
};

// Reads and checks the index; nullopt when the file has no well-formed overlay.
std::optional<OverlayIndex> ReadOverlayIndex(std::ifstream& in) {
  in.seekg(0, std::ios::end);
  const std::streamoff file_size = in.tellg();
  if (file_size < static_cast<std::streamoff>(kTrailerSize)) return std::nullopt;
  std::string trailer(kTrailerSize, '\0');
  in.seekg(file_size - static_cast<std::streamoff>(kTrailerSize));
  if (!in.read(trailer.data(), kTrailerSize)) return std::nullopt;
  if (trailer.compare(8, kMagicSize, kOverlayMagic) != 0) return std::nullopt;
  const uint64_t index_size = GetLe(trailer, 0, 8);
  const uint64_t tail = static_cast<uint64_t>(file_size) - kTrailerSize;
  if (index_size > tail) return std::nullopt;
  std::string index(index_size, '\0');
  in.seekg(static_cast<std::streamoff>(tail - index_size));
  if (!in.read(index.data(), static_cast<std::streamsize>(index_size))) return std::nullopt;

  OverlayIndex result;
  uint64_t data_size = 0;
  size_t pos = 0;
  while (pos < index.size()) {
    const size_t type_len = static_cast<unsigned char>(index[pos]);
    if (index.size() - pos < 1 + type_len + 4 + 8 + 8) return std::nullopt;
    OverlayIndex::Row row;
    row.type = index.substr(pos + 1, type_len);
    pos += 1 + type_len;
    row.id = static_cast<int>(static_cast<int32_t>(GetLe(index, pos, 4)));
    row.offset = GetLe(index, pos + 4, 8);
    row.size = GetLe(index, pos + 12, 8);
    pos += 20;
    if (row.offset > UINT64_MAX - row.size) return std::nullopt;
    data_size = std::max(data_size, row.offset + row.size);
    result.rows.push_back(std::move(row));
  }
  // The data of every entry lies just before the index.
  const uint64_t before_index = tail - index_size;
  uint64_t total_data = 0;
  for (const auto& row : result.rows) {
    if (row.size > before_index - total_data) return std::nullopt;
    total_data += row.size;
  }
  if (data_size > total_data) return std::nullopt;
  result.data_start = before_index - total_data;
  result.plain_size = result.data_start;
  return result;
}

std::optional<std::string> ReadRange(std::ifstream& in, uint64_t offset, uint64_t size) {
  std::string data(size, '\0');
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  if (!in.read(data.data(), static_cast<std::streamsize>(size))) return std::nullopt;
  return data;
}

std::optional<std::string> FromOverlay(std::string_view type, int id) {
  static const std::string exe = OwnExecutablePath();
  if (exe.empty()) return std::nullopt;
  std::ifstream in(exe, std::ios::binary);
  if (!in) return std::nullopt;
  std::optional<OverlayIndex> index = ReadOverlayIndex(in);
  if (!index) return std::nullopt;
  for (const auto& row : index->rows) {
    if (row.type == type && row.id == id) return ReadRange(in, index->data_start + row.offset, row.size);
  }
  return std::nullopt;
}

std::optional<std::string> FromEmbedded(std::string_view type, int id) {
  for (const EmbeddedTable& t : EmbeddedTables()) {
    for (size_t i = 0; i < t.count; ++i) {
      const EmbeddedResource& r = t.table[i];
      if (r.id == id && type == r.type) return std::string(r.begin, r.end);
    }
  }
  return std::nullopt;
}

}  // namespace

bool RegisterEmbeddedResources(const EmbeddedResource* table, size_t count) {
  EmbeddedTables().push_back({table, count});
  return true;
}

std::string ResourceOverrideFileName(std::string_view type, int id) {
  return std::string(type) + "_" + std::to_string(id);
}

std::optional<std::string> LoadResource(std::string_view type, int id, const std::string& override_dir) {
  if (!override_dir.empty()) {
    std::string data;
    if (ReadWholeFile(JoinPath(override_dir, ResourceOverrideFileName(type, id)), data)) return data;
  }
  if (auto data = FromOverlay(type, id)) return data;
  return FromEmbedded(type, id);
}

std::optional<std::string> LoadResource(std::string_view type, int id) {
  return LoadResource(type, id, ProcessLocations().resource_dir);
}

std::string BuildOverlay(const std::vector<OverlayEntry>& entries) {
  std::string data;
  std::string index;
  for (const OverlayEntry& e : entries) {
    const std::string type = e.type.substr(0, 255);
    index.push_back(static_cast<char>(type.size()));
    index += type;
    PutLe(index, static_cast<uint32_t>(e.id), 4);
    PutLe(index, data.size(), 8);
    PutLe(index, e.data.size(), 8);
    data += e.data;
  }
  std::string overlay = data + index;
  PutLe(overlay, index.size(), 8);
  overlay.append(kOverlayMagic, kMagicSize);
  return overlay;
}

std::vector<OverlayEntry> ReadOverlay(const std::string& file_path) {
  std::vector<OverlayEntry> entries;
  std::ifstream in(file_path, std::ios::binary);
  if (!in) return entries;
  std::optional<OverlayIndex> index = ReadOverlayIndex(in);
  if (!index) return entries;
  for (const auto& row : index->rows) {
    std::optional<std::string> data = ReadRange(in, index->data_start + row.offset, row.size);
    if (!data) return {};
    entries.push_back({row.type, row.id, std::move(*data)});
  }
  return entries;
}

long long SizeWithoutOverlay(const std::string& file_path) {
  std::ifstream in(file_path, std::ios::binary);
  if (!in) return -1;
  if (std::optional<OverlayIndex> index = ReadOverlayIndex(in)) return static_cast<long long>(index->plain_size);
  in.clear();
  in.seekg(0, std::ios::end);
  return static_cast<long long>(in.tellg());
}

}  // namespace oru
