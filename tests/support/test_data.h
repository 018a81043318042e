#pragma once
// Test payloads: reproducible pseudo-random bytes and their MD5.

#include <cstddef>
#include <cstdint>
#include <string>

namespace oru::testing {

// `size` bytes from a xorshift32 stream seeded with `seed`; the same
// arguments always give the same bytes.
std::string RandomData(size_t size, uint32_t seed);

// MD5 of `data` as 32 upper-case hexadecimal digits.
std::string Md5Hex(const std::string& data);

}  // namespace oru::testing
