#include "platform/capture/CaptureService.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/capture/TestScene.h"

namespace platform {
namespace {

using namespace std::chrono;

struct Recorder {
  std::mutex lock;
  std::set<std::thread::id> threads;
  std::set<std::string> threadNames;
  std::vector<uint32_t> frameIndexes;
  std::vector<uint32_t> frameTimes;
  std::vector<int> statusIds;
  std::atomic<int> frames{0};
  std::atomic<int> blocks{0};
  std::atomic<int> badFrames{0};
  std::atomic<int> badBlocks{0};
  std::atomic<CapHandle> stopFromCallback{0};
  std::atomic<int> stopFromCallbackResult{-1};
};
Recorder* g_rec = nullptr;

void NoteThread() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  std::lock_guard<std::mutex> guard(g_rec->lock);
  g_rec->threads.insert(std::this_thread::get_id());
  g_rec->threadNames.insert(name);
}

int OnVideo(CapHandle handle, VIDEOHDR* hdr) {
  NoteThread();
  if (hdr->lpData == nullptr || hdr->dwBufferLength != 640 * 480 * 2 || hdr->dwBytesUsed != hdr->dwBufferLength) {
    ++g_rec->badFrames;
  } else {
    std::lock_guard<std::mutex> guard(g_rec->lock);
    g_rec->frameIndexes.push_back(capture::TestFrameIndexOf(hdr->lpData));
    g_rec->frameTimes.push_back(hdr->dwTimeCaptured);
  }
  ++g_rec->frames;
  if (g_rec->stopFromCallback.load() == handle && g_rec->frames.load() == 3) {
    g_rec->stopFromCallbackResult = CapCaptureStop(handle) ? 1 : 0;
  }
  return 1;
}

int OnWave(CapHandle, WAVEHDR* block) {
  NoteThread();
  if (block->lpData == nullptr || (block->dwBufferLength != 1102 && block->dwBufferLength != 1103)) ++g_rec->badBlocks;
  ++g_rec->blocks;
  return 1;
}

int OnStatus(CapHandle, int id, const char* text) {
  std::lock_guard<std::mutex> guard(g_rec->lock);
  g_rec->statusIds.push_back(id);
  EXPECT_NE(text, nullptr);
  return 1;
}

bool WaitFor(const std::atomic<int>& counter, int atLeast, milliseconds limit = milliseconds(5000)) {
  auto end = steady_clock::now() + limit;
  while (counter.load() < atLeast) {
    if (steady_clock::now() > end) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

class CaptureServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_rec = &m_rec;
    Select("test:channels=2");
  }
  void TearDown() override {
    for (CapHandle h : m_handles) CapDestroyWindow(h);
    unsetenv("VTCAM_CAPTURE");
    g_rec = nullptr;
  }
  static void Select(const char* text) { setenv("VTCAM_CAPTURE", text, 1); }
  CapHandle Connected(int index = 0) {
    CapHandle h = CapCreateCaptureWindow(0, 0, 640, 480, 100 + index);
    m_handles.push_back(h);
    EXPECT_NE(h, 0);
    EXPECT_TRUE(CapDriverConnect(h, index));
    return h;
  }
  CapHandle Streaming(int index = 0) {
    CapHandle h = Connected(index);
    EXPECT_TRUE(CapSetCallbackOnStatus(h, OnStatus));
    EXPECT_TRUE(CapSetCallbackOnVideoStream(h, OnVideo));
    EXPECT_TRUE(CapSetCallbackOnWaveStream(h, OnWave));
    EXPECT_TRUE(CapCaptureSequenceNoFile(h));
    return h;
  }

  Recorder m_rec;
  std::vector<CapHandle> m_handles;
};

TEST_F(CaptureServiceTest, ConnectStatusAudioFormatAndSequenceSetup) {
  CapHandle h = Connected();
  EXPECT_FALSE(CapDriverConnect(h, 1)) << "one driver per window";
  CapHandle other = CapCreateCaptureWindow(0, 0, 640, 480, 105);
  m_handles.push_back(other);
  EXPECT_NE(other, h);
  EXPECT_FALSE(CapDriverConnect(other, 2)) << "only two test channels";

  CAPSTATUS status;
  std::memset(&status, 0xAB, sizeof status);
  ASSERT_TRUE(CapGetStatus(h, &status, sizeof status));
  EXPECT_EQ(status.uiImageWidth, 640u);
  EXPECT_EQ(status.uiImageHeight, 480u);
  EXPECT_EQ(status.fAudioHardware, 1);
  EXPECT_EQ(status.fCapturingNow, 0);

  WAVEFORMATEX wf{};
  ASSERT_EQ(CapGetAudioFormat(h, &wf, sizeof wf), 18u);
  EXPECT_EQ(wf.wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(wf.nChannels, 1);
  EXPECT_EQ(wf.nSamplesPerSec, 11025u);
  EXPECT_EQ(wf.wBitsPerSample, 8);
  EXPECT_TRUE(CapSetAudioFormat(h, &wf, 18)) << "what the window manager sends back";
  wf.nChannels = 2;
  EXPECT_FALSE(CapSetAudioFormat(h, &wf, 18));
  EXPECT_FALSE(CapSetAudioFormat(h, &wf, 10)) << "too short to be a format";
  ASSERT_EQ(CapGetAudioFormat(h, &wf, sizeof wf), 18u);
  EXPECT_EQ(wf.nChannels, 1) << "a refused format changes nothing";

  CAPTUREPARMS parms;
  std::memset(&parms, 0xCD, sizeof parms);
  ASSERT_TRUE(CapGetSequenceSetup(h, &parms, sizeof parms));
  EXPECT_EQ(parms.dwRequestMicroSecPerFrame, 100000u);
  EXPECT_EQ(parms.fCaptureAudio, 1);
  parms.fYield = 1;
  parms.AVStreamMaster = 7;
  ASSERT_TRUE(CapSetSequenceSetup(h, &parms, sizeof parms));
  CAPTUREPARMS back{};
  ASSERT_TRUE(CapGetSequenceSetup(h, &back, sizeof back));
  EXPECT_EQ(std::memcmp(&back, &parms, sizeof parms), 0);
}

TEST_F(CaptureServiceTest, StreamsOnItsOwnNamedThreadAtTheSceneRate) {
  CapHandle h = Streaming();
  auto start = steady_clock::now();
  EXPECT_FALSE(CapCaptureSequenceNoFile(h)) << "already capturing";
  ASSERT_TRUE(WaitFor(m_rec.frames, 10));
  auto elapsed = steady_clock::now() - start;
  ASSERT_TRUE(WaitFor(m_rec.blocks, 3));
  CAPSTATUS status{};
  ASSERT_TRUE(CapGetStatus(h, &status, sizeof status));
  EXPECT_EQ(status.fCapturingNow, 1);
  EXPECT_GE(status.dwCurrentVideoFrame, 10u);
  ASSERT_TRUE(CapCaptureStop(h));

  EXPECT_GE(elapsed, milliseconds(850));
  EXPECT_LT(elapsed, milliseconds(5000));
  std::lock_guard<std::mutex> guard(m_rec.lock);
  EXPECT_EQ(m_rec.threads.count(std::this_thread::get_id()), 0u);
  EXPECT_EQ(m_rec.threads.size(), 1u);
  EXPECT_EQ(m_rec.threadNames, std::set<std::string>{"tCapture0"});
  ASSERT_GE(m_rec.frameIndexes.size(), 10u);
  EXPECT_EQ(m_rec.frameIndexes[0], 0u);
  for (size_t i = 1; i < m_rec.frameIndexes.size(); ++i) {
    EXPECT_GT(m_rec.frameIndexes[i], m_rec.frameIndexes[i - 1]);
    EXPECT_EQ(m_rec.frameTimes[i], m_rec.frameIndexes[i] * 100u) << "time stamps follow the scene clock";
  }
  EXPECT_EQ(m_rec.badFrames.load(), 0);
  EXPECT_EQ(m_rec.badBlocks.load(), 0);
  EXPECT_EQ(m_rec.statusIds, (std::vector<int>{IDS_CAP_BEGIN, IDS_CAP_END}));
}

TEST_F(CaptureServiceTest, StopReallyStopsAndCaptureCanRestart) {
  CapHandle h = Streaming();
  ASSERT_TRUE(WaitFor(m_rec.frames, 2));
  ASSERT_TRUE(CapCaptureStop(h));
  int frames = m_rec.frames.load();
  int blocks = m_rec.blocks.load();
  std::this_thread::sleep_for(milliseconds(250));
  EXPECT_EQ(m_rec.frames.load(), frames);
  EXPECT_EQ(m_rec.blocks.load(), blocks);
  EXPECT_FALSE(CapCaptureStop(h)) << "nothing left to stop";
  CAPSTATUS status{};
  ASSERT_TRUE(CapGetStatus(h, &status, sizeof status));
  EXPECT_EQ(status.fCapturingNow, 0);

  ASSERT_TRUE(CapCaptureSequenceNoFile(h));
  EXPECT_TRUE(WaitFor(m_rec.frames, frames + 2));
  ASSERT_TRUE(CapDriverDisconnect(h));
  frames = m_rec.frames.load();
  std::this_thread::sleep_for(milliseconds(250));
  EXPECT_EQ(m_rec.frames.load(), frames);
  EXPECT_FALSE(CapGetStatus(h, &status, sizeof status)) << "no driver any more";
}

TEST_F(CaptureServiceTest, DestroyedAndUnconnectedHandlesAreIgnored) {
  CapHandle fresh = CapCreateCaptureWindow(0, 0, 640, 480, 100);
  m_handles.push_back(fresh);
  CAPSTATUS status{};
  EXPECT_FALSE(CapCaptureSequenceNoFile(fresh));
  EXPECT_FALSE(CapGetStatus(fresh, &status, sizeof status));
  EXPECT_TRUE(CapSetCallbackOnVideoStream(fresh, OnVideo)) << "callbacks may be set before connecting";

  CapHandle h = Streaming();
  ASSERT_TRUE(WaitFor(m_rec.frames, 1));
  CapDestroyWindow(h);
  int frames = m_rec.frames.load();
  std::this_thread::sleep_for(milliseconds(250));
  EXPECT_EQ(m_rec.frames.load(), frames) << "destroying stops the capture";
  EXPECT_FALSE(CapDriverConnect(h, 0));
  EXPECT_FALSE(CapGetStatus(h, &status, sizeof status));
  EXPECT_FALSE(CapSetCallbackOnVideoStream(h, OnVideo));
  EXPECT_FALSE(CapCaptureSequenceNoFile(h));
  CapDestroyWindow(h);  // twice is harmless
  EXPECT_NE(CapCreateCaptureWindow(0, 0, 1, 1, 1), h) << "handles are not reused";
}

TEST_F(CaptureServiceTest, AudioFollowsTheCaptureAudioFlag) {
  CapHandle h = Connected();
  CAPTUREPARMS parms{};
  ASSERT_TRUE(CapGetSequenceSetup(h, &parms, sizeof parms));
  parms.fCaptureAudio = 0;
  ASSERT_TRUE(CapSetSequenceSetup(h, &parms, sizeof parms));
  CapSetCallbackOnVideoStream(h, OnVideo);
  CapSetCallbackOnWaveStream(h, OnWave);
  ASSERT_TRUE(CapCaptureSequenceNoFile(h));
  ASSERT_TRUE(WaitFor(m_rec.frames, 4));
  CapCaptureStop(h);
  EXPECT_EQ(m_rec.blocks.load(), 0);

  Select("test:audio=0");
  CapHandle silent = Connected();
  CAPSTATUS status{};
  ASSERT_TRUE(CapGetStatus(silent, &status, sizeof status));
  EXPECT_EQ(status.fAudioHardware, 0);
  EXPECT_EQ(CapGetAudioFormat(silent, nullptr, 0), 0u) << "no audio, no format";
}

TEST_F(CaptureServiceTest, FailingSourceEndsTheRunCleanly) {
  Select("test:failafter=5");
  CapHandle h = Streaming();
  ASSERT_TRUE(WaitFor(m_rec.frames, 5));
  CAPSTATUS status{};
  auto end = steady_clock::now() + seconds(5);
  do {
    ASSERT_TRUE(CapGetStatus(h, &status, sizeof status));
  } while (status.fCapturingNow != 0 && steady_clock::now() < end);
  EXPECT_EQ(status.fCapturingNow, 0);
  EXPECT_EQ(m_rec.frames.load(), 5);
  EXPECT_FALSE(CapCaptureStop(h)) << "the run had already ended";
  {
    std::lock_guard<std::mutex> guard(m_rec.lock);
    EXPECT_EQ(m_rec.statusIds, (std::vector<int>{IDS_CAP_BEGIN, IDS_CAP_END}));
  }
  ASSERT_TRUE(CapCaptureSequenceNoFile(h));
  EXPECT_TRUE(WaitFor(m_rec.frames, 10));
  EXPECT_TRUE(CapDriverDisconnect(h));
}

TEST_F(CaptureServiceTest, StopFromInsideACallbackDoesNotDeadlock) {
  CapHandle h = Connected();
  m_rec.stopFromCallback = h;
  CapSetCallbackOnVideoStream(h, OnVideo);
  ASSERT_TRUE(CapCaptureSequenceNoFile(h));
  ASSERT_TRUE(WaitFor(m_rec.frames, 3));
  std::this_thread::sleep_for(milliseconds(250));
  EXPECT_EQ(m_rec.stopFromCallbackResult.load(), 1);
  EXPECT_EQ(m_rec.frames.load(), 3);
  EXPECT_TRUE(CapDriverDisconnect(h));
}

}  // namespace
}  // namespace platform
