#include "remote/HttpBridge.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <filesystem>
#include <string>
#include <vector>

#include "camera_config/CameraInfoMgr.h"
#include "infra/Logger.h"
#include "platform/Tick.h"
#include "tests/remote/FakeHostInfo.h"
#include "tests/support/LoopbackPeers.h"
#include "tests/support/TestFiles.h"

namespace {

using namespace nettest;

// A bridge server on loopback played by the test, and a camera whose tick stands still.
class HttpBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GetLogger().SetExecutablePath(dir_ + "bridge");
    InitLog(0);
    host_.list = {{"eth0", false, "192.168.1.5", "255.255.255.0", "192.168.1.1", 6, {10, 27, 44, 61, 78, 255}}};
    SetHostInfoSource(&host_);
    CCameraInfoMgr& store = GetCameraInfoMgr();
    store.SetDefaults();
    listener_ = Listen(&port_);
    store.SetBridgeServer("127.0.0.1", std::to_string(port_).c_str());
    platform::FreezeTickForTest(1000);
  }
  void TearDown() override {
    EXPECT_TRUE(remote::StopHttpBridgeForTest());
    for (int fd : open_) close(fd);
    platform::ResetTickForTest();
    SetHostInfoSource(nullptr);
    CloseLog();
    std::filesystem::remove_all(dir_);
  }
  int Listen(uint16_t* port) { return Keep(ListenBlocking(port)); }
  int Keep(int fd) { return open_.push_back(fd), fd; }
  // The next connection that sends a request (RELOGIN's probes send nothing).
  int AcceptRequest(int listener) {
    for (;;) {
      if (!Readable(listener, 10000)) {
        ADD_FAILURE() << "no request within 10 s";
        return -1;
      }
      const int fd = Keep(accept(listener, nullptr, nullptr));
      request_.clear();
      char c;
      while (request_.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1) request_.push_back(c);
      if (!request_.empty()) return fd;
    }
  }
  static bool Readable(int fd, int ms) {
    pollfd wait{fd, POLLIN, 0};
    return poll(&wait, 1, ms) == 1;
  }
  static void Advance(uint32_t ms) {  // once the bridge thread waits again
    usleep(100000);
    platform::AdvanceTickForTest(ms);
  }
  std::string Log() { return testfiles::ReadFile(dir_ + "bridge.log"); }

  std::string dir_ = testfiles::MakeTempDir("vt_bridge_"), request_;
  FakeHostInfo host_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::vector<int> open_;
};

TEST_F(HttpBridgeTest, RegistersByteForByteKeepsTheHeartBeatScheduleAndRestartsAfter5s) {
  CCameraInfoMgr& store = GetCameraInfoMgr();
  store.SetListenPort(15023);
  store.GetCameraInfo(0)->SetFtpConfig(nullptr, nullptr, "ftp9", nullptr, 0);
  remote::HttpBridge bridge;
  const int fd = AcceptRequest(listener_);
  EXPECT_EQ(4000u, platform::GetTickCount()) << "generation 0 pauses 3 s";
  EXPECT_EQ("GET /nic/REGISTER?hostname=qm41&port=15023&localip=192.168.1.5&mac=0a1b2c3d4eff&username=admin"
            "&password=580317&ftppsw=ftp9&alarmstatus=0&type=WebCam&version=1.0.1 HTTP/1.1\r\nHost: 127.0.0.1:" +
                std::to_string(port_) + "\r\n\r\n",
            request_);
  const std::string beat("HEARTBEAT", 10);
  for (int round = 0; round < 2; ++round) {  // silence -> beat at 120 s; an answer resets it
    Advance(119000);
    EXPECT_FALSE(Readable(fd, 200)) << "beat before 120 s, round " << round;
    Advance(1000);
    ASSERT_TRUE(Readable(fd, 5000)) << "no beat at 120 s, round " << round;
    EXPECT_EQ(beat, ReadExactly(fd, 10)) << round;
    ASSERT_TRUE(round > 0 || SendAll(fd, std::string("OK", 3)));  // the answer in round 0
  }
  Advance(9999000);  // silent after the beat: the second beat, then the line is dropped
  EXPECT_FALSE(Readable(fd, 200));
  const uint32_t dropped = platform::GetTickCount() + 1000;
  Advance(1000);
  EXPECT_EQ(beat, ReadExactly(fd, 10));
  EXPECT_TRUE(SeesEndOfStream(fd));
  const int next = AcceptRequest(listener_);  // a server that closes at once: the same 5 s
  EXPECT_EQ(5000u, platform::GetTickCount() - dropped);
  shutdown(next, SHUT_RDWR);
  AcceptRequest(listener_);
  EXPECT_EQ(10000u, platform::GetTickCount() - dropped);
  EXPECT_NE(std::string::npos, Log().find("[2]HttpBridgeThread begin REGISTER:qm41"));
}

TEST_F(HttpBridgeTest, EmptyHostTurnsTheBridgeOff) {
  GetCameraInfoMgr().SetBridgeServer("", nullptr);
  remote::HttpBridge bridge;
  ASSERT_TRUE(WaitUntil([&] { return Log().find("http bridge server ip not exist, quit\r\n") != std::string::npos; }));
  Advance(600000);
  EXPECT_FALSE(Readable(listener_, 200));
  EXPECT_EQ(Log().find("create thread:tHttpBridge"), Log().rfind("create thread:tHttpBridge")) << "no successor";
}

// RELOGIN on the bridge connection and in a GO2NIC poll's answer: an unreachable server is
// kept, a reachable one taken.
TEST_F(HttpBridgeTest, ReloginAndGo2NicPolls) {
  uint16_t closedPort = 0, newPort = 0, nicPort = 0;
  close(ListenBlocking(&closedPort));
  const int newListener = Listen(&newPort), nic = Listen(&nicPort);
  remote::HttpBridge bridge;
  int fd = AcceptRequest(listener_);
  ASSERT_TRUE(SendAll(fd, "RELOGIN:127.0.0.1:" + std::to_string(closedPort) + '\0' + "RELOGIN:" + '\0'));
  EXPECT_FALSE(Readable(fd, 300)) << "the old connection stays";
  EXPECT_EQ(std::to_string(port_), GetCameraInfoMgr().GetBridgeServerPort());
  ASSERT_TRUE(SendAll(fd, "RELOGIN:127.0.0.1:" + std::to_string(newPort) + '\0'));
  EXPECT_TRUE(SeesEndOfStream(fd));
  fd = AcceptRequest(newListener);
  EXPECT_NE(std::string::npos, request_.find("Host: 127.0.0.1:" + std::to_string(newPort) + "\r\n"));
  EXPECT_EQ(std::to_string(newPort), GetCameraInfoMgr().GetBridgeServerPort());

  ASSERT_TRUE(SendAll(fd, "GO2NIC:127.0.0.1:" + std::to_string(nicPort) + '\0' + "CONNECT:127.0.0.1:1" + '\0'));
  EXPECT_TRUE(SeesEndOfStream(fd));
  const int poll1 = AcceptRequest(nic);
  EXPECT_EQ(0u, request_.find("GET /nic/update?hostname=qm41&"));
  const uint32_t first = platform::GetTickCount();
  ASSERT_TRUE(SendAll(poll1, std::string("NOCHANGE", 9)));
  const int poll2 = AcceptRequest(nic);
  EXPECT_EQ(120000u, platform::GetTickCount() - first);
  ASSERT_TRUE(SendAll(poll2, "RELOGIN:127.0.0.1:" + std::to_string(port_) + '\0'));
  AcceptRequest(listener_);
  EXPECT_EQ(0u, request_.find("GET /nic/REGISTER?"));
  EXPECT_NE(std::string::npos, Log().find("[tNIC.2]NICKeepAliveThread quit, HttpBridgeThread will restart."));
  EXPECT_EQ(std::string::npos, Log().find("try to send SvCn")) << "nothing after GO2NIC is handled";
}

TEST_F(HttpBridgeTest, CapsTheRelayChannels) {
  uint16_t httpPort = 0, relayPort = 0;
  const int http = Listen(&httpPort), relay = Listen(&relayPort);
  GetCameraInfoMgr().SetListenPort(httpPort);
  remote::HttpBridge bridge;
  const int fd = AcceptRequest(listener_);
  const std::string connect = "CONNECT:127.0.0.1:" + std::to_string(relayPort) + '\0';
  ASSERT_TRUE(SendAll(fd, "DATETIME:2026-12-07 20:00:00 +0800" + std::string(1, '\0') + connect));
  int firstViewer = -1, firstServer = -1;
  for (int i = 0; i < remote::kMaxRelayChannels; ++i) {
    ASSERT_TRUE(i == 0 || SendAll(fd, connect)) << i;
    const int viewer = Keep(accept(relay, nullptr, nullptr)), server = Keep(accept(http, nullptr, nullptr));
    ASSERT_EQ("SvCn", ReadExactly(viewer, 4)) << i;
    if (i == 0) firstViewer = viewer, firstServer = server;
  }
  const std::string log = Log();
  EXPECT_LT(log.find("[0]Get DATETIME cmd, update date=2026-12-07&time=20:00:00&zone=+0800.\r\n"),
            log.find("[sdbt]try to send SvCn.")) << "both messages of one receive, in order";
  ASSERT_TRUE(SendAll(fd, connect));
  ASSERT_TRUE(WaitUntil([&] { return Log().find("[sdbt]refuse CONNECT:127.0.0.1:") != std::string::npos; }));
  EXPECT_FALSE(Readable(relay, 100)) << "the cap opens no connection";
  shutdown(firstViewer, SHUT_RDWR);  // the viewer leaves: its channel ends, a slot frees
  EXPECT_TRUE(SeesEndOfStream(firstServer));
  ASSERT_TRUE(WaitUntil([] { return remote::OpenRelayChannels() < remote::kMaxRelayChannels; }));
  ASSERT_TRUE(SendAll(fd, connect));
  const int again = Keep(accept(relay, nullptr, nullptr));
  EXPECT_EQ("SvCn", ReadExactly(again, 4));
}

}  // namespace
