#include "remote/HttpBridge.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <filesystem>
#include <string>
#include <vector>

#include "camera_config/CameraInfoMgr.h"
#include "infra/Logger.h"
#include "platform/Tick.h"
#include "remote/HostInfoSource.h"
#include "tests/support/LoopbackPeers.h"
#include "tests/support/TestFiles.h"

namespace {

using namespace nettest;

class FixedHost : public IHostInfoSource {
 public:
  bool ReadAdapters(std::vector<AdapterRecord>* adapters) override {
    adapters->assign(1, {"eth0", false, "192.168.1.5", "255.255.255.0", "192.168.1.1", 6, {10, 27, 44, 61, 78, 255}});
    return true;
  }
  bool IdentifyDrive(int, uint8_t*) override { return false; }
};

// A bridge server on loopback played by the test, and a camera whose tick stands still.
class HttpBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testfiles::MakeTempDir("vt_bridge_");
    GetLogger().SetExecutablePath(dir_ + "bridge");
    InitLog(0);
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
  // The next connection on listener that sends a REGISTER or update request (the probe
  // connections of RELOGIN send nothing) with the request in request_; -1 after 10 s.
  int AcceptRequest(int listener) {
    for (;;) {
      if (!Readable(listener, 10000)) return -1;
      const int fd = Keep(accept(listener, nullptr, nullptr));
      request_.clear();
      char c;
      while (request_.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1) request_.push_back(c);
      if (!request_.empty()) return fd;
    }
  }
  // True when bytes arrive (or the peer closes) within ms of real time.
  static bool Readable(int fd, int ms) {
    pollfd wait{fd, POLLIN, 0};
    return poll(&wait, 1, ms) == 1;
  }
  // Moves the frozen tick once the bridge thread has gone back to waiting.
  static void Advance(uint32_t ms) {
    usleep(100000);
    platform::AdvanceTickForTest(ms);
  }
  std::string Log() { return testfiles::ReadFile(dir_ + "bridge.log"); }

  std::string dir_, request_;
  FixedHost host_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::vector<int> open_;
};

TEST_F(HttpBridgeTest, RegistersByteForByteAndKeepsTheHeartBeatSchedule) {
  CCameraInfoMgr& store = GetCameraInfoMgr();
  store.SetListenPort(15023);
  store.GetCameraInfo(0)->SetFtpConfig(nullptr, nullptr, "ftp9", nullptr, 0);
  remote::HttpBridge bridge;
  const int fd = AcceptRequest(listener_);
  ASSERT_GE(fd, 0);
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
    if (round == 0) {
      ASSERT_TRUE(SendAll(fd, std::string("OK", 3)));
    }
  }
  Advance(9999000);  // silent after the beat: the second beat, then the line is dropped
  EXPECT_FALSE(Readable(fd, 200));
  Advance(1000);
  EXPECT_EQ(beat, ReadExactly(fd, 10));
  EXPECT_TRUE(SeesEndOfStream(fd));
  EXPECT_GE(AcceptRequest(listener_), 0) << "a new generation registers";
}

TEST_F(HttpBridgeTest, ServerThatClosesAtOnceGetsANewGenerationEvery5s) {
  remote::HttpBridge bridge;
  uint32_t last = 1000;
  for (const uint32_t pause : {3000u, 5000u, 5000u}) {  // generation 0 pauses 3 s
    const int fd = AcceptRequest(listener_);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pause, platform::GetTickCount() - last);
    last = platform::GetTickCount();
    shutdown(fd, SHUT_RDWR);
  }
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

TEST_F(HttpBridgeTest, ReloginKeepsAnUnreachableServerAndMovesToAReachableOne) {
  uint16_t closedPort = 0, newPort = 0;
  close(ListenBlocking(&closedPort));
  const int newListener = Listen(&newPort);
  remote::HttpBridge bridge;
  const int fd = AcceptRequest(listener_);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAll(fd, "RELOGIN:127.0.0.1:" + std::to_string(closedPort) + '\0' + "RELOGIN:" + '\0'));
  EXPECT_FALSE(Readable(fd, 300)) << "the old connection stays";
  EXPECT_EQ(std::to_string(port_), GetCameraInfoMgr().GetBridgeServerPort());

  ASSERT_TRUE(SendAll(fd, "RELOGIN:127.0.0.1:" + std::to_string(newPort) + '\0'));
  EXPECT_TRUE(SeesEndOfStream(fd));
  ASSERT_GE(AcceptRequest(newListener), 0);
  EXPECT_NE(std::string::npos, request_.find("Host: 127.0.0.1:" + std::to_string(newPort) + "\r\n"));
  EXPECT_EQ(std::to_string(newPort), GetCameraInfoMgr().GetBridgeServerPort());
}

TEST_F(HttpBridgeTest, Go2NicPollsEvery120sUntilARelogin) {
  uint16_t nicPort = 0, backPort = 0;
  const int nic = Listen(&nicPort);
  const int back = Listen(&backPort);
  remote::HttpBridge bridge;
  const int fd = AcceptRequest(listener_);
  ASSERT_TRUE(SendAll(fd, "GO2NIC:127.0.0.1:" + std::to_string(nicPort) + '\0' + "CONNECT:127.0.0.1:1" + '\0'));
  EXPECT_TRUE(SeesEndOfStream(fd));
  int poll1 = AcceptRequest(nic);
  ASSERT_GE(poll1, 0);
  EXPECT_EQ(0u, request_.find("GET /nic/update?hostname=qm41&"));
  const uint32_t first = platform::GetTickCount();
  ASSERT_TRUE(SendAll(poll1, std::string("NOCHANGE", 9)));
  const int poll2 = AcceptRequest(nic);
  ASSERT_GE(poll2, 0);
  EXPECT_EQ(120000u, platform::GetTickCount() - first);
  ASSERT_TRUE(SendAll(poll2, "RELOGIN:127.0.0.1:" + std::to_string(backPort) + '\0'));
  ASSERT_GE(AcceptRequest(back), 0);
  EXPECT_EQ(0u, request_.find("GET /nic/REGISTER?"));
  EXPECT_NE(std::string::npos, Log().find("[tNIC.1]NICKeepAliveThread quit, HttpBridgeThread will restart."));
  EXPECT_EQ(std::string::npos, Log().find("try to send SvCn")) << "nothing after GO2NIC is handled";
}

TEST_F(HttpBridgeTest, CapsTheRelayChannels) {
  uint16_t httpPort = 0, relayPort = 0;
  const int http = Listen(&httpPort);
  const int relay = Listen(&relayPort);
  GetCameraInfoMgr().SetListenPort(httpPort);
  remote::HttpBridge bridge;
  const int fd = AcceptRequest(listener_);
  const std::string connect = "CONNECT:127.0.0.1:" + std::to_string(relayPort) + '\0';
  ASSERT_TRUE(SendAll(fd, "DATETIME:2026-12-07 20:00:00 +0800" + std::string(1, '\0') + connect));
  std::vector<std::pair<int, int>> pairs;  // (viewer end, HTTP server end) of each channel
  for (int i = 0; i < remote::kMaxRelayChannels; ++i) {
    if (i > 0) {
      ASSERT_TRUE(SendAll(fd, connect));
    }
    const int viewer = Keep(accept(relay, nullptr, nullptr));
    const int server = Keep(accept(http, nullptr, nullptr));
    ASSERT_EQ("SvCn", ReadExactly(viewer, 4)) << i;
    pairs.emplace_back(viewer, server);
  }
  const std::string log = Log();
  EXPECT_LT(log.find("[0]Get DATETIME cmd, update date=2026-12-07&time=20:00:00&zone=+0800.\r\n"),
            log.find("[sdbt]try to send SvCn.")) << "both messages of one receive, in order";
  ASSERT_TRUE(SendAll(fd, connect));
  ASSERT_TRUE(WaitUntil([&] { return Log().find("[sdbt]refuse CONNECT:127.0.0.1:") != std::string::npos; }));
  EXPECT_FALSE(Readable(relay, 100)) << "the cap opens no connection";
  shutdown(pairs[0].first, SHUT_RDWR);  // the viewer leaves: its channel ends, a slot frees
  EXPECT_TRUE(SeesEndOfStream(pairs[0].second));
  ASSERT_TRUE(WaitUntil([] { return remote::OpenRelayChannels() < remote::kMaxRelayChannels; }));
  ASSERT_TRUE(SendAll(fd, connect));
  const int again = Keep(accept(relay, nullptr, nullptr));
  EXPECT_EQ("SvCn", ReadExactly(again, 4));
}

}  // namespace
