#include "remote/PortMapping.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "infra/Logger.h"
#include "platform/ProgramDir.h"
#include "remote/ProcessRunner.h"
#include "tests/remote/FakeHostInfo.h"
#include "tests/support/TestFiles.h"

namespace {

using testfiles::ReadFile;

class PortMappingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("VTCAM_PORT_MAPPER");  // these tests put their own recorder in the convertor folder
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
  std::string dir_ = testfiles::MakeTempDir("vt_upnp_");
  FakeHostInfo adapters_;
};

// A folder with a blank is quoted; a static adapter without a gateway runs nothing.
TEST_F(PortMappingTest, RunsTheToolOnceWithTheLocalAddress) {
  const std::string conv = dir_ + "conv dir/", args = "-a 192.168.1.5 8080 8080 TCP";
  mkdir(conv.c_str(), 0755);
  platform::SetConvertorDirectory(conv);
  std::ofstream(conv + "upnpc-shared") << "#!/bin/sh\nsleep 0.2\nprintf '%s\\n' \"$*\" > '" << conv << "args.txt'\n";
  chmod((conv + "upnpc-shared").c_str(), 0755);
  adapters_.list = {AdapterRecord{"eth0", false, "192.168.1.5", "255.255.255.0", "192.168.1.1", 0, {}}};
  AddRedirectPort(8080);
  EXPECT_EQ(args + "\n", ReadFile(conv + "args.txt"));
  unlink((conv + "args.txt").c_str());
  adapters_.list[0].gateway = "0.0.0.0";
  AddRedirectPort(8080);
  EXPECT_NE(0, access((conv + "args.txt").c_str(), F_OK)) << "ran without a gateway";
  CloseLog();
  const std::string log = ReadFile(dir_ + "portmap.log");
  const std::string line = "AddRedirectPort run upnp: \"" + conv + "upnpc-shared\"";
  EXPECT_NE(std::string::npos, log.find(line + " " + args + "\r\n")) << log;
  EXPECT_EQ(log.find(line), log.rfind(line)) << "logged once only";
}

}  // namespace
