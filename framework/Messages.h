#pragma once
// Window message numbers shared between the threads and the main window.
#include <cstdint>

#include "camera_config/CameraInfo.h"  // WM_REFRESH_STATUS, posted by the store

constexpr uint32_t WM_CAMERA_ALARM = 2025;
constexpr uint32_t WM_APP_QUIT = 2026;
constexpr uint32_t WM_NEW_VERSION = 2028;
// (upload result 1 or 0, channel): an alarm clip's upload ended on the channel's worker.
constexpr uint32_t WM_ALARM_UPLOADED = 2030;
constexpr uint32_t WM_STATUS_BUTTON = 1124;
constexpr uint32_t WM_TRAY_CALLBACK = 1025;  // WM_USER + 1: (icon id, mouse message)
constexpr uint32_t WM_COMMAND = 0x0111;      // (command id, 0)

constexpr uint32_t WM_LBUTTONDOWN = 513;
constexpr uint32_t WM_LBUTTONUP = 514;
constexpr uint32_t WM_LBUTTONDBLCLK = 515;
constexpr uint32_t WM_RBUTTONDOWN = 516;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// Message box kinds: the buttons, optionally with the error icon.
constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_YESNO = 0x4;
constexpr unsigned MB_ICONERROR = 0x10;
