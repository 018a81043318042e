#include "platform/net_info.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "support/scoped_temp_dir.h"

namespace oru {
namespace {

TEST(ResolveIpv4Test, NumericAddressAndLocalhostResolveWithoutDns) {
  EXPECT_EQ(ResolveIpv4("127.0.0.7"), std::vector<uint32_t>{0x7F000007u});
  std::vector<uint32_t> local = ResolveIpv4("localhost");
  ASSERT_FALSE(local.empty());
  EXPECT_EQ(local.front() >> 24, 127u) << "localhost maps into 127/8";
}

TEST(ResolveIpv4Test, EmptyAndUnresolvableNamesGiveNothing) {
  EXPECT_TRUE(ResolveIpv4("").empty());
  // ".invalid" is reserved never to resolve (RFC 6761).
  EXPECT_TRUE(ResolveIpv4("no-such-host.invalid").empty());
  EXPECT_TRUE(ResolveIpv4("256.1.1.1.invalid").empty());
}

TEST(FlushResolverCacheTest, ReturnsWithoutHangingWhetherOrNotTheToolExists) {
  // The result depends on the machine (systemd-resolved or not); the call
  // must come back, and twice in a row gives the same answer.
  bool first = FlushResolverCache();
  EXPECT_EQ(FlushResolverCache(), first);
}

// Opens and uses a loopback TCP connection so the kernel counts segments.
void MakeLoopbackTraffic() {
  int server = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(server, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  ASSERT_EQ(::listen(server, 1), 0);
  int client = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  int accepted = ::accept(server, nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  char byte = 'x';
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(::write(client, &byte, 1), 1);
    ASSERT_EQ(::read(accepted, &byte, 1), 1);
  }
  ::close(accepted);
  ::close(client);
  ::close(server);
}

TEST(ReceivedTcpSegmentsTest, GrowsWithLoopbackTraffic) {
  std::optional<uint64_t> before = ReceivedTcpSegments();
  if (!before) GTEST_SKIP() << "/proc/net/snmp not readable here";
  MakeLoopbackTraffic();
  std::optional<uint64_t> after = ReceivedTcpSegments();
  ASSERT_TRUE(after.has_value());
  EXPECT_GE(*after, *before + 20);
}

TEST(AvailablePhysicalMemoryTest, ReadsAPlausibleAmount) {
  std::optional<uint64_t> available = AvailablePhysicalMemory();
  ASSERT_TRUE(available.has_value());
  EXPECT_GT(*available, 1024u * 1024u);
  EXPECT_EQ(*available % 1024, 0u) << "kB are turned into bytes";
}

struct ProcCase {
  const char* name;
  const char* text;
  std::optional<uint64_t> expected;
};

class SnmpParseTest : public ::testing::TestWithParam<ProcCase> {};

TEST_P(SnmpParseTest, ReadsInSegsByColumnName) {
  testing::ScopedTempDir dir;
  std::string path = dir.Child("snmp");
  testing::WriteFileForTesting(path, GetParam().text);
  EXPECT_EQ(ReceivedTcpSegmentsFromFileForTesting(path), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SnmpParseTest,
    ::testing::Values(
        ProcCase{"kernel_layout",
                 "Ip: Forwarding DefaultTTL\nIp: 1 64\n"
                 "Tcp: RtoAlgorithm RtoMin RtoMax MaxConn ActiveOpens PassiveOpens AttemptFails EstabResets "
                 "CurrEstab InSegs OutSegs\n"
                 "Tcp: 1 200 120000 -1 10 5 0 0 2 18446744073709551000 77\n"
                 "Udp: InDatagrams\nUdp: 4\n",
                 18446744073709551000ull},
        ProcCase{"column_moved", "Tcp: InSegs MaxConn\nTcp: 42 -1\n", 42},
        ProcCase{"no_column", "Tcp: RtoAlgorithm\nTcp: 1\n", std::nullopt},
        ProcCase{"no_values_line", "Tcp: InSegs\n", std::nullopt},
        ProcCase{"not_a_number", "Tcp: InSegs\nTcp: -5\n", std::nullopt}),
    [](const ::testing::TestParamInfo<ProcCase>& p) { return std::string(p.param.name); });

class MeminfoParseTest : public ::testing::TestWithParam<ProcCase> {};

TEST_P(MeminfoParseTest, ReadsMemAvailableInBytes) {
  testing::ScopedTempDir dir;
  std::string path = dir.Child("meminfo");
  testing::WriteFileForTesting(path, GetParam().text);
  EXPECT_EQ(AvailablePhysicalMemoryFromFileForTesting(path), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MeminfoParseTest,
    ::testing::Values(ProcCase{"kernel_layout", "MemTotal:  2000 kB\nMemFree: 10 kB\nMemAvailable:    1500 kB\n",
                               1500ull * 1024},
                      ProcCase{"missing", "MemTotal:  2000 kB\nMemFree: 10 kB\n", std::nullopt},
                      ProcCase{"garbage", "MemAvailable: lots kB\n", std::nullopt}),
    [](const ::testing::TestParamInfo<ProcCase>& p) { return std::string(p.param.name); });

TEST(ProcFilesTest, MissingFileGivesNothing) {
  EXPECT_FALSE(ReceivedTcpSegmentsFromFileForTesting("/nonexistent/snmp").has_value());
  EXPECT_FALSE(AvailablePhysicalMemoryFromFileForTesting("/nonexistent/meminfo").has_value());
}

}  // namespace
}  // namespace oru
