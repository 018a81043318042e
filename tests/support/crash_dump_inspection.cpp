#include "support/crash_dump_inspection.h"

#include <cstring>
#include <regex>
#include <vector>

#include "support/scoped_temp_dir.h"

namespace oru::testing {

std::optional<Elf64_Shdr> TextSectionOf(const std::string& path) {
  std::string file = ReadFileForTesting(path);
  if (file.size() < sizeof(Elf64_Ehdr)) return std::nullopt;
  Elf64_Ehdr header;
  std::memcpy(&header, file.data(), sizeof header);
  if (header.e_shoff + uint64_t{header.e_shnum} * sizeof(Elf64_Shdr) > file.size()) return std::nullopt;
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  std::memcpy(sections.data(), file.data() + header.e_shoff, sections.size() * sizeof(Elf64_Shdr));
  if (header.e_shstrndx >= sections.size()) return std::nullopt;
  const char* names = file.data() + sections[header.e_shstrndx].sh_offset;
  for (const Elf64_Shdr& section : sections) {
    if (std::strcmp(names + section.sh_name, ".text") == 0) return section;
  }
  return std::nullopt;
}

std::optional<uint64_t> LoadBaseInDump(const std::string& dump, const std::string& path) {
  std::smatch match;
  std::regex line("\\n([0-9a-f]+)-[0-9a-f]+ [-rwxps]{4} 00000000 [^\\n]* " + path + "\\n");
  if (!std::regex_search(dump, match, line)) return std::nullopt;
  return std::stoull(match[1].str(), nullptr, 16);
}

}  // namespace oru::testing
