#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sstream>

#include <sodium.h>

#include "platform/Tick.h"
#include "tests/support/TestFiles.h"
#include "tests/update/UpdateTestSupport.h"
#include "update/Downloader.h"
#include "update/LiveUpdate.h"

namespace {

using testfiles::ReadFile;
using testfiles::WriteFile;

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

class LiveUpdateTest : public ::testing::Test {
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
  // One list file "vtcam.xml" on the share; entries are "path|name|version|md5|zipped".
  void PublishList(const std::vector<std::string>& entries, const char* note = "<ReleaseNote>note</ReleaseNote>") {
    std::string xml = std::string("<?xml version=\"1.0\"?>\n<Update>") + note;
    for (const std::string& e : entries) {
      std::vector<std::string> f;
      std::stringstream fields(e);
      for (std::string field; std::getline(fields, field, '|');) f.push_back(field);
      f.resize(5);
      xml += "<File path=\"" + f[0] + "\" name=\"" + f[1] + "\" version=\"" + f[2] + "\" md5=\"" + f[3] +
             "\" zipped=\"" + f[4] + "\"/>";
    }
    WriteFile(share_ + "vtcam.xml", xml + "</Update>");
  }
  std::string Url(const std::string& kind) {
    if (kind == "dir") return "/" + share_;
    server_ = std::make_unique<updatetest::ServerProcess>(kind.c_str(), root_ + "share");
    return kind + "://127.0.0.1:" + std::to_string(server_->Port()) + "/liveupdate";
  }
  int Run(RecordingClient* client, const std::vector<std::string>& urls) {
    for (const auto& url : urls) client->Engine()->AddServer(url.c_str(), "vtcam.xml");
    EXPECT_TRUE(client->Engine()->Start(client));
    EXPECT_TRUE(client->Engine()->Wait(60000));
    return client->Engine()->Result();
  }
  bool HasTempFiles() {
    for (const auto& item : std::filesystem::recursive_directory_iterator(prog_))
      if (item.path().filename().string().rfind("~~t", 0) == 0 && item.is_regular_file()) return true;
    return false;
  }

  std::string root_, prog_, share_;
  std::unique_ptr<updatetest::ServerProcess> server_;
};

// Events must appear in this order; each expected text is a prefix of the event.
void ExpectSequence(const std::vector<std::string>& events, const std::vector<std::string>& expected) {
  size_t at = 0;
  for (const std::string& e : events)
    if (at < expected.size() && e.rfind(expected[at], 0) == 0) ++at;
  EXPECT_EQ(at, expected.size()) << "missing: " << (at < expected.size() ? expected[at] : "")
                                 << "\nevents:\n" << ::testing::PrintToString(events);
}

struct FailureCase {
  const char* name;
  void (*setup)(LiveUpdateTest* f, std::vector<std::string>* urls);
  std::vector<std::string> expected;
  int result;
  const char* dataAfter;  // the local d.bin afterwards
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class Failure : public LiveUpdateTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(Failure, ReportsAndKeepsLocalFiles) {
  WriteFile(prog_ + "d.bin", "old");
  WriteFile(share_ + "d.bin", "new");
  std::vector<std::string> urls;
  GetParam().setup(this, &urls);
  RecordingClient client(prog_);
  EXPECT_EQ(Run(&client, urls), GetParam().result);
  ExpectSequence(client.events, GetParam().expected);
  EXPECT_EQ(ReadFile(prog_ + "d.bin"), GetParam().dataAfter);
  EXPECT_FALSE(HasTempFiles());
  EXPECT_FALSE(std::filesystem::exists(root_ + "evil"));
  EXPECT_FALSE(std::filesystem::exists(root_ + "abs"));
}

const std::string kNewMd5 = updatetest::Md5Of("new");

// Installs a fresh public key in the program directory and signs `signedBytes` as the list's
// signature; the published list is what the share holds.
void SignList(LiveUpdateTest* f, const std::string& signedBytes, bool publishSignature) {
  unsigned char pub[crypto_sign_PUBLICKEYBYTES], secret[crypto_sign_SECRETKEYBYTES], sig[crypto_sign_BYTES];
  ASSERT_EQ(sodium_init() >= 0, true);
  crypto_sign_keypair(pub, secret);
  crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(signedBytes.data()), signedBytes.size(),
                       secret);
  char hex[2 * crypto_sign_BYTES + 1];
  WriteFile(f->prog_ + "update-key.pub", sodium_bin2hex(hex, sizeof(hex), pub, sizeof(pub)) + std::string("\r\n"));
  if (publishSignature) WriteFile(f->share_ + "vtcam.xml.sig", sodium_bin2hex(hex, sizeof(hex), sig, sizeof(sig)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Failure,
    ::testing::Values(
        FailureCase{"HttpListMissing", [](LiveUpdateTest* f, std::vector<std::string>* urls) { urls->push_back(f->Url("http")); },
                    {"OnTryDownloadCenter:http://", "OnTryDownloadCenter:Error:404,",
                     "OnException:Can not find the download list file!"},
                    -1, "old"},
        FailureCase{"PlainPath",
                    [](LiveUpdateTest* f, std::vector<std::string>* urls) {
                      f->PublishList({"|d.bin||" + kNewMd5 + "|"});
                      urls->push_back(f->share_);
                    },
                    {"OnException:Can not connect to server!"}, -1, "old"},
        FailureCase{"NamesLeavingTheFolder",
                    [](LiveUpdateTest* f, std::vector<std::string>* urls) {
                      WriteFile(f->share_ + "../evil", "x");
                      f->PublishList({"..\\|evil||00|", "|" + f->share_ + "../abs||00|", "sub/../../|evil||00|",
                                      "|d.bin||" + kNewMd5 + "|"});
                      urls->push_back(f->Url("http"));
                    },
                    {"OnException:The entry ..\\evil is refused", "OnException:The entry /",
                     "OnException:The entry sub/../../evil is refused", "OnUpdateFinish"},
                    0, "new"},
        FailureCase{"WrongDigestTriedThreeTimes",
                    [](LiveUpdateTest* f, std::vector<std::string>* urls) {
                      f->PublishList({"|d.bin||0123|"});
                      urls->push_back(f->Url("ftp"));
                    },
                    {"OnException:The downloaded file's version is not correct!(d.bin)",
                     "OnException:Retry(1) download file d.bin!", "OnException:Retry(2) download file d.bin!",
                     "OnException:The downloaded file's version is not correct!(d.bin)"},
                    -1, "old"},
        FailureCase{"ZippedDoesNotMatch",
                    [](LiveUpdateTest* f, std::vector<std::string>* urls) {
                      f->PublishList({"|d.bin||0123|true"});
                      urls->push_back("/" + f->share_);
                    },
                    {"OnUnzip", "OnException:The downloaded file could not be unzipped!(d.bin)"}, -1, "old"},
        FailureCase{"IniListWithoutNote",
                    [](LiveUpdateTest* f, std::vector<std::string>* urls) {
                      WriteFile(f->share_ + "vtcam.xml", "[d.bin]\nmd5=" + kNewMd5 + "\n");
                      urls->push_back("\\\\" + f->share_.substr(1));
                    },
                    {"OnException:The download list file is not correct!"}, -1, "old"},
        FailureCase{"TamperedSignedList",
                    [](LiveUpdateTest* f, std::vector<std::string>* urls) {
                      f->PublishList({"|d.bin||" + kNewMd5 + "|"});
                      SignList(f, ReadFile(f->share_ + "vtcam.xml") + " ", true);
                      urls->push_back(f->Url("ftp"));
                    },
                    {"OnException:The download list file is not correct!"}, -1, "old"},
        FailureCase{"SignatureMissing",
                    [](LiveUpdateTest* f, std::vector<std::string>* urls) {
                      f->PublishList({"|d.bin||" + kNewMd5 + "|"});
                      SignList(f, ReadFile(f->share_ + "vtcam.xml"), false);
                      urls->push_back("/" + f->share_);
                    },
                    {"OnException:The download list file is not correct!"}, -1, "old"}),
    [](const ::testing::TestParamInfo<FailureCase>& p) { return std::string(p.param.name); });

}  // namespace
