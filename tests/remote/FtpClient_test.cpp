#include "remote/FtpClient.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "infra/Logger.h"
#include "platform/Tick.h"
#include "remote/FtpControl.h"
#include "remote/FtpReply.h"
#include "tests/support/TestFiles.h"

namespace {

namespace fs = std::filesystem;
using testfiles::ReadFile;

TEST(FtpReplyTest, PasvRepliesAndCommandTexts) {
  const struct { const char* line; std::string target; } rows[] = {
      {"227 Entering Passive Mode (192,168,1,10,19,137).", "192.168.1.10:5001"},
      {"227 =( 10,0,0,1,0,21)", "10.0.0.1:21"}, {"227 Entering Passive Mode 192,168,1,10,19,137", "-1"},
      {"227 (192,168,1,10,19)", "-1"}, {"227 (192,168,1,10,19,137", "-1"}};
  for (const auto& row : rows) {
    remote::FtpPassiveTarget t{};
    const int result = remote::ParsePasvReply(row.line, &t);
    EXPECT_EQ(row.target, result == 0 ? std::string(t.host) + ":" + t.port : std::to_string(result)) << row.line;
  }
  char logged[80], argument[80], line[remote::kFtpCommandLineSize];
  remote::BuildPortTexts(0xC0A80105u, 5001, logged, argument);
  EXPECT_EQ(std::string(logged) + " " + argument, "|1|192.168.1.5|5001| 192,168,1,5,19,137");
  EXPECT_EQ(255, remote::FormatFtpCommand("STOR", std::string(248, 'n').c_str(), line));
  EXPECT_EQ(-1, remote::FormatFtpCommand("STOR", std::string(249, 'n').c_str(), line)) << "no room for the zero";
}

// tools/ftp_script_server.py plays the server; the frozen tick shows the pauses as exact steps.
class FtpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GetLogger().SetExecutablePath(dir_ + "ftp");
    InitLog(0);
    remote::SetFtpTimeoutsForTest(2000, 1500);  // short, yet long for a busy machine
    platform::FreezeTickForTest(100000);
    testfiles::WriteFile(dir_ + "clip.flv", clip_ = std::string(100000, 'v') + std::string("\r\n\0\xff\n", 5));
  }
  void TearDown() override {
    if (server_ != nullptr) kill(pid_, SIGKILL), pclose(server_);
    CloseLog();
    platform::ResetTickForTest();
    remote::SetFtpTimeoutsForTest(0, 0);
    fs::remove_all(dir_);
  }
  FTPConfig Start(const std::string& script, bool active) {
    testfiles::WriteFile(dir_ + "script.json", script);
    server_ = popen(("exec /usr/bin/python3 " VT_SOURCE_DIR "/tools/ftp_script_server.py " + dir_ + "script.json " +
                     dir_ + " low").c_str(), "r");
    int port = 0;
    EXPECT_EQ(2, fscanf(server_, "port %d (pid %d)", &port, &pid_)) << "server did not start";
    return FTPConfig{"127.0.0.1", "u", "secret", static_cast<uint16_t>(port + (active ? 50000 : 0)), "clips"};
  }
  std::string Log() { return ReadFile(dir_ + "ftp.log"); }

  std::string dir_ = testfiles::MakeTempDir("vt_ftp_"), clip_;
  FILE* server_ = nullptr;
  pid_t pid_ = 0;
};

struct ScriptCase {
  const char* name;
  std::string script;  // JSON: one reply table per control connection
  int login = 0;       // FtpConnectAndLogin's failure, 0 when it logs in
  std::vector<std::string> logged = {};
  int attempts = 1;  // store attempts up to the stored file
  int storedCopies = 1;
  bool active = false, emptyClip = false;
};

class FtpScriptTest : public FtpClientTest, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(FtpScriptTest, Plays) {
  const ScriptCase& c = GetParam();
  if (c.emptyClip) testfiles::WriteFile(dir_ + "clip.flv", clip_ = "");
  FTPConfig ftp = Start(c.script, c.active);
  const int control = remote::FtpConnectAndLogin(ftp);
  if (c.login != 0) {
    EXPECT_EQ(c.login, control);
  } else {
    EXPECT_GE(control, 0);
    EXPECT_TRUE(remote::FtpPutFileAs(control, ftp, (dir_ + "clip.flv").c_str(), "record_spooled.flv"));
    EXPECT_EQ(100000u + 3000u * (c.attempts - 1), platform::GetTickCount()) << "pauses of 3000 ms";
    int stored = 0;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      const std::string name = entry.path().filename();
      if (name.find("record_") == std::string::npos) continue;
      EXPECT_EQ(name.substr(name.find('-')), "-record_spooled.flv");
      EXPECT_EQ(clip_, ReadFile(entry.path())) << name;
      ++stored;
    }
    EXPECT_EQ(c.storedCopies, stored);
    EXPECT_NE(std::string::npos, Log().find("ret=0, counter=" + std::to_string(c.attempts)));
  }
  for (const std::string& text : c.logged) EXPECT_NE(std::string::npos, Log().find(text)) << text;
}

const std::string kLong(511, 'a');

INSTANTIATE_TEST_SUITE_P(
    Replies, FtpScriptTest,
    ::testing::ValuesIn(std::vector<ScriptCase>{
        {"MultiLineGreetingEndsOnlyAt220", R"([{"greeting": "220-hi\r\n221 not yet\r\n220 in\r\n"}])"},
        {"User230IsRefused", R"([{"USER": "230 no password\r\n"}])", -4, {"FTP: User u not accepted\n"}},
        {"PassRefused", R"([{"PASS": "530 no\r\n"}])", -4,
         {"FTP: Sending PASS command\n", "FTP: Login failed for User u\n"}},
        {"StallMidReplyTimesOut", R"([{"greeting": "stall:220-wait\r\n220"}])", -2,
         {"read Resource temporarily unavailable\n", "FTP: Server refused connection\n"}},
        {"CwdRefusedStorAccepted", R"([{"CWD": "550 missing\r\n"}])", 0,
         {"FTP: Sending CWD command\n", "FTP: 550 missing\r\n"}},
        {"LinesAreCutAt511",
         R"([{"USER": "331-x\r\n)" + kLong + R"(331 cut\r\n)" + kLong + R"(3331 cut\r\n331 end\r\n"}])", 0,
         {"FTP: " + kLong + "\n"}},
        {"ZeroByteClip", "[{}]", 0, {"FTP: after write data to connection.\n"}, 1, 1, false, true},
        {"ActiveWithoutConnectionRetries", R"([{"PORT": "port-silent"}, {}])", 0,
         {"FTP: opendatasock |1|127.0.0.1|", "FTP: select data connection 5 seconds.\n",
          "select on connection: Connection timed out\n", "complete. ret=-2, counter=1\n"}, 2, 1, true},
        {"QuitDroppedStoresAgain", R"([{"QUIT": "drop"}, {}])", 0,
         {"FTP: Sending QUIT command\n", "ret=-2, counter=1\n", "FTP: Connection closed\n"}, 2, 2}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(FtpClientTest, ControlCharactersNeverReachTheServer) {
  const FTPConfig clean = Start("[{}, {}, {}, {}]", false);
  for (char (FTPConfig::*field)[66] : {&FTPConfig::serverAddr, &FTPConfig::userName, &FTPConfig::password,
                                       &FTPConfig::remotePath}) {
    FTPConfig ftp = clean;
    std::strcat(ftp.*field, "\r\nDELE x");
    EXPECT_EQ(-5, remote::FtpConnectAndLogin(ftp));
    const int control = remote::FtpConnectAndLogin(clean);
    ASSERT_GE(control, 0);
    EXPECT_FALSE(remote::FtpPutFile(control, ftp, (dir_ + "clip.flv").c_str()));
  }
  const std::string transcript = ReadFile(dir_ + "transcript");
  EXPECT_EQ(std::string::npos, transcript.find("DELE")) << transcript;
  EXPECT_EQ(std::string::npos, transcript.find("PASV")) << transcript;
  EXPECT_EQ(16, std::count(transcript.begin(), transcript.end(), '\n')) << "four clean logins: connect, USER, PASS, TYPE";
  EXPECT_EQ(std::string::npos, Log().find("DELE")) << "no refused value in the log";
  EXPECT_NE(std::string::npos, Log().find("FTP: upload refused: the password holds a control character\n"));
}

}  // namespace
