#pragma once
// The product the installer installs, as its embedded product XML describes
// it. Loading fills it; until then every field holds its default.

#include <string>

namespace oru {

struct ProductConfig {
  std::string ProductBrand;  // brand word of texts, folders and the client sign
  std::string ProductName;   // display name: window title and instance name
  std::string ProductID;     // decimal product identifier
};

}  // namespace oru
