#pragma once
// The analytics collector's body format (internal to the server library):
// "data_list=<percent-encoded base64 of a gzip stream of a JSON array of
// records>&gzip=1".

#include <optional>
#include <string>
#include <vector>

namespace oru::product_server {

// One record of a batch: its JSON text as it stood in the array and the
// members the store indexes (empty when absent or not texts).
struct CollectedRecord {
  std::string json;
  std::string distinct_id;
  std::string event;
  std::string type;
};

// Decodes a collector body into its records (an empty array gives none).
// Without "gzip=1" the base64 text is taken as the JSON array itself.
// nullopt with *error when data_list is missing, the base64 or gzip stream
// is broken, it inflates past 16 MiB, or the text is not a JSON array of
// objects.
std::optional<std::vector<CollectedRecord>> DecodeCollectorBody(const std::string& body, std::string* error);

}  // namespace oru::product_server
