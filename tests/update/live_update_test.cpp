#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>

#include "platform/Tick.h"
#include "tests/support/TestFiles.h"
#include "update/LiveUpdate.h"

namespace {

using testfiles::ReadFile;
using testfiles::WriteFile;

// tools/update-server.py on a loopback port.
struct ServerProcess {
  ServerProcess(const std::string& kind, const std::string& folder)
      : out(popen(("echo $$; exec /usr/bin/python3 " VT_SOURCE_DIR "/tools/update-server.py " + kind + " " + folder)
                      .c_str(), "r")) {
    if (std::fscanf(out, "%d PORT %d", &pid, &port) != 2) port = 0;
  }
  ~ServerProcess() {
    if (pid > 0) kill(pid, SIGKILL);
    pclose(out);
  }
  FILE* out;
  int pid = 0, port = 0;
};

class RecordingClient : public CLiveUpdateClient {
 public:
  explicit RecordingClient(const std::string& dir) : CLiveUpdateClient(dir.c_str()) {}
  ~RecordingClient() override { StopEngine(); }
  bool OnTryDownloadCenter(const char* t) override { return Add("OnTryDownloadCenter:", t); }
  bool OnUpdateFinish() override { return Add("OnUpdateFinish"); }
  bool OnException(const char* t) override { return Add("OnException:", t); }
  bool OnUnzip(const char*) override { return Add("OnUnzip"); }
  bool Add(const char* name, const char* text = "") {
    std::lock_guard<std::mutex> lock(m_lock);
    events.push_back(std::string(name) + (text ? text : ""));
    return true;
  }
  std::vector<std::string> events;
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

class LiveUpdateFailure : public ::testing::TestWithParam<FailureCase> {
 public:
  void SetUp() override {
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
    if (entries[0][0] == '[') return WriteFile(share_ + "vtcam.xml", entries[0]);
    std::string xml = "<?xml version=\"1.0\"?>\n<Update><ReleaseNote>note</ReleaseNote>";
    for (std::string file : entries) {  // "path|name|md5|zipped"
      for (const char* next : {"\" name=\"", "\" md5=\"", "\" zipped=\""}) file.replace(file.find('|'), 1, next);
      xml += "<File path=\"" + file + "\"/>";
    }
    WriteFile(share_ + "vtcam.xml", xml + "</Update>");
  }
  std::string Url(const std::string& kind) {
    if (kind == "plain" || kind == "dir") return (kind == "dir" ? "/" : "") + share_;
    if (kind == "unc") return "\\\\" + share_.substr(1);
    server_ = std::make_unique<ServerProcess>(kind, root_ + "share");
    return kind + "://127.0.0.1:" + std::to_string(server_->port) + "/liveupdate";
  }

  std::string root_ = testfiles::MakeTempDir("vt-update-"), prog_ = root_ + "prog/";
  std::string share_ = root_ + "share/liveupdate/";
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
