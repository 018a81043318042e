#include "support/test_data.h"

#include <openssl/evp.h>

namespace oru::testing {

std::string RandomData(size_t size, uint32_t seed) {
  std::string data(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    data[i] = static_cast<char>(x & 0xff);
  }
  return data;
}

std::string Md5Hex(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0x0f]);
  }
  return text;
}

}  // namespace oru::testing
