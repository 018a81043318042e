#pragma once
// Small text helpers shared by the transfer layers.

#include <string>
#include <string_view>

namespace oru {

// Removes every "\r\n" pair in one pass; a lone "\r" or "\n" stays.
std::string RemoveCrLfPairs(std::string_view text);

}  // namespace oru
