// oru-pack: writes a branded installer; see PackUsage() or --help.

#include <iostream>
#include <string>
#include <vector>

#include "oru_pack.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return oru::RunOruPack(args, std::cout, std::cerr);
}
