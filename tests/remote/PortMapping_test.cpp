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
    dir_ = testfiles::MakeTempDir("vt_upnp_");
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

// A folder with a blank is quoted on the command line; a static adapter without a gateway
// runs nothing.
TEST_F(PortMappingTest, RunsTheToolOnceWithTheLocalAddress) {
  const struct { const char* folder; const char* ip; bool dhcp; const char* gateway; const char* quote; } rows[] = {
      {"conv dir/", "192.168.1.5", false, "192.168.1.1", "\""}, {"plain/", "10.0.0.23", true, "0.0.0.0", ""}};
  for (const auto& row : rows) {
    const std::string conv = dir_ + row.folder, args = std::string("-a ") + row.ip + " 8080 8080 TCP";
    mkdir(conv.c_str(), 0755);
    platform::SetConvertorDirectory(conv);
    WriteRecorder(conv + "upnpc-shared", conv + "args.txt");
    adapters_.list = {AdapterRecord{"eth0", row.dhcp, row.ip, "255.255.255.0", row.gateway, 0, {}}};
    AddRedirectPort(8080);
    EXPECT_EQ(args + "\n", ReadFile(conv + "args.txt"));
    unlink((conv + "args.txt").c_str());
    adapters_.list[0].dhcpEnabled = false;
    adapters_.list[0].gateway = "0.0.0.0";
    AddRedirectPort(8080);
    EXPECT_FALSE(Exists(conv + "args.txt"));
    CloseLog();
    const std::string log = ReadFile(dir_ + "portmap.log");
    const std::string line = "AddRedirectPort run upnp: " + std::string(row.quote) + conv + "upnpc-shared" + row.quote;
    EXPECT_NE(std::string::npos, log.find(line + " " + args + "\r\n")) << log;
    EXPECT_EQ(log.find(line), log.rfind(line)) << "logged once only";
    InitLog(0);
  }
}

}  // namespace
