#include "remote/HostIdentity.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "remote/LinuxHostInfoSource.h"
#include "tests/remote/FakeHostInfo.h"

namespace {

AdapterRecord Adapter(const char* ip, const char* gateway, bool dhcp, const char* mask = "255.255.255.0") {
  return AdapterRecord{"eth", dhcp, ip, mask, gateway, 0, {}};
}

std::vector<uint8_t> IdentifyBlock(const std::string& serial, const std::string& model) {
  std::vector<uint8_t> block(512, 0);
  auto put = [&](size_t offset, size_t length, std::string text) {
    text.resize(length, ' ');
    // The two bytes of every word swapped.
    for (size_t i = 0; i < length; ++i) block[offset + (i ^ 1)] = static_cast<uint8_t>(text[i]);
  };
  put(20, 20, serial);
  put(54, 40, model);
  return block;
}

constexpr uint32_t Dotted(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return (a << 24) | (b << 16) | (c << 8) | d; }

class HostIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override { SetHostInfoSource(&source_); }
  void TearDown() override { SetHostInfoSource(nullptr); }
  FakeHostInfo source_;
};

TEST_F(HostIdentityTest, AdapterQualification) {
  const auto local = [] {
    uint32_t address = 0;
    return GetLocalAddress(&address) ? address : 0u;
  };
  source_.list = {Adapter("0.0.0.0", "0.0.0.0", true), Adapter("192.168.1.5", "192.168.1.1", false)};
  EXPECT_EQ(Dotted(192, 168, 1, 5), local());
  source_.list = {Adapter("10.0.0.7", "0.0.0.0", false)};  // static, no gateway
  EXPECT_EQ(0u, local());
  EXPECT_EQ(Dotted(127, 0, 0, 1), GetLocalAddressOrLoopback());
  source_.list = {Adapter("10.0.0.7", "0.0.0.0", false), Adapter("10.0.0.8", "0.0.0.0", true)};
  EXPECT_EQ(Dotted(10, 0, 0, 8), local());
  for (const AdapterRecord& bad :
       {Adapter("192.168.1", "192.168.1.1", true), Adapter("a.b.c.d", "192.168.1.1", true),
        Adapter("300.1.1.1", "192.168.1.1", true), Adapter("1.2.3.4x", "192.168.1.1", true),
        Adapter("1.2.3.4", "", true), Adapter("1.2.3.4", "192.168.1.1", true, "255.255.255")}) {
    source_.list = {bad, Adapter("172.16.0.9", "172.16.0.1", false)};
    EXPECT_EQ(Dotted(172, 16, 0, 9), local()) << bad.ipAddress << " " << bad.gateway << " " << bad.ipMask;
  }
  source_.list.clear();
  EXPECT_EQ(0u, local());
  source_.readable = false;
  EXPECT_EQ(0u, local());
  EXPECT_EQ(Dotted(127, 0, 0, 1), GetLocalAddressOrLoopback());
}

TEST_F(HostIdentityTest, SerialIdPairingRule) {
  const struct { std::map<int, std::vector<uint8_t>> disks; const char* identity; const char* serial; } rows[] = {
      {{{0, IdentifyBlock("AB12", "MODEL X")}}, "BA21OMED L X", "AB12MODELX"},
      {{{0, IdentifyBlock("AB C", "MODEL X")}}, "BACOMED L X", "ABOCEMDL"},  // odd length: the last byte goes
      {{{0, IdentifyBlock("S1", "M1")}, {2, IdentifyBlock("S2", "M2")}}, "1S1M2S2M", "S1M1S2M2"}};
  char serial[128];
  for (const auto& row : rows) {
    source_.disks = row.disks;
    EXPECT_EQ(row.identity, BuildDiskIdentity());
    GetSerialID(serial, sizeof(serial));
    EXPECT_STREQ(row.serial, serial);
  }
  source_.disks = rows[0].disks;
  GetSerialID(serial, 5);
  EXPECT_STREQ("AB12", serial);
  source_.disks = {{1, IdentifyBlock("XY", "")}};
  source_.disks[1][21] = 0;  // the first emitted byte ends the id
  GetSerialID(serial, sizeof(serial));
  EXPECT_STREQ("", serial);
}

TEST(LinuxHostInfoSourceTest, LeaseAndGatewayInOwnNamespace) {
  if (getenv("VT_IN_NETNS") != nullptr) {
    std::vector<AdapterRecord> adapters;
    ASSERT_TRUE(CLinuxHostInfoSource().ReadAdapters(&adapters));
    std::set<std::string> got;
    for (const AdapterRecord& a : adapters)
      got.insert(a.name + (a.dhcpEnabled ? " dhcp " : " static ") + a.ipAddress + " " + a.ipMask + " " + a.gateway +
                 " " + std::to_string(a.hardwareAddressLength));
    EXPECT_EQ(got, (std::set<std::string>{"vtl0 static 10.8.0.8 255.255.0.0 10.8.0.1 6",
                                          "vtl1 dhcp 10.9.9.9 255.255.255.0 0.0.0.0 6"}));
    return;
  }
  if (geteuid() != 0 || system("unshare -n true 2>/dev/null") != 0) GTEST_SKIP() << "no network namespace here";
  const std::string script =  // this test again, in a namespace with a leased and a routed link
      "unshare -n sh -c 'ip link add vtl0 type veth peer name vtl1 && ip link set vtl0 up && ip link set vtl1 up"
      " && ip addr add 10.9.9.9/24 dev vtl1 valid_lft 100 preferred_lft 100 && ip addr add 10.8.0.8/16 dev vtl0"
      " && ip route add default via 10.8.0.1 dev vtl0 && VT_IN_NETNS=1 /proc/" + std::to_string(getpid()) +
      "/exe --gtest_filter=LinuxHostInfoSourceTest.*'";
  const int status = system(script.c_str());
  if (WIFEXITED(status) && WEXITSTATUS(status) == 2) GTEST_SKIP() << "veth links unavailable";
  EXPECT_EQ(0, status);
}

}  // namespace
