#include "remote/HostIdentity.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "infra/Logger.h"
#include "remote/LinuxHostInfoSource.h"
#include "tests/support/TestFiles.h"

namespace {

using testfiles::ReadFile;

class FakeSource : public IHostInfoSource {
 public:
  bool ReadAdapters(std::vector<AdapterRecord>* adapters) override {
    if (!readable) {
      errno = 1234;
      return false;
    }
    *adapters = list;
    return true;
  }
  bool IdentifyDrive(int drive, uint8_t block[kIdentifyBlockSize]) override {
    const auto it = disks.find(drive);
    if (it == disks.end()) return false;
    std::memcpy(block, it->second.data(), kIdentifyBlockSize);
    return true;
  }

  bool readable = true;
  std::vector<AdapterRecord> list;
  std::map<int, std::vector<uint8_t>> disks;
};

AdapterRecord Adapter(const char* ip, const char* gateway, bool dhcp, const char* mask = "255.255.255.0") {
  AdapterRecord a;
  a.ipAddress = ip;
  a.ipMask = mask;
  a.gateway = gateway;
  a.dhcpEnabled = dhcp;
  return a;
}

// An identify block holding the given texts as a drive reports them: padded with blanks,
// the two bytes of every word swapped.
std::vector<uint8_t> IdentifyBlock(const std::string& serial, const std::string& model) {
  std::vector<uint8_t> block(512, 0);
  auto put = [&](size_t offset, size_t length, std::string text) {
    text.resize(length, ' ');
    for (size_t i = 0; i < length; i += 2) {
      block[offset + i] = static_cast<uint8_t>(text[i + 1]);
      block[offset + i + 1] = static_cast<uint8_t>(text[i]);
    }
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
  FakeSource source_;
};

TEST_F(HostIdentityTest, AdapterQualification) {
  uint32_t address = 0;
  source_.list = {Adapter("0.0.0.0", "0.0.0.0", true), Adapter("192.168.1.5", "192.168.1.1", false)};
  ASSERT_TRUE(GetLocalAddress(&address));
  EXPECT_EQ(Dotted(192, 168, 1, 5), address);

  source_.list = {Adapter("10.0.0.7", "0.0.0.0", false)};  // static, no gateway
  EXPECT_FALSE(GetLocalAddress(&address));
  EXPECT_EQ(Dotted(127, 0, 0, 1), GetLocalAddressOrLoopback());
  source_.list = {Adapter("10.0.0.7", "0.0.0.0", false), Adapter("10.0.0.8", "0.0.0.0", true)};
  ASSERT_TRUE(GetLocalAddress(&address));
  EXPECT_EQ(Dotted(10, 0, 0, 8), address);

  // Texts that do not give four numbers disqualify, whichever of the three they are.
  for (const AdapterRecord& bad :
       {Adapter("192.168.1", "192.168.1.1", true), Adapter("a.b.c.d", "192.168.1.1", true),
        Adapter("300.1.1.1", "192.168.1.1", true), Adapter("1.2.3.4x", "192.168.1.1", true),
        Adapter("1.2.3.4", "", true), Adapter("1.2.3.4", "192.168.1.1", true, "255.255.255")}) {
    source_.list = {bad, Adapter("172.16.0.9", "172.16.0.1", false)};
    ASSERT_TRUE(GetLocalAddress(&address));
    EXPECT_EQ(Dotted(172, 16, 0, 9), address) << bad.ipAddress << " " << bad.gateway << " " << bad.ipMask;
  }

  source_.list.clear();
  EXPECT_FALSE(GetLocalAddress(&address));
  source_.readable = false;
  EXPECT_FALSE(GetLocalAddress(&address));
  EXPECT_EQ(Dotted(127, 0, 0, 1), GetLocalAddressOrLoopback());
}

int CountUntilSecond(int nID, const AdapterRecord&, void* context) {
  ++*static_cast<int*>(context);
  return nID == 1 ? 0 : 1;
}

TEST_F(HostIdentityTest, EnumerationLogsAndStopsWhenTold) {
  char dir[] = "/tmp/vt_hostid_XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  GetLogger().SetExecutablePath(std::string(dir) + "/hostid");
  InitLog(0);
  source_.list = {Adapter("0.0.0.0", "0.0.0.0", true), Adapter("192.168.1.5", "192.168.1.1", false),
                  Adapter("10.1.1.1", "0.0.0.0", false)};
  int visited = 0;
  EXPECT_EQ(1, EnumAdaptersInfo(&CountUntilSecond, &visited));
  EXPECT_EQ(2, visited);
  source_.readable = false;
  EXPECT_EQ(0, EnumAdaptersInfo(&CountUntilSecond, &visited));
  EXPECT_EQ(2, visited);
  CloseLog();

  const std::string log = ReadFile(std::string(dir) + "/hostid.log");
  const char* expected[] = {
      "EnumAdaptersInfo enum nID=0, dhcp=1, ip=0.0.0.0, mask=255.255.255.0, gw=0.0.0.0\r\n",
      "EnumAdaptersInfo enum nID=2, dhcp=0, ip=10.1.1.1, mask=255.255.255.0, gw=0.0.0.0\r\n",
      "EnumAdaptersInfo find nID=1, dhcp=0, ip=192.168.1.5, mask=255.255.255.0, gw=192.168.1.1\r\n",
      "EnumAdaptersInfo cannot GetAdaptersInfo. err=1234\r\n",
  };
  for (const char* line : expected) EXPECT_NE(std::string::npos, log.find(line)) << line;
  EXPECT_EQ(std::string::npos, log.find("find nID=2")) << "the visitor stopped at nID 1";
}

TEST_F(HostIdentityTest, MacAddressAndSerialWithoutDisks) {
  source_.readable = false;
  EXPECT_EQ((std::array<uint8_t, 6>{}), GetMacAddress());  // zero until first found

  AdapterRecord first = Adapter("0.0.0.0", "0.0.0.0", false);
  const uint8_t hw[] = {0x00, 0x1A, 0x2B, 0xC3, 0xD4, 0xE5, 0x77, 0x88};
  first.hardwareAddressLength = 8;
  std::memcpy(first.hardwareAddress, hw, 8);
  AdapterRecord second = Adapter("192.168.1.5", "192.168.1.1", false);
  second.hardwareAddressLength = 6;
  source_.list = {first, second};
  source_.readable = true;
  EXPECT_EQ((std::array<uint8_t, 6>{0x00, 0x1A, 0x2B, 0xC3, 0xD4, 0xE5}), GetMacAddress());
  EXPECT_EQ("001a2bc3d4e5", GetMacAddressText());

  source_.readable = false;
  EXPECT_EQ("001a2bc3d4e5", GetMacAddressText()) << "an unreadable list keeps the last MAC";

  // A shorter hardware address overwrites only its own bytes.
  source_.readable = true;
  source_.list[0].hardwareAddressLength = 2;
  source_.list[0].hardwareAddress[0] = 0xAA;
  source_.list[0].hardwareAddress[1] = 0xBB;
  EXPECT_EQ("aabb2bc3d4e5", GetMacAddressText());

  char serial[64];
  GetSerialID(serial, sizeof(serial));
  EXPECT_STREQ("aabb2bc3d4e5", serial);
  GetSerialID(serial, 5);
  EXPECT_STREQ("aabb", serial);
}

TEST_F(HostIdentityTest, SerialIdPairingRule) {
  // Even serial: the pairs restore reading order and blanks go.
  source_.disks[0] = IdentifyBlock("AB12", "MODEL X");
  EXPECT_EQ("BA21OMED L X", BuildDiskIdentity());
  char serial[128];
  GetSerialID(serial, sizeof(serial));
  EXPECT_STREQ("AB12MODELX", serial);
  char again[128];
  GetSerialID(again, sizeof(again));
  EXPECT_STREQ(serial, again);
  GetSerialID(serial, 5);
  EXPECT_STREQ("AB12", serial);

  // Odd serial after trimming: the model's pairs shift, and the last byte meets the zero
  // behind the identity, which ends the text.
  source_.disks[0] = IdentifyBlock("AB C", "MODEL X");
  EXPECT_EQ("BACOMED L X", BuildDiskIdentity());
  GetSerialID(serial, sizeof(serial));
  EXPECT_STREQ("ABOCEMDL", serial);

  // Several disks follow in drive order; drives that do not answer are skipped.
  source_.disks[0] = IdentifyBlock("S1", "M1");
  source_.disks[2] = IdentifyBlock("S2", "M2");
  EXPECT_EQ("1S1M2S2M", BuildDiskIdentity());
  GetSerialID(serial, sizeof(serial));
  EXPECT_STREQ("S1M1S2M2", serial);

  // A zero inside a field ends the text where it is emitted.
  std::vector<uint8_t> block = IdentifyBlock("XY", "");
  block[21] = 0;  // the first emitted byte
  source_.disks = {{1, block}};
  GetSerialID(serial, sizeof(serial));
  EXPECT_STREQ("", serial);
}

TEST(LinuxHostInfoSourceTest, ReadsThisMachine) {
  CLinuxHostInfoSource source;
  std::vector<AdapterRecord> adapters;
  ASSERT_TRUE(source.ReadAdapters(&adapters));

  std::map<std::string, bool> hasDefaultRoute;
  std::ifstream routes("/proc/net/route");
  std::string line;
  std::getline(routes, line);
  while (std::getline(routes, line)) {
    std::istringstream fields(line);
    std::string iface, destination, gateway, flags;
    fields >> iface >> destination >> gateway >> flags;
    if (destination == "00000000" && (std::stoul(flags, nullptr, 16) & 2) != 0) hasDefaultRoute[iface] = true;
  }
  for (const AdapterRecord& a : adapters) {
    EXPECT_NE(0u, a.ipAddress.size());
    EXPECT_NE(0, a.ipAddress.rfind("127.", 0)) << "loopback is not an adapter";
    EXPECT_EQ(hasDefaultRoute.count(a.name) != 0, a.gateway != "0.0.0.0") << a.name;
    EXPECT_LE(a.hardwareAddressLength, 8u);
  }
  uint8_t block[IHostInfoSource::kIdentifyBlockSize];
  source.IdentifyDrive(0, block);  // may or may not answer here; must not fail loudly
  EXPECT_FALSE(source.IdentifyDrive(4, block));
}

// In a network namespace of its own (root only; skipped elsewhere) the test builds two
// interfaces: one address with a finite lifetime, as a lease has, and one static address
// behind a default route. Nothing leaves the namespace.
TEST(LinuxHostInfoSourceTest, LeaseAndGatewayInOwnNamespace) {
  if (getenv("VT_IN_NETNS") != nullptr) {
    CLinuxHostInfoSource source;
    std::vector<AdapterRecord> adapters;
    ASSERT_TRUE(source.ReadAdapters(&adapters));
    std::map<std::string, AdapterRecord> byName;
    for (const AdapterRecord& a : adapters) byName[a.name] = a;
    ASSERT_EQ(2u, byName.size());
    EXPECT_TRUE(byName["vtl1"].dhcpEnabled);
    EXPECT_EQ("10.9.9.9", byName["vtl1"].ipAddress);
    EXPECT_EQ("0.0.0.0", byName["vtl1"].gateway);
    EXPECT_FALSE(byName["vtl0"].dhcpEnabled);
    EXPECT_EQ("255.255.0.0", byName["vtl0"].ipMask);
    EXPECT_EQ("10.8.0.1", byName["vtl0"].gateway);
    EXPECT_EQ(6u, byName["vtl0"].hardwareAddressLength);
    return;
  }
  if (geteuid() != 0 || system("unshare -n true 2>/dev/null") != 0) GTEST_SKIP() << "no network namespace here";
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
  const std::string script =
      "unshare -n sh -c 'ip link add vtl0 type veth peer name vtl1 && ip link set vtl0 up && ip link set vtl1 up"
      " && ip addr add 10.9.9.9/24 dev vtl1 valid_lft 100 preferred_lft 100 && ip addr add 10.8.0.8/16 dev vtl0"
      " && ip route add default via 10.8.0.1 dev vtl0"
      " && VT_IN_NETNS=1 \"" + std::string(self) +
      "\" --gtest_filter=LinuxHostInfoSourceTest.LeaseAndGatewayInOwnNamespace'";
  const int status = system(script.c_str());
  if (WIFEXITED(status) && WEXITSTATUS(status) == 2) GTEST_SKIP() << "veth links unavailable";
  EXPECT_EQ(0, status);
}

}  // namespace
