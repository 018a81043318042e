#pragma once
// The command line of oru-product-server.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "product_server/server_config.h"

namespace oru::product_server {

struct ServerArguments {
  bool help = false;
  bool demo = false;
  std::string config_path;
  std::optional<std::string> package_dir;
  std::optional<std::vector<std::string>> listen;
  std::optional<uint16_t> port;
  std::optional<std::string> tls_cert;
  std::optional<std::string> tls_key;
  std::optional<std::string> store;
};

// Parses the arguments (without the program name); "--name value" and
// "--name=value" both work. nullopt with *error for an unknown option, a
// missing or bad value, both or neither of --config and --demo, or only one
// of --tls-cert and --tls-key.
std::optional<ServerArguments> ParseServerArguments(const std::vector<std::string>& args, std::string* error);

// The configuration the arguments select (the file or the demo) with the
// command-line overrides applied; nullopt with *error when the file does
// not load.
std::optional<ServerConfig> ConfigFromArguments(const ServerArguments& args, std::string* error);

// The --help text: options, configuration format, endpoints and faults.
std::string UsageText();

}  // namespace oru::product_server
