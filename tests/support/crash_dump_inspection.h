#pragma once
// Reads what the crash tests compare the crash record with, independently
// of the code under test: an ELF file's ".text" header and a module's load
// address in a dump's memory map.

#include <elf.h>

#include <cstdint>
#include <optional>
#include <string>

namespace oru::testing {

// The ".text" section header of the 64-bit ELF file at `path`.
std::optional<Elf64_Shdr> TextSectionOf(const std::string& path);

// Where the dump's memory map has the start of `path` (file offset 0).
std::optional<uint64_t> LoadBaseInDump(const std::string& dump, const std::string& path);

}  // namespace oru::testing
