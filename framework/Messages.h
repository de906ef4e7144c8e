#pragma once
// Window message numbers shared between the threads and the main window.
#include <cstdint>

constexpr uint32_t WM_CAMERA_ALARM = 2025;
constexpr uint32_t WM_APP_QUIT = 2026;
constexpr uint32_t WM_NEW_VERSION = 2028;
constexpr uint32_t WM_REFRESH_STATUS = 2029;
