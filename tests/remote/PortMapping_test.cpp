#include "remote/PortMapping.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "infra/Logger.h"
#include "platform/ProgramDir.h"
#include "remote/HostIdentity.h"
#include "remote/ProcessRunner.h"
#include "tests/support/TestFiles.h"

namespace {

using testfiles::ReadFile;


bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void WriteRecorder(const std::string& path, const std::string& record) {
  std::ofstream(path) << "#!/bin/sh\nsleep 0.2\nprintf '%s\\n' \"$*\" > '" << record << "'\n";
  chmod(path.c_str(), 0755);
}

class FixedAdapters : public IHostInfoSource {
 public:
  bool ReadAdapters(std::vector<AdapterRecord>* adapters) override {
    *adapters = list;
    return true;
  }
  bool IdentifyDrive(int, uint8_t*) override { return false; }
  std::vector<AdapterRecord> list;
};

class PortMappingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("VTCAM_PORT_MAPPER");  // these tests put their own recorder in the convertor folder
    char pattern[] = "/tmp/vt_upnp_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = std::string(pattern) + "/";
    SetProcessWindowShown(false);
    SetHostInfoSource(&adapters_);
    GetLogger().SetExecutablePath(dir_ + "portmap");
    InitLog(0);
  }
  void TearDown() override {
    CloseLog();
    SetHostInfoSource(nullptr);
    SetProcessWindowShown(true);
  }
  std::string dir_;
  FixedAdapters adapters_;
};

TEST_F(PortMappingTest, AddRedirectPortRunsTheToolWithTheLocalAddress) {
  const std::string conv = dir_ + "conv dir/";
  mkdir(conv.c_str(), 0755);
  platform::SetConvertorDirectory(conv);
  WriteRecorder(conv + "upnpc-shared", dir_ + "args.txt");

  AdapterRecord adapter;
  adapter.ipAddress = "192.168.1.5";
  adapter.ipMask = "255.255.255.0";
  adapter.gateway = "192.168.1.1";
  adapters_.list = {adapter};
  AddRedirectPort(15023);
  EXPECT_EQ("-a 192.168.1.5 15023 15023 TCP\n", ReadFile(dir_ + "args.txt"));

  unlink((dir_ + "args.txt").c_str());
  adapters_.list[0].gateway = "0.0.0.0";
  AddRedirectPort(15023);
  EXPECT_FALSE(Exists(dir_ + "args.txt"));

  CloseLog();
  const std::string log = ReadFile(dir_ + "portmap.log");
  EXPECT_NE(std::string::npos,
            log.find("AddRedirectPort run upnp: \"" + conv + "upnpc-shared\" -a 192.168.1.5 15023 15023 TCP\r\n"));
  EXPECT_EQ(log.find("AddRedirectPort"), log.rfind("AddRedirectPort")) << "logged once only";
}

TEST_F(PortMappingTest, CommandLineIsExactInAPlainDirectory) {
  platform::SetConvertorDirectory(dir_);
  WriteRecorder(dir_ + "upnpc-shared", dir_ + "args.txt");
  AdapterRecord adapter;
  adapter.ipAddress = "10.0.0.23";
  adapter.ipMask = "255.0.0.0";
  adapter.dhcpEnabled = true;
  adapters_.list = {adapter};
  AddRedirectPort(8080);
  EXPECT_EQ("-a 10.0.0.23 8080 8080 TCP\n", ReadFile(dir_ + "args.txt"));
  CloseLog();
  EXPECT_NE(std::string::npos,
            ReadFile(dir_ + "portmap.log").find("AddRedirectPort run upnp: " + dir_ + "upnpc-shared -a 10.0.0.23 8080 8080 TCP\r\n"));
}

}  // namespace
