#include <string>

#include "../net/NetTestSupport.h"
#include "camera_config/CameraInfoMgr.h"
#include "gtest/gtest.h"
#include "media/CameraChannels.h"
#include "media/CameraRequestSession.h"
#include "media/HttpRequest.h"
#include "platform/Tick.h"

using nettest::LogCapture;
using nettest::WaitUntil;

namespace {

std::string ReadResponse(int fd) {
  std::string text;
  while (text.find("\r\n\r\n") == std::string::npos) {
    const std::string byte = nettest::ReadExactly(fd, 1);
    if (byte.empty()) return text;
    text += byte;
  }
  const size_t at = text.find("Content-Length:") + 16;
  const int length = std::stoi(text.substr(at, 4));
  return text + nettest::ReadExactly(fd, static_cast<size_t>(length));
}

class RecordingChannels : public ICameraChannels {
 public:
  int AttachViewer(CFileDispatcher*, const char* kind, int channel) override {
    attached += std::string(kind) + ":" + std::to_string(channel) + ";";
    return 1;
  }
  void DetachViewer(int, CFileDispatcher*) override { ++detached; }
  int Snapshot(char*, const char*, int) override { return 0; }
  std::string attached;
  std::atomic<int> detached{0};
};

class CameraRequestSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogCapture::Instance();
    GetCameraInfoMgr().SetDefaults();
    SetCameraChannels(&channels_);
    ASSERT_TRUE(listener_.Ok());
    session_.SetListener(&listener_);
    ASSERT_EQ(session_.AcceptFrom(), 1);
    client_ = nettest::ConnectBlocking(listener_.Port());
    ASSERT_GE(client_, 0);
  }
  void TearDown() override {
    close(client_);
    session_.Retire();
    listener_.Retire();
    SetCameraChannels(nullptr);
  }
  RecordingChannels channels_;
  nettest::Listener listener_;
  CCameraRequestSession session_;
  int client_ = -1;
};

}  // namespace

TEST_F(CameraRequestSessionTest, TwoRequestsInOneReceiveAreAnsweredInOrder) {
  CCameraInfo* camera = GetCameraInfoMgr().GetCameraInfo(0);
  camera->SetAlarmStatus(0);
  ASSERT_TRUE(nettest::SendAll(client_,
                               "GET /schedule_setup.html?method=setAlarmStatus&ALARM_STATUS=1 HTTP/1.1\r\n\r\n"
                               "GET /cgi-bin/getConnectionTime.cgi HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(ReadResponse(client_), BuildTextResponse("ALARM_STATUS=1&AUDIO_ENABLE=0"));
  EXPECT_EQ(ReadResponse(client_), BuildTextResponse("time = 0 day, 1 hr, 23 min, 45 sec; mac=000000000000"));
  EXPECT_EQ(camera->GetAlarmStatus(), 1);
  camera->SetAlarmStatus(0);
}

TEST_F(CameraRequestSessionTest, StreamRequestsAttachAndTheEndDetaches) {
  ASSERT_TRUE(nettest::SendAll(client_, "GET /vdata.flv HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(nettest::ReadExactly(client_, std::strlen(kStreamResponseHeader)), kStreamResponseHeader);
  ASSERT_TRUE(WaitUntil([&] { return !channels_.attached.empty(); }));
  EXPECT_EQ(channels_.attached, "flv:0;");
  close(client_);
  client_ = -1;
  EXPECT_TRUE(WaitUntil([&] { return channels_.detached.load() >= 1; }));
  client_ = nettest::ConnectBlocking(listener_.Port());
  ASSERT_TRUE(WaitUntil([&] { return session_.GetState() != CIOCPSocket::kClosed; }));
  ASSERT_TRUE(nettest::SendAll(client_, "GET /snapshot.htm?qcif HTTP/1.1\r\n\r\n"));
  EXPECT_TRUE(nettest::SeesEndOfStream(client_));
  EXPECT_NE(LogCapture::Instance().Since(0).find("Got ACT_REQUEST_SNAPSHOT from HTTP GET. qcif=1"), std::string::npos);
}

TEST_F(CameraRequestSessionTest, StalledConnectionsAreEndedAndTheSessionServesTheNext) {
  auto wait = [&] { return session_.GetWaitState(platform::GetTickCount()).wait; };
  ASSERT_TRUE(nettest::SendAll(client_, "GET /cgi-bin/getConn"));
  ASSERT_TRUE(WaitUntil([&] { return wait() == CCameraRequestSession::Wait::kPartial; }));
  const uint32_t now = platform::GetTickCount();
  EXPECT_FALSE(session_.CloseStalled(now, 10000, false, "test"));
  EXPECT_TRUE(WaitUntil([&] { return session_.CloseStalled(now + 10000, 10000, false, "test"); }));
  EXPECT_TRUE(nettest::SeesEndOfStream(client_));
  close(client_);
  ASSERT_TRUE(WaitUntil([&] { return wait() == CCameraRequestSession::Wait::kFree; }));
  client_ = nettest::ConnectBlocking(listener_.Port());
  ASSERT_TRUE(nettest::SendAll(client_, "GET /vdata.flv HTTP/1.1\r\n\r\nGET /cgi-bin/getConnectionTime.cgi HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(nettest::ReadExactly(client_, std::strlen(kStreamResponseHeader)), kStreamResponseHeader);
  EXPECT_EQ(ReadResponse(client_), BuildTextResponse("time = 0 day, 1 hr, 23 min, 45 sec; mac=000000000000"));
  EXPECT_EQ(wait(), CCameraRequestSession::Wait::kBusy);
  EXPECT_FALSE(session_.CloseStalled(platform::GetTickCount() + 60000, 10000, false, "test"));
}
