#include "platform/capture/CaptureSelection.h"

#include <gtest/gtest.h>

namespace platform::capture {
namespace {

TEST(CaptureSelection, AcceptedForms) {
  using K = CaptureSourceKind;
  const struct {
    const char* text;
    K kind;
    int motion, hold, channels, fps, audio, failAfter;
    const char* path;
  } rows[] = {
      {nullptr, K::V4L2, 20, 3, 1, 10, 1, 0, ""},
      {"v4l2", K::V4L2, 20, 3, 1, 10, 1, 0, ""},
      {"test", K::Test, 20, 3, 1, 10, 1, 0, ""},
      {"test:motion=8,hold=2,channels=10,fps=60,audio=0,failafter=7", K::Test, 8, 2, 10, 60, 0, 7, ""},
      {"test:motion=0,hold=5", K::Test, 0, 5, 1, 10, 1, 0, ""},  // no motion makes hold moot
      {"file:/tmp/a b,c:d.mp4", K::File, 20, 3, 1, 10, 1, 0, "/tmp/a b,c:d.mp4"},  // verbatim
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text ? r.text : "(null)");
    CaptureSelection s;
    std::string error;
    ASSERT_TRUE(ParseCaptureSelection(r.text, &s, &error)) << error;
    EXPECT_EQ(s.kind, r.kind);
    const TestSceneParams& t = s.test;
    EXPECT_EQ((std::vector<int>{t.motionSeconds, t.holdSeconds, t.channels, t.fps, t.audio, t.failAfterFrames}),
              (std::vector<int>{r.motion, r.hold, r.channels, r.fps, r.audio, r.failAfter}));
    EXPECT_EQ(s.filePath, r.path);
  }
}

TEST(CaptureSelection, RejectedFormsLeaveTheDefault) {
  const char* bad[] = {
      "usb",               "V4L2",           "v4l2:/dev/video3", "test:motion",      "test:motion=",
      "test:motion=-1",    "test:motion=x",  "test:speed=3",     "test:channels=0",  "test:channels=11",
      "test:fps=0",        "test:fps=61",    "test:audio=2",     "test:motion=3,hold=3",
      "test:hold=20",      "file:",          "file",             "test:fps=99999999999",
  };
  for (const char* text : bad) {
    CaptureSelection s;
    s.kind = CaptureSourceKind::File;
    std::string error;
    EXPECT_FALSE(ParseCaptureSelection(text, &s, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
    EXPECT_EQ(s.kind, CaptureSourceKind::V4L2) << text;
  }
}

}  // namespace
}  // namespace platform::capture
