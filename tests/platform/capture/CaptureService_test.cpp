#include "platform/capture/CaptureService.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/capture/TestScene.h"
#include "tests/support/LoopbackPeers.h"

namespace platform {
namespace {

using namespace std::chrono;

struct Recorder {
  std::mutex lock;
  std::set<std::string> threadNames;
  std::vector<uint32_t> frameIndexes;
  std::vector<uint32_t> frameTimes;
  std::vector<int> statusIds;
  std::atomic<int> frames{0};
  std::atomic<int> blocks{0};
  std::atomic<int> badSamples{0};
  std::atomic<CapHandle> stopFromCallback{0};
  std::atomic<int> stopFromCallbackResult{-1};
};
Recorder* g_rec = nullptr;

void NoteThread() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  std::lock_guard<std::mutex> guard(g_rec->lock);
  g_rec->threadNames.insert(name);
}

int OnVideo(CapHandle handle, VIDEOHDR* hdr) {
  NoteThread();
  if (hdr->lpData == nullptr || hdr->dwBufferLength != 640 * 480 * 2 || hdr->dwBytesUsed != hdr->dwBufferLength) {
    ++g_rec->badSamples;
  } else {
    std::lock_guard<std::mutex> guard(g_rec->lock);
    g_rec->frameIndexes.push_back(capture::TestFrameIndexOf(hdr->lpData));
    g_rec->frameTimes.push_back(hdr->dwTimeCaptured);
  }
  if (++g_rec->frames == 8 && g_rec->stopFromCallback.load() == handle)
    g_rec->stopFromCallbackResult = CapCaptureStop(handle) ? 1 : 0;
  return 1;
}

int OnWave(CapHandle, WAVEHDR* block) {
  NoteThread();
  if (block->lpData == nullptr || (block->dwBufferLength != 1102 && block->dwBufferLength != 1103)) ++g_rec->badSamples;
  ++g_rec->blocks;
  return 1;
}

int OnStatus(CapHandle, int id, const char* text) {
  std::lock_guard<std::mutex> guard(g_rec->lock);
  g_rec->statusIds.push_back(text != nullptr ? id : -1);
  return 1;
}

bool WaitFor(const std::atomic<int>& counter, int atLeast) {
  return nettest::WaitUntil([&] { return counter.load() >= atLeast; }, 5000);
}

// Tells whether the callbacks stay silent for a while.
bool StaysQuiet(const Recorder& rec) {
  const int frames = rec.frames.load(), blocks = rec.blocks.load();
  std::this_thread::sleep_for(milliseconds(250));
  return rec.frames.load() == frames && rec.blocks.load() == blocks;
}

class CaptureServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_rec = &m_rec;
    setenv("VTCAM_CAPTURE", "test:channels=2", 1);
  }
  void TearDown() override {
    for (CapHandle h : m_handles) CapDestroyWindow(h);
    unsetenv("VTCAM_CAPTURE");
    g_rec = nullptr;
  }
  CapHandle Window() {
    m_handles.push_back(CapCreateCaptureWindow(0, 0, 640, 480, 100));
    EXPECT_NE(m_handles.back(), 0);
    return m_handles.back();
  }
  CapHandle Connected() {
    CapHandle h = Window();
    EXPECT_TRUE(CapDriverConnect(h, 0));
    return h;
  }
  CapHandle Streaming(bool audio = true) {
    CapHandle h = Connected();
    CAPTUREPARMS parms{};
    EXPECT_TRUE(CapGetSequenceSetup(h, &parms, sizeof parms));
    EXPECT_EQ(parms.dwRequestMicroSecPerFrame, 100000u);
    parms.fCaptureAudio = audio;
    EXPECT_TRUE(CapSetSequenceSetup(h, &parms, sizeof parms));
    EXPECT_TRUE(CapSetCallbackOnStatus(h, OnStatus));
    EXPECT_TRUE(CapSetCallbackOnVideoStream(h, OnVideo));
    EXPECT_TRUE(CapSetCallbackOnWaveStream(h, OnWave));
    EXPECT_TRUE(CapCaptureSequenceNoFile(h));
    return h;
  }

  Recorder m_rec;
  std::vector<CapHandle> m_handles;
};

TEST_F(CaptureServiceTest, ConnectAndAudioFormat) {
  CapHandle fresh = Window();
  CAPSTATUS status{};
  EXPECT_FALSE(CapCaptureSequenceNoFile(fresh)) << "no driver yet";
  EXPECT_FALSE(CapGetStatus(fresh, &status, sizeof status));
  EXPECT_TRUE(CapSetCallbackOnVideoStream(fresh, OnVideo)) << "callbacks may be set before connecting";
  EXPECT_FALSE(CapDriverConnect(fresh, 2)) << "only two test channels";

  CapHandle h = Connected();
  EXPECT_FALSE(CapDriverConnect(h, 1)) << "one driver per window";
  ASSERT_TRUE(CapGetStatus(h, &status, sizeof status));
  EXPECT_EQ(status.fAudioHardware, 1);
  WAVEFORMATEX wf{};
  ASSERT_EQ(CapGetAudioFormat(h, &wf, sizeof wf), 18u);
  EXPECT_EQ(wf.nSamplesPerSec, 11025u);
  EXPECT_TRUE(CapSetAudioFormat(h, &wf, 18)) << "what the window manager sends back";
  wf.nChannels = 2;
  EXPECT_FALSE(CapSetAudioFormat(h, &wf, 18));
  EXPECT_FALSE(CapSetAudioFormat(h, &wf, 10)) << "too short to be a format";
  ASSERT_EQ(CapGetAudioFormat(h, &wf, sizeof wf), 18u);
  EXPECT_EQ(wf.nChannels, 1) << "a refused format changes nothing";

  setenv("VTCAM_CAPTURE", "test:audio=0", 1);
  ASSERT_TRUE(CapGetStatus(Connected(), &status, sizeof status));
  EXPECT_EQ(status.fAudioHardware, 0);
  EXPECT_EQ(CapGetAudioFormat(m_handles.back(), nullptr, 0), 0u) << "no audio, no format";
}

TEST_F(CaptureServiceTest, StreamsOnItsOwnNamedThreadAtTheSceneRate) {
  const auto start = steady_clock::now();
  CapHandle h = Streaming();
  EXPECT_FALSE(CapCaptureSequenceNoFile(h)) << "already capturing";
  ASSERT_TRUE(WaitFor(m_rec.frames, 10));
  EXPECT_GE(steady_clock::now() - start, milliseconds(850));
  ASSERT_TRUE(WaitFor(m_rec.blocks, 3));
  CAPSTATUS status{};
  ASSERT_TRUE(CapGetStatus(h, &status, sizeof status));
  EXPECT_EQ(status.fCapturingNow, 1);
  EXPECT_GE(status.dwCurrentVideoFrame, 10u);
  ASSERT_TRUE(CapCaptureStop(h));
  std::lock_guard<std::mutex> guard(m_rec.lock);
  EXPECT_EQ(m_rec.threadNames, std::set<std::string>{"tCapture0"});
  EXPECT_EQ(m_rec.frameIndexes.at(0), 0u);
  for (size_t i = 1; i < m_rec.frameIndexes.size(); ++i) {
    EXPECT_GT(m_rec.frameIndexes[i], m_rec.frameIndexes[i - 1]);
    EXPECT_EQ(m_rec.frameTimes[i], m_rec.frameIndexes[i] * 100u) << "time stamps follow the scene clock";
  }
  EXPECT_EQ(m_rec.badSamples.load(), 0);
  EXPECT_EQ(m_rec.statusIds, (std::vector<int>{IDS_CAP_BEGIN, IDS_CAP_END}));
}

TEST_F(CaptureServiceTest, StopDisconnectAndDestroyEachEndTheRun) {
  const std::function<bool(CapHandle)> ends[] = {
      CapCaptureStop, CapDriverDisconnect, [](CapHandle h) { return CapDestroyWindow(h), true; }};
  for (size_t i = 0; i < std::size(ends); ++i) {
    SCOPED_TRACE(i);
    CapHandle h = Streaming();
    ASSERT_TRUE(WaitFor(m_rec.frames, m_rec.frames.load() + 2));
    ASSERT_TRUE(ends[i](h));
    EXPECT_TRUE(StaysQuiet(m_rec));
    EXPECT_FALSE(CapCaptureStop(h)) << "nothing left to stop";
    CAPSTATUS status{};
    EXPECT_EQ(CapGetStatus(h, &status, sizeof status), i == 0);
    EXPECT_EQ(status.fCapturingNow, 0);
    CapDestroyWindow(h);
  }
  const CapHandle dead = m_handles.back();
  EXPECT_FALSE(CapDriverConnect(dead, 0));
  EXPECT_FALSE(CapSetCallbackOnVideoStream(dead, OnVideo));
  EXPECT_GT(Window(), dead) << "handles are not reused";
}

// A failing source ends the run cleanly; the restarted run is stopped from inside its own
// callback. With audio turned off in the setup no block arrives in either run.
TEST_F(CaptureServiceTest, FailingSourceEndsTheRunAndARestartStopsFromItsCallback) {
  setenv("VTCAM_CAPTURE", "test:failafter=5", 1);
  CapHandle h = Streaming(false);
  ASSERT_TRUE(WaitFor(m_rec.frames, 5));
  CAPSTATUS status{};
  ASSERT_TRUE(nettest::WaitUntil([&] { return CapGetStatus(h, &status, sizeof status) && status.fCapturingNow == 0; }));
  EXPECT_EQ(m_rec.frames.load(), 5);
  EXPECT_FALSE(CapCaptureStop(h)) << "the run had already ended";
  EXPECT_EQ(m_rec.statusIds, (std::vector<int>{IDS_CAP_BEGIN, IDS_CAP_END}));  // no writer left

  m_rec.stopFromCallback = h;  // at the 8th frame, the restarted run's 3rd
  ASSERT_TRUE(CapCaptureSequenceNoFile(h));
  ASSERT_TRUE(WaitFor(m_rec.frames, 8));
  EXPECT_TRUE(StaysQuiet(m_rec));
  EXPECT_EQ(m_rec.stopFromCallbackResult.load(), 1);
  EXPECT_EQ(m_rec.frames.load(), 8);
  EXPECT_EQ(m_rec.blocks.load(), 0);
}

}  // namespace
}  // namespace platform
