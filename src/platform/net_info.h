#pragma once
// Networking and memory facts of the machine: system name resolution, the
// system resolver cache, the count of received TCP segments and the
// available physical memory. Every function reports failure by its return
// value and never throws; all of them may be called from any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace oru {

// IPv4 addresses of `host` from the system resolver (IPv4 only), in host
// byte order (127.0.0.1 is 0x7F000001), in the resolver's order without
// duplicates. A numeric address gives itself. Empty when the name cannot be
// resolved or `host` is empty. Blocks for as long as the resolver takes.
std::vector<uint32_t> ResolveIpv4(const std::string& host);

// Asks the system resolver to forget its cached answers ("resolvectl
// flush-caches"). True when the tool ran and reported success; false when it
// is not installed, could not be started or failed. Blocks until it ends.
bool FlushResolverCache();

// TCP segments received since start-up (the kernel's Tcp InSegs counter).
// nullopt when the counter cannot be read.
std::optional<uint64_t> ReceivedTcpSegments();

// Physical memory available to new allocations without swapping, in bytes
// (MemAvailable). nullopt when it cannot be read.
std::optional<uint64_t> AvailablePhysicalMemory();

// The same two readings from a file in the kernel's format (/proc/net/snmp,
// /proc/meminfo), so that tests can feed prepared texts.
std::optional<uint64_t> ReceivedTcpSegmentsFromFileForTesting(const std::string& path);
std::optional<uint64_t> AvailablePhysicalMemoryFromFileForTesting(const std::string& path);

}  // namespace oru
