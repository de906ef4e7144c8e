#include "camera_config/CameraInfoMgr.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/support/TestFiles.h"

namespace {

using testfiles::ReadFile;
using testfiles::WriteFile;

class CameraInfoMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("VTCAM_SERVER_ADDRESS");
    dir_ = testfiles::MakeTempDir("vt_caminfo_");
    path_ = dir_ + "CameraInfo.xml";
    mgr_.SetDefaults();
  }
  void TearDown() override {
    unsetenv("VTCAM_SERVER_ADDRESS");
    SetMainWindowPoster(nullptr);
  }

  std::string dir_;
  std::string path_;
  CCameraInfoMgr mgr_;
};

std::string DefaultFile() {
  std::string expected =
      "<?xml version='1.0' ?>\r\n<CameraInfos listenPort=\"8080\" cameraID=\"qm41\" webAdminPassword=\"580317\">\r\n";
  for (int channel = 0; channel < 10; ++channel)
    expected += "<CameraInfo channelID=\"" + std::to_string(channel) + "\" alarmStatus=\"0\" audioEnable=\"0\">\r\n"
                "<FTPConfig id=\"0\" serverAddr=\"127.0.0.1\" userName=\"qm41\" password=\"580317\" "
                "remotePath=\"./\" port=\"21\"/>\r\n</CameraInfo>\r\n";
  return expected + "</CameraInfos>\r\n";
}

// server|user|password|path|port
std::string Ftp(const CCameraInfo* info) {
  const FTPConfig f = info->GetFtpConfig();
  return std::string(f.serverAddr) + "|" + f.userName + "|" + f.password + "|" + f.remotePath + "|" + std::to_string(f.port);
}

TEST_F(CameraInfoMgrTest, DefaultsAreWrittenByteForByteAndWhatTheServiceHandsOutSurvives) {
  EXPECT_EQ(nullptr, mgr_.GetCameraInfo(10));
  EXPECT_EQ(nullptr, mgr_.GetCameraInfo(-1));
  EXPECT_FALSE(mgr_.LoadCameraInfo(path_));  // no file yet: defaults stay
  ASSERT_TRUE(mgr_.SaveCameraInfo(path_));
  EXPECT_EQ(DefaultFile(), ReadFile(path_));
  EXPECT_FALSE(mgr_.SaveCameraInfo(dir_ + "missing/CameraInfo.xml"));

  const std::string camId = "cam \"7\" <&> 'x'";
  mgr_.SetCameraInfoRetrievedFromServer(camId.data(), static_cast<int>(camId.size()), "u", 1, "p", 1, "f", 1,
                                        "pw&<\"", 5);
  mgr_.SetListenPort(15023);
  ASSERT_TRUE(mgr_.SaveCameraInfo(path_));
  CCameraInfoMgr loaded;
  loaded.SetDefaults();
  ASSERT_TRUE(loaded.LoadCameraInfo(path_));
  EXPECT_EQ(15023, loaded.GetListenPort());
  EXPECT_EQ(camId, loaded.GetCameraID());
  EXPECT_EQ("127.0.0.1|" + camId + "|pw&<\"|./|21", Ftp(loaded.GetCameraInfo(0)));
}

TEST_F(CameraInfoMgrTest, DeploymentServerAddressFromEnvironment) {
  const std::string longest(31, 'h');
  const std::pair<std::string, std::string> rows[] = {
      {"cam-service.example.test", "cam-service.example.test"}, {longest, longest},
      {longest + "h", "127.0.0.1"}, {"host name", "127.0.0.1"}, {"x/y", "127.0.0.1"}, {"h\"q", "127.0.0.1"}};
  for (const auto& [value, expected] : rows) {
    setenv("VTCAM_SERVER_ADDRESS", value.c_str(), 1);
    mgr_.SetDefaults();
    EXPECT_EQ(expected, mgr_.GetServerAddress()) << value;
    EXPECT_EQ(expected, mgr_.GetBridgeServerHost()) << value;
    EXPECT_EQ(expected, mgr_.GetCameraInfo(9)->GetFtpConfig().serverAddr) << value;
  }
}

TEST_F(CameraInfoMgrTest, CorruptOrForeignFilesLeaveTheStoreAlone) {
  mgr_.GetCameraInfo(0)->SetAlarmStatus(1);
  const std::vector<std::string> corrupt = {"", "<?xml version='1.0' ?>\r\n",
                                            "<CameraInfos listenPort=\"9000\"></CameraInfo></CameraInfos>",
                                            "<CameraInfos listenPort=\"9000\"/><CameraInfos/>",
                                            DefaultFile().substr(0, DefaultFile().size() / 2)};
  for (const std::string& text : corrupt) {
    WriteFile(path_, text);
    EXPECT_FALSE(mgr_.LoadCameraInfo(path_)) << text;
    EXPECT_EQ(std::tuple(8080, "qm41", 1),
              std::tuple(mgr_.GetListenPort(), mgr_.GetCameraID(), mgr_.GetCameraInfo(0)->GetAlarmStatus()));
  }
  EXPECT_FALSE(mgr_.LoadCameraInfo(dir_));  // a folder
}

TEST_F(CameraInfoMgrTest, LoadingRules) {
  const std::string longText(100, 'x');
  WriteFile(path_,
            "<?xml version='1.0' ?>\n<CameraInfos listenPort=\"70000\" cameraID=\"" + longText + "\">\n"
            "<CameraInfo channelID=\"0\" alarmStatus=\"5\" audioEnable=\"1\">\n"
            "  <FTPConfig id=\"1\" serverAddr=\"skip.me\" port=\"2121\"/>\n"
            "  <FTPConfig id=\"0\" serverAddr=\"" + longText + "\" userName=\"u&amp;1\" port=\"0\"/>\n"
            "</CameraInfo>\n"
            "<CameraInfo channelID=\"12\" alarmStatus=\"1\"/>\n"
            "<CameraInfo channelID=\"3\" alarmStatus=\"1\"><FTPConfig id=\"0\" port=\"70000\"/></CameraInfo>\n"
            "<CameraInfo channelID=\"4\" alarmStatus=\"1\"/>\n"
            "<CameraInfo channelID=\"4\" alarmStatus=\"0\"><FTPConfig port=\"2100\"/></CameraInfo>\n"
            "</CameraInfos>\n");
  ASSERT_TRUE(mgr_.LoadCameraInfo(path_));
  EXPECT_EQ(80, mgr_.GetListenPort());
  EXPECT_EQ(std::string(63, 'x'), mgr_.GetCameraID());
  EXPECT_EQ("", mgr_.GetWebAdminPassword());  // absent gives the empty text

  const CCameraInfo* c0 = mgr_.GetCameraInfo(0);
  EXPECT_EQ(1, c0->GetAlarmStatus());  // 5 toggles the default 0
  EXPECT_EQ(0, c0->GetAudioEnable());
  EXPECT_EQ(std::string(65, 'x') + "|u&1|||21", Ftp(c0));

  EXPECT_EQ(1, mgr_.GetCameraInfo(3)->GetAlarmStatus());
  EXPECT_EQ(21, mgr_.GetCameraInfo(3)->GetFtpConfig().port);
  EXPECT_EQ(0, mgr_.GetCameraInfo(4)->GetAlarmStatus());  // the later element wins
  EXPECT_EQ(2100, mgr_.GetCameraInfo(4)->GetFtpConfig().port);  // a missing id reads as 0
  EXPECT_EQ(0, mgr_.GetCameraInfo(2)->GetAlarmStatus());
  EXPECT_EQ("127.0.0.1|qm41|580317|./|21", Ftp(mgr_.GetCameraInfo(2)));

  for (const auto& [port, expected] : {std::pair{"0", 80}, {"65534", 65534}, {"99999999999999999999999", 80}}) {
    WriteFile(path_, std::string("<CameraInfos listenPort=\"") + port + "\" cameraID=\"\"/>");
    ASSERT_TRUE(mgr_.LoadCameraInfo(path_));
    EXPECT_EQ(expected, mgr_.GetListenPort()) << port;
  }
  mgr_.SetDefaults();
  WriteFile(path_, "<CameraInfo channelID=\"2\" alarmStatus=\"1\"/>");  // a channel record as the root
  ASSERT_TRUE(mgr_.LoadCameraInfo(path_));
  EXPECT_EQ(1, mgr_.GetCameraInfo(2)->GetAlarmStatus());
  EXPECT_EQ(8080, mgr_.GetListenPort());
}

std::vector<uint32_t> g_posted;
void RecordPost(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  g_posted.push_back(message);
  EXPECT_EQ(0u, wParam);
  EXPECT_EQ(0, lParam);
}

TEST_F(CameraInfoMgrTest, ChannelChangesNotifyTheMainWindow) {
  CCameraInfo* info = mgr_.GetCameraInfo(0);
  info->SetAlarmStatus(-1);  // before the main window exists nothing is posted
  EXPECT_EQ(1, info->GetAlarmStatus());

  g_posted.clear();
  SetMainWindowPoster(&RecordPost);
  info->SetAlarmStatus(-1);
  EXPECT_EQ(0, info->GetAlarmStatus());
  info->SetAlarmStatus(1);
  info->SetAlarmStatus(1);
  EXPECT_EQ(1, info->GetAlarmStatus());
  info->SetAudioEnable(1);
  EXPECT_EQ(0, info->GetAudioEnable());
  info->SetFtpConfig("a", "b", "c", "d", 0);  // no notification for FTP settings
  EXPECT_EQ(std::vector<uint32_t>(4, WM_REFRESH_STATUS), g_posted);

  EXPECT_EQ("a|b|c|d|21", Ftp(info));  // port 0 keeps the old one
  info->SetFtpConfig(nullptr, std::string(200, 'u').c_str(), nullptr, nullptr, 990);
  EXPECT_EQ("a|" + std::string(65, 'u') + "|c|d|990", Ftp(info));
}

uint32_t g_address = 0;
bool FixedAddress(uint32_t* address) {
  *address = g_address;
  return g_address != 0;
}

TEST_F(CameraInfoMgrTest, ChooseListenPortFollowsTheLastOctet) {
  mgr_.SetLocalAddressLookup(&FixedAddress);
  g_address = (192u << 24) | (168u << 16) | (1u << 8) | 23u;
  mgr_.SetListenPort(15023);
  EXPECT_EQ(15023, mgr_.ChooseListenPort()) << "a port for this octet is kept";
  // Otherwise 10000 to 19999 with the octet as its last three digits; without an address
  // 10000 to 10999.
  for (uint32_t address : {g_address, 0u}) {
    g_address = address;
    for (int round = 0; round < 40; ++round) {
      mgr_.SetListenPort(std::array{15024, 8080, 80, 9023}[round % 4]);
      const int port = mgr_.ChooseListenPort();
      EXPECT_TRUE(port >= 10000 && port <= (address != 0 ? 19023 : 10999)) << port;
      EXPECT_EQ(port, mgr_.GetListenPort());
      // With an address the octet ends the port, and a chosen port is kept.
      EXPECT_TRUE(address == 0 || (port % 1000 == 23 && mgr_.ChooseListenPort() == port)) << port;
    }
  }
}

}  // namespace
