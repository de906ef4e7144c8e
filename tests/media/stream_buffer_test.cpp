// Stream buffers: package store and recycling (tick seam), the FLV header and streaming
// steps on crafted bytes and on real encoder output, the length-prefixed parser across
// package boundaries, and the history clip.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "media/FLVStreamDataBuffer.h"
#include "media/FlvTemplates.h"
#include "media/PacketStreamDataBuffer.h"
#include "platform/Tick.h"
#include "tests/net/NetTestSupport.h"
#include "tests/support/FlvBytes.h"
#include "tests/support/TestFiles.h"

namespace {

using namespace flvbytes;
using nettest::LogCapture;
using testfiles::ReadFile;

std::string TempPath(const std::string& name) {
  return std::string("/tmp/vt_stream_") + std::to_string(getpid()) + "_" + name;
}

// Runs a shell command; its exit status and standard output + error.
int RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  output->clear();
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof(chunk), pipe)) > 0;) output->append(chunk, n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class StreamBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogCapture::Instance();
    platform::FreezeTickForTest(1000000);
    m_mark = LogCapture::Instance().Mark();
    m_flv.SetSize(8192, 32);
  }
  void TearDown() override { platform::ResetTickForTest(); }
  std::string Logged() { return LogCapture::Instance().Since(m_mark); }

  size_t m_mark = 0;
  CFLVStreamDataBuffer m_flv;
};

// ---- package store ------------------------------------------------------------------

TEST_F(StreamBufferTest, SizesAreRecordedForLaterPackagesOnly) {
  CFLVStreamDataBuffer fresh;
  EXPECT_EQ(fresh.PackageCapacity(), 4096);
  fresh.SetSize(-1, -1);
  EXPECT_EQ(fresh.PackageCapacity(), 8192);
  EXPECT_EQ(fresh.PackageHeadroom(), 0);
  fresh.SetSize(100, 8);  // not larger
  EXPECT_EQ(fresh.PackageCapacity(), 8192);

  int free = 0;
  char* at = fresh.GetWriteBuffer(&free);
  EXPECT_EQ(free, 8192);
  StreamPackage* package = fresh.CurrentPackageOf();
  EXPECT_EQ(at, package->data);
  // Carried tag-header bytes need room in front even when none was asked for.
  EXPECT_GE(package->data - package->allocation, CPackageDataBuffer::kMinimumHeadroom);
  fresh.CommitWrite(10);
  fresh.SetSize(20000, 32);  // packages exist
  EXPECT_EQ(fresh.PackageCapacity(), 8192);
  int length = 0;
  EXPECT_EQ(fresh.GetData(&length), at);
  EXPECT_EQ(length, 10);
}

TEST_F(StreamBufferTest, OldestPackageIsRecycledOnlyWhenOldEnoughAndUnreferenced) {
  Feed(m_flv, "aaaa");
  StreamPackage* first = m_flv.CurrentPackageOf();
  EXPECT_EQ(first->sequence, 0u);
  EXPECT_EQ(first->tick, 1000000u);

  platform::AdvanceTickForTest(16000);  // 16000 ms old: kept
  Feed(m_flv, "bbbb");
  EXPECT_NE(m_flv.CurrentPackageOf(), first);
  EXPECT_EQ(m_flv.PackageCount(), 2);

  platform::AdvanceTickForTest(1);  // 16001 ms, but a queued send points into it
  first->AddRef();
  Feed(m_flv, "cccc");
  EXPECT_NE(m_flv.CurrentPackageOf(), first);
  EXPECT_EQ(m_flv.PackageCount(), 3);

  first->Release();
  Feed(m_flv, "dddd");
  EXPECT_EQ(m_flv.CurrentPackageOf(), first);
  EXPECT_EQ(first->sequence, 3u);  // re-stamped
  EXPECT_EQ(std::string(first->data, 4), "dddd");
  EXPECT_EQ(m_flv.PackageCount(), 3);
  std::vector<uint32_t> order;
  m_flv.ForEachPackage([&](StreamPackage* p) { order.push_back(p->sequence); });
  EXPECT_EQ(order, (std::vector<uint32_t>{1, 2, 3}));
}

TEST_F(StreamBufferTest, APinnedPackageHoldsUpNoRecyclingAndTheSetShrinksAfterIt) {
  std::vector<StreamPackage*> made;
  for (const char* text : {"aaaa", "bbbb", "cccc"}) {
    Feed(m_flv, text);
    made.push_back(m_flv.CurrentPackageOf());
    platform::AdvanceTickForTest(1000);
  }
  made[0]->AddRef();  // a stalled viewer's send
  platform::AdvanceTickForTest(16001);
  Feed(m_flv, "dddd");
  EXPECT_EQ(m_flv.CurrentPackageOf(), made[1]);  // the first unpinned old one is reused
  EXPECT_EQ(m_flv.PackageCount(), 2);             // the other unpinned old one was freed
  made[0]->Release();
  platform::AdvanceTickForTest(16001);
  Feed(m_flv, "eeee");
  EXPECT_EQ(m_flv.CurrentPackageOf(), made[0]);
  EXPECT_EQ(m_flv.PackageCount(), 1);
}

TEST_F(StreamBufferTest, RecyclingAgeIsMeasuredAcrossTheTickWrap) {
  platform::FreezeTickForTest(0xFFFFF000u);
  Feed(m_flv, "old");
  StreamPackage* first = m_flv.CurrentPackageOf();
  platform::AdvanceTickForTest(16000);  // wraps past zero
  Feed(m_flv, "new");
  EXPECT_NE(m_flv.CurrentPackageOf(), first);
  platform::AdvanceTickForTest(1);
  Feed(m_flv, "again");
  EXPECT_EQ(m_flv.CurrentPackageOf(), first);
}

TEST_F(StreamBufferTest, AHandOutThatNeverArrivedIsHandedOutAgain) {
  int free = 0;
  char* at = m_flv.GetWriteBuffer(&free);
  StreamPackage* package = m_flv.CurrentPackageOf();
  EXPECT_EQ(m_flv.GetWriteBuffer(&free), at);  // the receive failed; no second package
  EXPECT_EQ(m_flv.CurrentPackageOf(), package);
  EXPECT_EQ(m_flv.CommitWrite(3), 3);
  EXPECT_EQ(m_flv.CommitWrite(3), 0);  // nothing handed out any more
  EXPECT_EQ(m_flv.PackageCount(), 1);
  EXPECT_EQ(package->sequence, 0u);
}

// ---- FLV header step ----------------------------------------------------------------

TEST_F(StreamBufferTest, FileHeaderWaitsForTwelveBytes) {
  const std::string stream = FileHeader() + Meta() + Key(2000);
  EXPECT_EQ(Feed(m_flv, stream.substr(0, 11)), 0);
  EXPECT_EQ(LogCapture::Count(Logged(), "Can not find FLV header, wait next package.[FLV"), 1);
  EXPECT_EQ(m_flv.ParserState(), 1);
  EXPECT_EQ(Feed(m_flv, stream.substr(11)), 1);
  EXPECT_EQ(HeaderOf(m_flv), FileHeader() + Meta());
  EXPECT_EQ(KeyFrameOf(m_flv), Key(2000));
  EXPECT_NE(Logged().find("Got whole FLV header/meta-data, size=" + std::to_string(13 + Meta().size()) + ". "),
            std::string::npos);
}

TEST_F(StreamBufferTest, MetadataSplitAcrossReceivesWaitsThenSucceeds) {
  const std::string head = FileHeader() + Meta(300);
  EXPECT_EQ(Feed(m_flv, head.substr(0, 100)), 0);
  EXPECT_EQ(m_flv.ParserState(), 2);
  EXPECT_EQ(LogCapture::Count(Logged(), "Can not find FLV meta-data, wait next package."), 1);
  EXPECT_EQ(Feed(m_flv, head.substr(100) + Key(1000) + Inter(200)), 1);
  EXPECT_EQ(m_flv.ParserState(), 4);
  EXPECT_EQ(HeaderOf(m_flv), head);
  EXPECT_EQ(KeyFrameOf(m_flv), Key(1000) + Inter(200));
  EXPECT_EQ(PackageDataOf(m_flv), Key(1000) + Inter(200));
  // The key frame is recorded in the package it lies in.
  StreamPackage* package = m_flv.GetCurrentPackage();
  EXPECT_EQ(package->keyFrame, package->data + (head.size() - 100));
  EXPECT_EQ(package->length, 1200);
}

TEST_F(StreamBufferTest, SmallFirstKeyFrameGoesIntoTheHeaderLargeOneDoesNot) {
  const std::string small = FileHeader() + Meta() + Audio(30) + Key(511);
  EXPECT_EQ(Feed(m_flv, small + Inter(100)), 1);
  EXPECT_EQ(HeaderOf(m_flv), small);
  EXPECT_EQ(KeyFrameOf(m_flv), "");  // the rest holds no key frame
  EXPECT_EQ(PackageDataOf(m_flv), Inter(100));

  CFLVStreamDataBuffer large;
  large.SetSize(8192, 32);
  const std::string head = FileHeader() + Meta() + Audio(30);
  EXPECT_EQ(Feed(large, head + Key(512) + Inter(100)), 1);
  EXPECT_EQ(HeaderOf(large), head);
  EXPECT_EQ(PackageDataOf(large), Key(512) + Inter(100));  // its bytes come first
  EXPECT_EQ(KeyFrameOf(large), Key(512) + Inter(100));
}

TEST_F(StreamBufferTest, HeaderEndingExactlyWithTheReceiveLeavesNothingToStream) {
  EXPECT_EQ(Feed(m_flv, FileHeader() + Meta()), 0);  // waits for the key frame, no loop
  EXPECT_EQ(m_flv.ParserState(), 3);
  EXPECT_EQ(LogCapture::Count(Logged(), "Can not find FLV first I-Frame, wait next package."), 1);
  // Header with a small key frame ending the receive: complete, nothing left over.
  EXPECT_EQ(Feed(m_flv, Key(100)), 0);
  EXPECT_EQ(m_flv.ParserState(), 4);
  EXPECT_EQ(HeaderOf(m_flv), FileHeader() + Meta() + Key(100));
  EXPECT_EQ(KeyFrameOf(m_flv), "");
  EXPECT_EQ(Feed(m_flv, Inter(50) + Key(600)), 1);
  EXPECT_EQ(KeyFrameOf(m_flv), Key(600));
  EXPECT_EQ(PackageDataOf(m_flv), Inter(50) + Key(600));
}

TEST_F(StreamBufferTest, HeaderAreaFullWithoutKeyFrameRejectsTheNextReceive) {
  // A huge non-key tag keeps the search waiting while the area fills up.
  const std::string stream = FileHeader() + Meta() + Inter(100000);
  EXPECT_EQ(Feed(m_flv, stream.substr(0, 4000)), 0);
  EXPECT_EQ(Feed(m_flv, stream.substr(4000, 96)), 0);  // exactly 4096 now
  EXPECT_EQ(HeaderOf(m_flv).size(), 4096u);  // the fill while searching
  EXPECT_EQ(Feed(m_flv, stream.substr(4096, 10)), -1);
  EXPECT_EQ(LogCapture::Count(Logged(), "Not a http flv stream, close session.[FLV"), 1);
  // A restarted converter starts over.
  m_flv.ResetParser();
  EXPECT_EQ(Feed(m_flv, FileHeader() + Meta() + Key(700)), 1);
  EXPECT_EQ(KeyFrameOf(m_flv), Key(700));
}

TEST_F(StreamBufferTest, HostileHeadersAreRejectedOrWaitWithoutLeavingTheArea) {
  struct Row {
    const char* what;
    std::string bytes;
    int result;
  };
  const std::string sig("FLV\x01\x05", 5);
  const Row rows[] = {
      {"header size beyond the area", sig + Be(0xFFFFFFF0u, 4) + Be(0, 4) + Meta(), -1},
      {"header size just beyond the area", sig + Be(4093, 4) + Be(0, 4), -1},
      {"metadata tag claiming 16 MB", FileHeader() + std::string("\x12\xFF\xFF\xFF", 4) + std::string(200, 0), 0},
      {"video tag before metadata", FileHeader() + Key(600) + Meta(), 0},
      {"key frame claiming 16 MB", FileHeader() + Meta() + std::string("\x09\xFF\xFF\xFF\0\0\0\0\0\0\0\x17", 12), 1},
  };
  for (const Row& row : rows) {
    CFLVStreamDataBuffer buffer;
    buffer.SetSize(8192, 32);
    EXPECT_EQ(Feed(buffer, row.bytes), row.result) << row.what;
  }
  // The claimed 16 MB key frame streams on; its following bytes belong to it.
  CFLVStreamDataBuffer big;
  big.SetSize(8192, 32);
  const std::string head = FileHeader() + Meta();
  EXPECT_EQ(Feed(big, head + std::string("\x09\x00\x10\x00\0\0\0\0\0\0\0\x17", 12)), 1);  // 4096-byte tag
  EXPECT_EQ(Feed(big, std::string(4096 + 3, 'x')), 1);
  EXPECT_EQ(KeyFrameOf(big), "");
  EXPECT_EQ(Feed(big, Key(40)), 1);
  EXPECT_EQ(KeyFrameOf(big), Key(40));
}

// The search stopped on a key-frame tag header cut after 5 bytes; the next receive
// completes it. Its first 5 bytes came with the earlier receive and are carried in front.
TEST_F(StreamBufferTest, KeyFrameTagBegunInAnEarlierReceiveIsCarriedInFront) {
  const std::string head = FileHeader() + Meta();
  const std::string key = Key(3000);
  EXPECT_EQ(Feed(m_flv, head + key.substr(0, 5)), 0);
  EXPECT_EQ(m_flv.ParserState(), 3);
  EXPECT_EQ(Feed(m_flv, key.substr(5) + Inter(60)), 1);
  EXPECT_EQ(HeaderOf(m_flv), head);
  StreamPackage* package = m_flv.GetCurrentPackage();
  int length = 0;
  char* at = m_flv.GetKeyFrame(&length);
  EXPECT_EQ(at, package->data - 5);  // in the headroom
  EXPECT_EQ(KeyFrameOf(m_flv), key + Inter(60));
  EXPECT_EQ(PackageDataOf(m_flv), key + Inter(60));
  EXPECT_EQ(package->keyFrame, at);
}

// ---- FLV streaming step -------------------------------------------------------------

TEST_F(StreamBufferTest, TagHeaderCutAfterFiveBytesGoesWithTheNextPackage) {
  const std::string next = Key(800);
  ASSERT_EQ(Feed(m_flv, FileHeader() + Meta() + Key(100)), 0);
  EXPECT_EQ(Feed(m_flv, Inter(100) + Key(700) + next.substr(0, 5)), 1);
  EXPECT_EQ(PackageDataOf(m_flv), Inter(100) + Key(700));
  EXPECT_EQ(KeyFrameOf(m_flv), Key(700));
  EXPECT_EQ(m_flv.CarryCount(), 5);
  StreamPackage* first = m_flv.GetCurrentPackage();
  EXPECT_EQ(first->length, 700);

  EXPECT_EQ(Feed(m_flv, next.substr(5) + Inter(30)), 1);
  StreamPackage* second = m_flv.GetCurrentPackage();
  EXPECT_EQ(PackageDataOf(m_flv), next + Inter(30));
  EXPECT_EQ(KeyFrameOf(m_flv), next + Inter(30));
  EXPECT_EQ(second->keyFrame, second->data - 5);
  EXPECT_EQ(m_flv.CarryCount(), 0);
}

TEST_F(StreamBufferTest, TagsSpanningSeveralPackagesKeepTheirBoundaries) {
  const std::string big = Key(10000);
  ASSERT_EQ(Feed(m_flv, FileHeader() + Meta() + big.substr(0, 4000)), 1);
  EXPECT_EQ(KeyFrameOf(m_flv), big.substr(0, 4000));
  EXPECT_EQ(Feed(m_flv, big.substr(4000, 5000)), 1);  // middle: no boundary, no key frame
  EXPECT_EQ(KeyFrameOf(m_flv), "");
  EXPECT_EQ(PackageDataOf(m_flv), big.substr(4000, 5000));
  // Ends exactly with the tag, then a package starting on a boundary.
  EXPECT_EQ(Feed(m_flv, big.substr(9000)), 1);
  EXPECT_EQ(Feed(m_flv, Key(20) + Inter(20)), 1);
  EXPECT_EQ(KeyFrameOf(m_flv), Key(20) + Inter(20));
  // A package of 11 bytes that are all a cut tag header: sent with the next one.
  const std::string key = Key(90);
  EXPECT_EQ(Feed(m_flv, key.substr(0, 11)), 1);
  EXPECT_EQ(PackageDataOf(m_flv), "");
  EXPECT_EQ(Feed(m_flv, key.substr(11)), 1);
  EXPECT_EQ(PackageDataOf(m_flv), key);
  EXPECT_EQ(KeyFrameOf(m_flv), key);
}

// ---- real encoder output ------------------------------------------------------------

class RealStreamTest : public StreamBufferTest {
 protected:
  static void SetUpTestSuite() {
    s_path = TempPath("real.flv");
    std::string output;
    const int status = RunCommand("/usr/bin/ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
                           "testsrc=size=640x480:rate=10 -t 3 -c:v libx264 -g 10 -f flv " + s_path,
                           &output);
    ASSERT_EQ(status, 0) << output;
    s_stream = ReadFile(s_path);
    ASSERT_GT(s_stream.size(), 20000u);
  }
  static void TearDownTestSuite() { std::remove(s_path.c_str()); }

  // Feeds the stream in random-size receives; advances the tick by stepMs per receive.
  // Returns the live view a viewer attached from the start would get.
  std::string FeedAll(CFLVStreamDataBuffer& buffer, unsigned seed, uint32_t stepMs, int* keyPackages,
                      size_t maxReceive = 8192) {
    std::mt19937 random(seed);
    std::string live;
    bool started = false;
    *keyPackages = 0;
    for (size_t at = 0; at < s_stream.size();) {
      const size_t n = std::min<size_t>(s_stream.size() - at, std::uniform_int_distribution<size_t>(1, maxReceive)(random));
      const int result = Feed(buffer, s_stream.substr(at, n));
      EXPECT_GE(result, 0);
      at += n;
      platform::AdvanceTickForTest(stepMs);
      if (result != 1) continue;
      if (!KeyFrameOf(buffer).empty()) ++*keyPackages;
      if (!started) {
        if (KeyFrameOf(buffer).empty()) continue;
        live = HeaderOf(buffer) + KeyFrameOf(buffer);
        started = true;
      } else {
        live += PackageDataOf(buffer);
      }
    }
    return live;
  }

  static std::string s_path;
  static std::string s_stream;
};
std::string RealStreamTest::s_path;
std::string RealStreamTest::s_stream;

// A viewer attached from the start gets header + a byte-exact suffix of the encoder output,
// and a history clip of the stored packages is a contiguous piece starting at a key frame;
// both decode without errors.
TEST_F(RealStreamTest, LiveViewAndHistoryClipOfRandomlySplitEncoderOutputDecode) {
  CFLVStreamDataBuffer buffer;
  buffer.SetSize(8192, 32);
  const uint32_t begin = platform::GetTickCount();
  int keyPackages = 0;
  const std::string live = FeedAll(buffer, 7, 100, &keyPackages, 1024);
  EXPECT_GE(keyPackages, 2);
  const std::string header = HeaderOf(buffer);
  ASSERT_EQ(header, s_stream.substr(0, header.size()));
  const std::string body = live.substr(header.size());
  ASSERT_GT(body.size(), 1000u);
  EXPECT_EQ(body, s_stream.substr(s_stream.size() - body.size()));
  EXPECT_EQ(static_cast<unsigned char>(body[11]) & 0xF0, 0x10);  // a key frame first

  const std::string path = TempPath("clip.flv");
  // From 1 s after the start to 1.5 s before the end of the stored packages.
  const uint32_t end = platform::GetTickCount();
  ASSERT_GT(end - begin, 4000u);
  ASSERT_EQ(buffer.GetFLVHistoryClip(begin + 1000, end - 1500, path.c_str()), 1);
  const std::string clip = ReadFile(path);
  ASSERT_GT(clip.size(), header.size() + 1000);
  EXPECT_EQ(clip.substr(0, header.size()), header);
  const std::string clipBody = clip.substr(header.size());
  EXPECT_NE(s_stream.find(clipBody), std::string::npos);  // contiguous piece of the stream
  EXPECT_EQ(static_cast<unsigned char>(clipBody[11]) & 0xF0, 0x10);
  for (const std::string& flv : {live, clip}) {
    std::ofstream(path, std::ios::binary) << flv;
    std::string output;
    EXPECT_EQ(RunCommand("/usr/bin/ffmpeg -nostdin -v error -i " + path + " -f null -", &output), 0);
    EXPECT_EQ(output, "");
  }
  std::remove(path.c_str());
}

// ---- history clip -------------------------------------------------------------------

TEST_F(StreamBufferTest, HistoryClipOfAnEmptyBufferHoldsTheHeaderOnly) {
  const std::string path = TempPath("empty.flv");
  EXPECT_EQ(m_flv.GetFLVHistoryClip(0, 100, path.c_str()), 1);
  EXPECT_EQ(ReadFile(path), "");
  ASSERT_EQ(Feed(m_flv, FileHeader() + Meta() + Key(100)), 0);  // header only, no package
  EXPECT_EQ(m_flv.GetFLVHistoryClip(1000000 - 3000, 1000000 + 5000, path.c_str()), 1);
  EXPECT_EQ(ReadFile(path), FileHeader() + Meta() + Key(100));
  EXPECT_NE(Logged().find("CFLVStreamDataBuffer::GetFLVHistoryClip 997000, 1005000"), std::string::npos);
  EXPECT_EQ(m_flv.GetFLVHistoryClip(0, 1, "/nonexistent-dir/clip.flv"), 0);
  std::remove(path.c_str());
}

TEST_F(StreamBufferTest, HistoryClipWindowIsShiftedByTheFirstKeyFrameDelay) {
  ASSERT_EQ(Feed(m_flv, FileHeader() + Meta() + Key(100)), 0);  // tick 1000000, all header
  std::vector<std::string> packages;
  // Ticks 1000100 .. 1000900 in steps of 100; key frames at 1000300 and 1000700.
  for (int i = 1; i <= 9; ++i) {
    platform::FreezeTickForTest(1000000 + 100 * i);
    std::string bytes = (i == 3 || i == 7) ? Inter(40) + Key(200) + Inter(50) : Inter(60) + Audio(20);
    if (i == 4) bytes = Inter(30) + Key(30) + Inter(25);  // a key frame later in the window
    packages.push_back(bytes);
    ASSERT_EQ(Feed(m_flv, bytes), 1);
  }
  const std::string path = TempPath("window.flv");
  // Start 1000250: first key frame at 1000300 (delay 50), so the end 1000500 becomes 1000550.
  ASSERT_EQ(m_flv.GetFLVHistoryClip(1000250, 1000500, path.c_str()), 1);
  const std::string expected = HeaderOf(m_flv) + packages[2].substr(Inter(40).size()) + packages[3] + packages[4];
  EXPECT_EQ(ReadFile(path), expected);
  // A start behind every key frame: header only.
  ASSERT_EQ(m_flv.GetFLVHistoryClip(1000800, 1001000, path.c_str()), 1);
  EXPECT_EQ(ReadFile(path), HeaderOf(m_flv));
  std::remove(path.c_str());
}

TEST_F(StreamBufferTest, HistoryClipKeepsBytesCarriedAcrossAKeyFramePackage) {
  ASSERT_EQ(Feed(m_flv, FileHeader() + Meta()), 0);
  const std::string cut = Inter(300);
  platform::AdvanceTickForTest(100);
  ASSERT_EQ(Feed(m_flv, Key(600) + cut.substr(0, 7)), 1);  // key frame, then a cut header
  platform::AdvanceTickForTest(100);
  ASSERT_EQ(Feed(m_flv, cut.substr(7) + Audio(20)), 1);
  const std::string path = TempPath("carry.flv");
  ASSERT_EQ(m_flv.GetFLVHistoryClip(1000000, 1000300, path.c_str()), 1);
  EXPECT_EQ(ReadFile(path), HeaderOf(m_flv) + Key(600) + cut + Audio(20));

  // A clip whose last package ends inside a tag ends with the last whole tag instead.
  const std::string spanning = Inter(5000);
  platform::AdvanceTickForTest(100);
  ASSERT_EQ(Feed(m_flv, Inter(100) + spanning.substr(0, 50)), 1);
  platform::AdvanceTickForTest(100);
  ASSERT_EQ(Feed(m_flv, spanning.substr(50, 3000)), 1);
  ASSERT_EQ(m_flv.GetFLVHistoryClip(1000000, 1000500, path.c_str()), 1);
  EXPECT_EQ(ReadFile(path), HeaderOf(m_flv) + Key(600) + cut + Audio(20) + Inter(100));
  std::remove(path.c_str());
}

// ---- length-prefixed records ----------------------------------------------------------

TEST_F(StreamBufferTest, LengthPrefixedRecordBoundariesAreFoundAcrossEverySplit) {
  // The run's first record (the header) is not a starting point; the boundaries after it are.
  const std::string stream = Record("hello") + Record("") + Record(std::string(300, 'r')) + Record("abc");
  const std::vector<size_t> boundaries = {9, 13, 317};
  const std::string tail = Record("next");
  for (size_t split = 0; split <= stream.size(); ++split) {
    CPacketStreamDataBuffer buffer;
    buffer.SetSize(8192, 32);
    ASSERT_EQ(Feed(buffer, stream.substr(0, split)), 1);
    ASSERT_EQ(Feed(buffer, stream.substr(split)), 1);
    size_t expected = std::string::npos;
    for (size_t b : boundaries) {
      if (b >= split) {
        expected = b;
        break;
      }
    }
    int length = 0;
    char* key = buffer.GetKeyFrame(&length);
    if (expected == std::string::npos) {
      EXPECT_EQ(key, nullptr) << split;
    } else {
      ASSERT_NE(key, nullptr) << split;
      EXPECT_EQ(std::string(key, static_cast<size_t>(length)), stream.substr(expected)) << split;
      EXPECT_EQ(buffer.GetCurrentPackage()->keyFrame, key);
    }
    EXPECT_EQ(PackageDataOf(buffer), stream.substr(split));
    // In step at the end: the next package starts on a boundary.
    ASSERT_EQ(Feed(buffer, tail), 1);
    EXPECT_EQ(KeyFrameOf(buffer), tail) << split;
  }
}

TEST_F(StreamBufferTest, LengthFieldSplitOverThreePackagesAndHugeRecords) {
  CPacketStreamDataBuffer buffer;
  buffer.SetSize(8192, 32);
  ASSERT_EQ(Feed(buffer, Record("init")), 1);  // the run's first record: its header
  const std::string record = Record(std::string(70, 'z'));
  ASSERT_EQ(Feed(buffer, record.substr(0, 1)), 1);  // boundary at 0, one length byte
  EXPECT_EQ(KeyFrameOf(buffer), record.substr(0, 1));
  ASSERT_EQ(Feed(buffer, record.substr(1, 2)), 1);  // two more: no boundary here
  EXPECT_EQ(KeyFrameOf(buffer), "");
  ASSERT_EQ(Feed(buffer, record.substr(3) + Record("q")), 1);
  EXPECT_EQ(KeyFrameOf(buffer), Record("q"));

  // A length of 0xFFFFFFFF skips 4 GiB of later packages without overflowing.
  CPacketStreamDataBuffer huge;
  huge.SetSize(8192, 32);
  ASSERT_EQ(Feed(huge, std::string("\xFF\xFF\xFF\xFF", 4) + std::string(8000, 'h')), 1);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Feed(huge, std::string(8192, 'h')), 1);
    EXPECT_EQ(KeyFrameOf(huge), "");
  }
  huge.ResetParser();
  ASSERT_EQ(Feed(huge, Record("init") + Record("x")), 1);
  EXPECT_EQ(KeyFrameOf(huge), Record("x"));
}

// ---- templates ----------------------------------------------------------------------

TEST_F(StreamBufferTest, TemplatesAreTheFixedFlvBytesAndDecode) {
  const std::string header(reinterpret_cast<const char*>(kFlvStreamHeaderTemplate), kFlvStreamHeaderTemplateSize);
  const std::string start(reinterpret_cast<const char*>(kFlvAudioStartTemplate), kFlvAudioStartTemplateSize);
  EXPECT_EQ(header.substr(0, 13), FileHeader());
  EXPECT_EQ(header.substr(13, 4), std::string("\x12\x00\x00\xF4", 4));  // script tag, 244 bytes
  EXPECT_EQ(header.substr(24, 13), std::string("\x02\x00\x0AonMetaData", 13));
  EXPECT_EQ(header.substr(37, 5), std::string("\x08\x00\x00\x00\x07", 5));  // count says 7
  EXPECT_NE(header.find(std::string("\x00\x06stereo\x01\x01", 10)), std::string::npos);
  EXPECT_EQ(header.substr(265, 7), std::string("\x00\x00\x09\x00\x00\x00\xFF", 7));
  EXPECT_EQ(start.substr(0, 19), std::string("\x08\x00\x00\x04\0\0\0\0\0\0\0\xAF\x00\x12\x08\x00\x00\x00\x0F", 19));
  EXPECT_EQ(start.substr(19, 4), std::string("\x08\x00\x00\xC5", 4));
  EXPECT_EQ(start.substr(30, 2), "\xAF\x01");
  EXPECT_EQ(start.substr(227), std::string("\x00\x00\x00\xD0", 4));
  const std::string frame = start.substr(kFirstAacFrameOffset, kFirstAacFrameSize);
  EXPECT_NE(frame.find("libfaac 1.28"), std::string::npos);

  // Both templates together decode as one mono 44100 Hz AAC frame without errors.
  const std::string path = TempPath("templates.flv");
  std::ofstream(path, std::ios::binary) << header << start;
  std::string output;
  EXPECT_EQ(RunCommand("/usr/bin/ffmpeg -nostdin -v error -i " + path + " -f s16le -", &output), 0);
  EXPECT_EQ(output.size(), 2048u);  // 1024 samples of 16 bits, and no error text
  EXPECT_EQ(RunCommand("/usr/bin/ffprobe -v error -show_entries stream=codec_name,profile,sample_rate,channels -of csv=p=0 " +
                    path,
                &output),
            0);
  EXPECT_EQ(output, "aac,LC,44100,1\n");
  std::remove(path.c_str());
}

}  // namespace

TEST_F(StreamBufferTest, FirstRecordBecomesTheHeaderOnceWhole) {
  // The initialisation segment split over three packages: no header until it is whole.
  const std::string init = Record(std::string(700, 'i'));
  const std::string fragment = Record(std::string(300, 'f'));
  CPacketStreamDataBuffer buffer;
  buffer.SetSize(8192, 32);
  Feed(buffer, init.substr(0, 2));
  EXPECT_EQ(HeaderOf(buffer), "");
  Feed(buffer, init.substr(2, 400));
  EXPECT_EQ(HeaderOf(buffer), "");
  Feed(buffer, init.substr(402) + fragment.substr(0, 10));
  EXPECT_EQ(HeaderOf(buffer), init);
  Feed(buffer, fragment.substr(10) + Record("later"));
  EXPECT_EQ(HeaderOf(buffer), init);  // only the first record
  buffer.ResetParser();
  EXPECT_EQ(HeaderOf(buffer), "");
  Feed(buffer, fragment);
  EXPECT_EQ(HeaderOf(buffer), fragment);  // a new run's first record

  // A first record too large for the header area leaves the stream without one.
  CPacketStreamDataBuffer big;
  big.SetSize(8192, 32);
  const std::string large = Record(std::string(5000, 'L'));
  Feed(big, large.substr(0, 4000));
  Feed(big, large.substr(4000));
  EXPECT_EQ(HeaderOf(big), "");

  CPacketStreamDataBuffer empty;  // an empty first record: no header, and no hang
  empty.SetSize(8192, 32);
  Feed(empty, Record("") + Record("x"));
  EXPECT_EQ(HeaderOf(empty), "");
}
