#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>

#include "platform/Tick.h"
#include "tests/support/TestFiles.h"
#include "update/Downloader.h"
#include "update/LiveUpdate.h"

namespace {

using testfiles::ReadFile;
using testfiles::WriteFile;

// tools/update-server.py as a child process on a loopback port.
class ServerProcess {
 public:
  ServerProcess(const char* kind, const std::string& folder) {
    int fds[2];
    if (pipe(fds) != 0) return;
    if ((pid_ = fork()) == 0) {
      dup2(fds[1], 1);
      execl("/usr/bin/python3", "python3", VT_SOURCE_DIR "/tools/update-server.py", kind, folder.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    FILE* out = fdopen(fds[0], "r");
    if (std::fscanf(out, "PORT %d", &port_) != 1) port_ = 0;
    std::fclose(out);
  }
  ~ServerProcess() {
    if (pid_ > 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
  }
  int port_ = 0;

 private:
  pid_t pid_ = 0;
};

class RecordingClient : public CLiveUpdateClient {
 public:
  explicit RecordingClient(const std::string& dir) : CLiveUpdateClient(dir.c_str()) {}
  ~RecordingClient() override { StopEngine(); }
  bool OnTryDownloadCenter(const char* t) override { return Add("OnTryDownloadCenter:", t); }
  bool OnUpdateFinish() override { return Add("OnUpdateFinish", ""); }
  bool OnException(const char* t) override { return Add("OnException:", t); }
  bool OnUnzip(const char*) override { return Add("OnUnzip", ""); }
  std::vector<std::string> events;

 private:
  bool Add(const char* name, const char* text) {
    std::lock_guard<std::mutex> lock(m_lock);
    events.push_back(std::string(name) + (text ? text : ""));
    return true;
  }
  std::mutex m_lock;
};

const std::string kNewMd5 = "22AF645D1859CB5CA6DA0C484F1F37EA";  // of "new"

struct FailureCase {
  const char* name;
  std::vector<std::string> entries;  // the published list: "path|name|md5|zipped" each, or INI text
  const char* server;  // "http", "ftp", or how the share is named: "plain", "dir" (//...), "unc" (\\...)
  std::vector<std::string> expected;  // in this order, each a prefix of an event
  int result = -1;
  const char* dataAfter = "old";  // the local d.bin afterwards
  bool key = false;               // a publisher key in the program folder
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class LiveUpdateFailure : public ::testing::TestWithParam<FailureCase> {
 public:
  void SetUp() override {
    root_ = testfiles::MakeTempDir("vt-update-");
    prog_ = root_ + "prog/";
    share_ = root_ + "share/liveupdate/";
    std::filesystem::create_directories(prog_);
    std::filesystem::create_directories(share_ + "sub");
    setenv("XDG_CONFIG_HOME", (root_ + "config").c_str(), 1);
    platform::FreezeTickForTest(1000);  // the 5 s waits between tries pass at once
  }
  void TearDown() override {
    platform::ResetTickForTest();
    std::filesystem::remove_all(root_);
  }
  void Publish(const std::vector<std::string>& entries) {
    std::string xml = "<?xml version=\"1.0\"?>\n<Update><ReleaseNote>note</ReleaseNote>";
    for (const std::string& e : entries) {
      std::vector<std::string> f;
      std::stringstream fields(e);
      for (std::string field; std::getline(fields, field, '|');) f.push_back(field);
      f.resize(4);
      xml += "<File path=\"" + f[0] + "\" name=\"" + f[1] + "\" md5=\"" + f[2] + "\" zipped=\"" + f[3] + "\"/>";
    }
    WriteFile(share_ + "vtcam.xml", entries[0][0] == '[' ? entries[0] : xml + "</Update>");
  }
  std::string Url(const std::string& kind) {
    if (kind == "plain" || kind == "dir") return (kind == "dir" ? "/" : "") + share_;
    if (kind == "unc") return "\\\\" + share_.substr(1);
    server_ = std::make_unique<ServerProcess>(kind.c_str(), root_ + "share");
    return kind + "://127.0.0.1:" + std::to_string(server_->port_) + "/liveupdate";
  }

  std::string root_, prog_, share_;
  std::unique_ptr<ServerProcess> server_;
};

TEST_P(LiveUpdateFailure, ReportsAndKeepsLocalFiles) {
  const FailureCase& c = GetParam();
  WriteFile(prog_ + "d.bin", "old");
  WriteFile(share_ + "d.bin", "new");
  WriteFile(share_ + "../evil", "x");
  if (c.key) WriteFile(prog_ + "update-key.pub", std::string(64, 'a') + "\r\n");
  if (!c.entries.empty()) Publish(c.entries);
  RecordingClient client(prog_);
  client.Engine()->AddServer(Url(c.server).c_str(), "vtcam.xml");
  client.Engine()->Start(&client);  // its result is false once a quick failure has ended the run
  ASSERT_TRUE(client.Engine()->Wait(60000));
  EXPECT_EQ(client.Engine()->Result(), c.result);
  size_t at = 0;
  for (const std::string& e : client.events) at += at < c.expected.size() && e.rfind(c.expected[at], 0) == 0;
  EXPECT_EQ(at, c.expected.size()) << ::testing::PrintToString(client.events);
  EXPECT_EQ(ReadFile(prog_ + "d.bin"), c.dataAfter);
  EXPECT_FALSE(std::filesystem::exists(root_ + "evil"));
  for (const auto& item : std::filesystem::recursive_directory_iterator(prog_))
    EXPECT_NE(item.path().filename().string().rfind("~~t", 0), 0u) << "a temporary file stays: " << item.path();
}

// A tampered signed list and a failing first server: system tests.
INSTANTIATE_TEST_SUITE_P(
    Table, LiveUpdateFailure,
    ::testing::Values(
        FailureCase{"HttpListMissing", {}, "http",
                    {"OnTryDownloadCenter:http://", "OnTryDownloadCenter:Error:404,",
                     "OnException:Can not find the download list file!"}},
        FailureCase{"PlainPath", {"|d.bin|" + kNewMd5 + "|"}, "plain", {"OnException:Can not connect to server!"}},
        FailureCase{"NamesLeavingTheFolder",
                    {"..\\|evil|00|", "|/abs|00|", "sub/../../|evil|00|", "|d.bin|" + kNewMd5 + "|"}, "http",
                    {"OnException:The entry ..\\evil is refused", "OnException:The entry /abs is refused",
                     "OnException:The entry sub/../../evil is refused", "OnUpdateFinish"},
                    0, "new"},
        FailureCase{"WrongDigestTriedThreeTimes", {"|d.bin|0123|"}, "ftp",
                    {"OnException:The downloaded file's version is not correct!(d.bin)",
                     "OnException:Retry(1) download file d.bin!", "OnException:Retry(2) download file d.bin!",
                     "OnException:The downloaded file's version is not correct!(d.bin)"}},
        FailureCase{"ZippedDoesNotMatch", {"|d.bin|0123|true"}, "dir",
                    {"OnUnzip", "OnException:The downloaded file could not be unzipped!(d.bin)"}},
        FailureCase{"IniListWithoutNote", {"[d.bin]\nmd5=" + kNewMd5 + "\n"}, "unc",
                    {"OnException:The download list file is not correct!"}},
        FailureCase{"UnsignedListWithAKey", {"|d.bin|" + kNewMd5 + "|"}, "dir",
                    {"OnException:The download list file is not correct!"}, -1, "old", true}),
    [](const ::testing::TestParamInfo<FailureCase>& p) { return std::string(p.param.name); });

}  // namespace
