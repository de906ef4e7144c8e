#pragma once
// Which capture source stands behind the drivers: the parsed form of VTCAM_CAPTURE (syntax
// in CaptureService.h). Parsing is pure: text in, selection or error text out.
//
// Who may include it: platform/capture and its tests. Any thread.
#include <string>

namespace platform::capture {

enum class CaptureSourceKind { V4L2, Test, File };

struct TestSceneParams {
  int motionSeconds = 20;  // a bright block enters every motionSeconds (0 = never)
  int holdSeconds = 3;     // and stays this long
  int channels = 1;        // drivers offered, 1..10
  int fps = 10;
  bool audio = true;
  int failAfterFrames = 0;  // 0 = never fails
};

struct CaptureSelection {
  CaptureSourceKind kind = CaptureSourceKind::V4L2;
  TestSceneParams test;
  std::string filePath;
};

// Parses the variable's text; null or empty selects V4L2. On a malformed text returns
// false, sets *error to a one-line reason and leaves *selection at the V4L2 default.
bool ParseCaptureSelection(const char* text, CaptureSelection* selection, std::string* error);

}  // namespace platform::capture
