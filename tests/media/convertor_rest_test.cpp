#include <gtest/gtest.h>

#include <string>

#include "media/FileDispatcher.h"
#include "media/RawFramePool.h"
#include "platform/Tick.h"
#include "tests/media/convertor_support.h"

namespace {

using nettest::WaitUntil;

class ConvertorRestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nettest::LogCapture::Instance();
    m_port = convertortest::ArmConvertorListener();
    ASSERT_NE(m_port, 0);
    platform::FreezeTickForTest(500000);
  }
  void TearDown() override {
    platform::ResetTickForTest();
    if (m_fd >= 0) close(m_fd);
  }
  // One frame of letter c every 100 ms, as the capture thread gives them.
  void Feed(CStreamConvertor& convertor, char c) {
    platform::AdvanceTickForTest(100);
    const std::string frame(kFrame, c);
    EXPECT_EQ(convertor.ConvertSourceVideoData(frame.data(), kFrame), 1);
  }
  // What reached the converter in the next 200 ms, one letter per frame.
  std::string Received() {
    char buffer[kFrame];
    for (int i = 0; i < 20; ++i, usleep(10000))
      for (ssize_t n; (n = recv(m_fd, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0;)
        m_bytes.append(buffer, static_cast<size_t>(n));
    std::string letters;
    for (; m_bytes.size() >= kFrame; m_bytes.erase(0, kFrame)) letters += m_bytes[0];
    return letters;
  }

  static constexpr int kFrame = 64;
  uint16_t m_port = 0;
  int m_fd = -1;
  std::string m_bytes;
};

TEST_F(ConvertorRestTest, RestsAtAKeyFrameWithoutViewersAndWakesForOne) {
  convertortest::CKeyedConvertor convertor(0x500, 0x4444);
  convertor.SetRestsUnwatched(true);
  convertor.Open();
  m_fd = convertortest::Greet(m_port, 0x4444);
  ASSERT_TRUE(WaitUntil([&] { return convertor.VideoSession() != nullptr; }));

  // The first frame (a key frame) goes out, then the convertor rests.
  Feed(convertor, 'a');
  Feed(convertor, 'b');
  Feed(convertor, 'c');
  EXPECT_EQ(Received(), "a");
  EXPECT_TRUE(convertor.IsResting());

  // Kept alive with one whole second of frames, which ends on a key frame again.
  platform::AdvanceTickForTest(CStreamConvertor::kRestKeepAliveMs);
  Feed(convertor, 'd');
  Feed(convertor, 'e');
  EXPECT_EQ(Received(), std::string(10, 'd'));

  // A viewer: every frame flows again at once, the held-back time is not repeated.
  CFileDispatcher viewer;
  convertor.AddViewer(&viewer);
  for (char c : std::string("fghi")) Feed(convertor, c);
  EXPECT_EQ(Received(), "fghi");
  EXPECT_FALSE(convertor.IsResting());

  // Gone in the middle of a second: frames go on up to the next key frame (the 21st).
  convertor.RemoveViewer(&viewer);
  for (char c : std::string("jklmnopqrs")) Feed(convertor, c);
  EXPECT_EQ(Received(), "jklmno");
  EXPECT_TRUE(convertor.IsResting());
}

TEST_F(ConvertorRestTest, ASharedFrameIsSentByReferenceAndPinnedUntilSent) {
  convertortest::CKeyedConvertor convertor(0x400, 0x5555);
  convertor.Open();
  m_fd = convertortest::Greet(m_port, 0x5555);
  ASSERT_TRUE(WaitUntil([&] { return convertor.VideoSession() != nullptr; }));

  CRawFramePool pool(2);
  RawFrame* first = pool.Copy(std::string(kFrame, 'x').data(), kFrame);
  ASSERT_NE(first, nullptr);
  first->AddRef();  // held like the channel's latest frame
  EXPECT_EQ(convertor.ConvertSourceVideoFrame(first), 1);
  EXPECT_EQ(Received(), "x");
  EXPECT_TRUE(WaitUntil([&] { return first->refCount.load() == 1; }));  // only the holder's pin is left

  RawFrame* second = pool.Take(kFrame);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  second->AddRef();
  EXPECT_EQ(pool.Take(kFrame), nullptr);  // both pinned, the pool is full
  first->Release();
  EXPECT_EQ(pool.Take(kFrame), first);    // the unpinned one is handed out again
  EXPECT_EQ(pool.Take(0), nullptr);
  second->Release();
  EXPECT_EQ(convertor.ConvertSourceVideoFrame(nullptr), 0);
}

}  // namespace
