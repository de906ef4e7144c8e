#include "platform/capture/CaptureSelection.h"

#include <string_view>

namespace platform::capture {
namespace {

bool ParseInt(std::string_view text, int low, int high, int* value) {
  if (text.empty() || text.size() > 9) return false;
  int result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
  }
  if (result < low || result > high) return false;
  *value = result;
  return true;
}

bool ParseTestOptions(std::string_view options, TestSceneParams* params, std::string* error) {
  while (!options.empty()) {
    size_t comma = options.find(',');
    std::string_view item = options.substr(0, comma);
    options = comma == std::string_view::npos ? std::string_view() : options.substr(comma + 1);
    if (item.empty()) continue;
    size_t eq = item.find('=');
    if (eq == std::string_view::npos) {
      *error = "test option without value: " + std::string(item);
      return false;
    }
    std::string_view key = item.substr(0, eq);
    std::string_view value = item.substr(eq + 1);
    bool ok = false;
    int audio = 0;
    if (key == "motion") {
      ok = ParseInt(value, 0, 3600, &params->motionSeconds);
    } else if (key == "hold") {
      ok = ParseInt(value, 1, 3600, &params->holdSeconds);
    } else if (key == "channels") {
      ok = ParseInt(value, 1, 10, &params->channels);
    } else if (key == "fps") {
      ok = ParseInt(value, 1, 60, &params->fps);
    } else if (key == "audio") {
      ok = ParseInt(value, 0, 1, &audio);
      params->audio = audio != 0;
    } else if (key == "failafter") {
      ok = ParseInt(value, 0, 100000000, &params->failAfterFrames);
    } else {
      *error = "unknown test option: " + std::string(key);
      return false;
    }
    if (!ok) {
      *error = "bad value for test option " + std::string(key) + ": " + std::string(value);
      return false;
    }
  }
  if (params->motionSeconds > 0 && params->holdSeconds >= params->motionSeconds) {
    *error = "test option hold must be shorter than motion";
    return false;
  }
  return true;
}

}  // namespace

bool ParseCaptureSelection(const char* text, CaptureSelection* selection, std::string* error) {
  *selection = CaptureSelection();
  if (text == nullptr || *text == '\0') return true;
  std::string_view all(text);
  size_t colon = all.find(':');
  std::string_view name = all.substr(0, colon);
  bool hasOptions = colon != std::string_view::npos;
  std::string_view options = hasOptions ? all.substr(colon + 1) : std::string_view();

  if (name == "v4l2") {
    if (hasOptions) {
      *error = "v4l2 takes no options";
      return false;
    }
    return true;
  }
  if (name == "test") {
    CaptureSelection parsed;
    parsed.kind = CaptureSourceKind::Test;
    if (!ParseTestOptions(options, &parsed.test, error)) return false;
    *selection = parsed;
    return true;
  }
  if (name == "file") {
    if (options.empty()) {
      *error = "file needs a path: file:<path>";
      return false;
    }
    selection->kind = CaptureSourceKind::File;
    selection->filePath = std::string(options);
    return true;
  }
  *error = "unknown capture source: " + std::string(name);
  return false;
}

}  // namespace platform::capture
