#include "platform/capture/CaptureSelection.h"

#include <gtest/gtest.h>

namespace platform::capture {
namespace {

TEST(CaptureSelection, DefaultsAndAcceptedForms) {
  CaptureSelection s;
  std::string error;
  ASSERT_TRUE(ParseCaptureSelection(nullptr, &s, &error));
  EXPECT_EQ(s.kind, CaptureSourceKind::V4L2);
  ASSERT_TRUE(ParseCaptureSelection("", &s, &error));
  EXPECT_EQ(s.kind, CaptureSourceKind::V4L2);
  ASSERT_TRUE(ParseCaptureSelection("v4l2", &s, &error));
  EXPECT_EQ(s.kind, CaptureSourceKind::V4L2);

  ASSERT_TRUE(ParseCaptureSelection("test", &s, &error));
  EXPECT_EQ(s.kind, CaptureSourceKind::Test);
  EXPECT_EQ(s.test.motionSeconds, 20);
  EXPECT_EQ(s.test.holdSeconds, 3);
  EXPECT_EQ(s.test.channels, 1);
  EXPECT_EQ(s.test.fps, 10);
  EXPECT_TRUE(s.test.audio);
  EXPECT_EQ(s.test.failAfterFrames, 0);

  ASSERT_TRUE(ParseCaptureSelection("test:motion=8,hold=2,channels=10,fps=25,audio=0,failafter=7", &s, &error)) << error;
  EXPECT_EQ(s.test.motionSeconds, 8);
  EXPECT_EQ(s.test.holdSeconds, 2);
  EXPECT_EQ(s.test.channels, 10);
  EXPECT_EQ(s.test.fps, 25);
  EXPECT_FALSE(s.test.audio);
  EXPECT_EQ(s.test.failAfterFrames, 7);

  ASSERT_TRUE(ParseCaptureSelection("test:motion=0,hold=5", &s, &error)) << "no motion makes hold moot";
  EXPECT_EQ(s.test.motionSeconds, 0);

  ASSERT_TRUE(ParseCaptureSelection("file:/tmp/a b,c:d.mp4", &s, &error));
  EXPECT_EQ(s.kind, CaptureSourceKind::File);
  EXPECT_EQ(s.filePath, "/tmp/a b,c:d.mp4") << "the path is taken verbatim";
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
