#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "media/FLVStreamDataBuffer.h"
#include "media/PacketStreamDataBuffer.h"
#include "platform/Tick.h"
#include "tests/net/NetTestSupport.h"
#include "tests/support/FlvBytes.h"
#include "tests/support/TestFiles.h"

namespace {

using namespace flvbytes;
using nettest::LogCapture;

template <class Buffer = CPacketStreamDataBuffer>
std::unique_ptr<Buffer> Fresh() {
  auto buffer = std::make_unique<Buffer>();
  buffer->SetSize(8192, 32);
  return buffer;
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

TEST_F(StreamBufferTest, OldestPackageIsRecycledOnlyWhenOldEnoughAndUnreferencedAcrossTheTickWrap) {
  platform::FreezeTickForTest(0xFFFFF000u);
  Feed(m_flv, "aaaa");
  StreamPackage* first = m_flv.CurrentPackageOf();
  EXPECT_EQ(first->tick, 0xFFFFF000u);
  platform::AdvanceTickForTest(16000);  // 16000 ms old, past the wrap: kept
  Feed(m_flv, "bbbb");
  EXPECT_EQ(m_flv.PackageCount(), 2);
  platform::AdvanceTickForTest(1);  // 16001 ms, but a queued send points into it
  first->AddRef();
  Feed(m_flv, "cccc");
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

TEST_F(StreamBufferTest, HeaderWaitsForTwelveBytesAndAKeyFrameBegunEarlierIsCarriedInFront) {
  const std::string head = FileHeader() + Meta();
  const std::string key = Key(3000);
  EXPECT_EQ(Feed(m_flv, head.substr(0, 11)), 0);
  EXPECT_EQ(LogCapture::Count(Logged(), "Can not find FLV header, wait next package.[FLV"), 1);
  EXPECT_EQ(m_flv.ParserState(), 1);
  EXPECT_EQ(Feed(m_flv, head.substr(11) + key.substr(0, 5)), 0);
  EXPECT_EQ(m_flv.ParserState(), 3);
  EXPECT_EQ(Feed(m_flv, key.substr(5) + Inter(60)), 1);
  EXPECT_NE(Logged().find("Got whole FLV header/meta-data, size=" + std::to_string(head.size()) + ". "),
            std::string::npos);
  EXPECT_EQ(HeaderOf(m_flv), head);
  int length = 0;
  char* at = m_flv.GetKeyFrame(&length);
  EXPECT_EQ(at, m_flv.GetCurrentPackage()->data - 5);  // in the headroom
  EXPECT_EQ(m_flv.GetCurrentPackage()->keyFrame, at);
  EXPECT_EQ(KeyFrameOf(m_flv), key + Inter(60));
  EXPECT_EQ(PackageDataOf(m_flv), key + Inter(60));
}

TEST_F(StreamBufferTest, HostileHeadersAreRejectedOrWaitWithoutLeavingTheArea) {
  const std::string sig("FLV\x01\x05", 5);
  const std::pair<std::string, int> rows[] = {
      {sig + Be(0xFFFFFFF0u, 4) + Be(0, 4) + Meta(), -1},  // header size beyond the area
      {sig + Be(4093, 4) + Be(0, 4), -1},                  // just beyond
      {FileHeader() + std::string("\x12\xFF\xFF\xFF", 4) + std::string(200, 0), 0},  // metadata claiming 16 MB
      {FileHeader() + Key(600) + Meta(), 0},                                         // video before metadata
      {FileHeader() + Meta() + std::string("\x09\xFF\xFF\xFF\0\0\0\0\0\0\0\x17", 12), 1},  // key frame of 16 MB
  };
  for (const auto& [bytes, result] : rows) EXPECT_EQ(Feed(*Fresh<CFLVStreamDataBuffer>(), bytes), result) << bytes;
}

TEST_F(StreamBufferTest, TagsSpanningSeveralPackagesKeepTheirBoundaries) {
  const std::string big = Key(10000);
  ASSERT_EQ(Feed(m_flv, FileHeader() + Meta() + big.substr(0, 4000)), 1);
  EXPECT_EQ(KeyFrameOf(m_flv), big.substr(0, 4000));
  EXPECT_EQ(Feed(m_flv, big.substr(4000, 5000)), 1);  // middle: no boundary, no key frame
  EXPECT_EQ(KeyFrameOf(m_flv), "");
  EXPECT_EQ(PackageDataOf(m_flv), big.substr(4000, 5000));
  EXPECT_EQ(Feed(m_flv, big.substr(9000)), 1);
  EXPECT_EQ(Feed(m_flv, Key(20) + Inter(20)), 1);
  EXPECT_EQ(KeyFrameOf(m_flv), Key(20) + Inter(20));
  const std::string key = Key(90);
  EXPECT_EQ(Feed(m_flv, key.substr(0, 11)), 1);
  EXPECT_EQ(PackageDataOf(m_flv), "");
  EXPECT_EQ(Feed(m_flv, key.substr(11)), 1);
  EXPECT_EQ(PackageDataOf(m_flv), key);
  EXPECT_EQ(KeyFrameOf(m_flv), key);
}

TEST_F(StreamBufferTest, HistoryClipWindowIsShiftedByTheFirstKeyFrameDelay) {
  ASSERT_EQ(Feed(m_flv, FileHeader() + Meta() + Key(100)), 0);  // tick 1000000, all header
  std::vector<std::string> packages;
  for (int i = 1; i <= 9; ++i) {
    platform::FreezeTickForTest(1000000 + 100 * i);
    std::string bytes = (i == 3 || i == 7) ? Inter(40) + Key(200) + Inter(50) : Inter(60) + Audio(20);
    if (i == 4) bytes = Inter(30) + Key(30) + Inter(25);  // a key frame later in the window
    packages.push_back(bytes);
    ASSERT_EQ(Feed(m_flv, bytes), 1);
  }
  const std::string path = "/tmp/vt_stream_" + std::to_string(getpid()) + "_window.flv";
  ASSERT_EQ(m_flv.GetFLVHistoryClip(1000250, 1000500, path.c_str()), 1);
  const std::string expected = HeaderOf(m_flv) + packages[2].substr(Inter(40).size()) + packages[3] + packages[4];
  EXPECT_EQ(testfiles::ReadFile(path), expected);
  ASSERT_EQ(m_flv.GetFLVHistoryClip(1000800, 1001000, path.c_str()), 1);
  EXPECT_EQ(testfiles::ReadFile(path), HeaderOf(m_flv));
  std::remove(path.c_str());
}

TEST_F(StreamBufferTest, LengthPrefixedRecordBoundariesAreFoundAcrossEverySplit) {
  const std::string stream = Record("hello") + Record("") + Record(std::string(300, 'r')) + Record("abc");
  const std::vector<size_t> boundaries = {9, 13, 317};
  for (size_t split = 0; split <= stream.size(); ++split) {
    auto buffer = Fresh();
    ASSERT_EQ(Feed(*buffer, stream.substr(0, split)), 1);
    ASSERT_EQ(Feed(*buffer, stream.substr(split)), 1);
    // The key frame is the first record that begins in the second package.
    const auto next = std::lower_bound(boundaries.begin(), boundaries.end(), split);
    EXPECT_EQ(KeyFrameOf(*buffer), next == boundaries.end() ? "" : stream.substr(*next)) << split;
    int length = 0;
    EXPECT_EQ(buffer->GetCurrentPackage()->keyFrame, buffer->GetKeyFrame(&length));
    EXPECT_EQ(PackageDataOf(*buffer), stream.substr(split));
    ASSERT_EQ(Feed(*buffer, Record("next")), 1);
    EXPECT_EQ(KeyFrameOf(*buffer), Record("next")) << split;
  }
}

TEST_F(StreamBufferTest, FirstRecordIsTheHeaderAndLengthFieldsMaySpanThreePackages) {
  auto buffer = Fresh();
  const std::string init = Record(std::string(700, 'i'));
  const std::string record = Record(std::string(70, 'z'));
  Feed(*buffer, init.substr(0, 2));
  Feed(*buffer, init.substr(2, 400));
  EXPECT_EQ(HeaderOf(*buffer), "");
  ASSERT_EQ(Feed(*buffer, init.substr(402) + record.substr(0, 1)), 1);  // one length byte
  EXPECT_EQ(HeaderOf(*buffer), init);
  EXPECT_EQ(KeyFrameOf(*buffer), record.substr(0, 1));
  ASSERT_EQ(Feed(*buffer, record.substr(1, 2)), 1);  // two more: no boundary here
  EXPECT_EQ(KeyFrameOf(*buffer), "");
  ASSERT_EQ(Feed(*buffer, record.substr(3) + Record("q")), 1);
  EXPECT_EQ(KeyFrameOf(*buffer), Record("q"));
  EXPECT_EQ(HeaderOf(*buffer), init);  // only the first record
  buffer->ResetParser();
  EXPECT_EQ(HeaderOf(*buffer), "");
  Feed(*buffer, record);
  EXPECT_EQ(HeaderOf(*buffer), record);  // a new run's first record

  auto huge = Fresh();  // a first record too big for the header area: none, and no boundaries inside
  ASSERT_EQ(Feed(*huge, std::string("\xFF\xFF\xFF\xFF", 4) + std::string(8000, 'h')), 1);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Feed(*huge, std::string(8192, 'h')), 1);
    EXPECT_EQ(KeyFrameOf(*huge), "");
  }
  EXPECT_EQ(HeaderOf(*huge), "");
  auto empty = Fresh();  // an empty first record: no header, and no hang
  Feed(*empty, Record("") + Record("x"));
  EXPECT_EQ(HeaderOf(*empty), "");
}

}  // namespace
