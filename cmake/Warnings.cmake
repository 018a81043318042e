# Warnings are errors for our own code; third-party headers come in as SYSTEM.
add_library(oru_warnings INTERFACE)
target_compile_options(oru_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror
  -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual -Wcast-align
  -Wformat=2 -Wimplicit-fallthrough -Wmissing-declarations)
