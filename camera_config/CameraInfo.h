#pragma once
// CCameraInfo: the settings of one camera channel (arming, sound, FTP upload target), and
// the hook through which a change of arming or sound reaches the main window.
//
// Records are owned by CCameraInfoMgr; reach them through CCameraInfoMgr::GetCameraInfo.
// Any thread may call any operation: the two flags are atomic and the FTP texts are
// guarded by a lock and handed out as copies, so a reader never sees a half-written text.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// FTP upload settings of one channel. Texts are cut to 65 characters.
struct FTPConfig {
  char serverAddr[66];
  char userName[66];
  char password[66];
  uint16_t port;  // also carries the transfer mode, see the FTP client
  char remotePath[66];
};

// Posted to the main window after the arming or the sound flag changed; both parameters 0.
inline constexpr uint32_t WM_REFRESH_STATUS = 2029;

// How the store reaches the main window. The UI installs a function that posts the message
// to its window (thread-safe) while the window exists, and null when it goes away; with
// null, which is the start, nothing is posted.
using PostToMainWindowFn = void (*)(uint32_t message, uintptr_t wParam, intptr_t lParam);
void SetMainWindowPoster(PostToMainWindowFn poster);

// The host that the web service, the bridge and the FTP upload use until told otherwise:
// VTCAM_SERVER_ADDRESS from the environment when it holds a plain host name or address of
// at most 31 characters, else 127.0.0.1, so that no default sends traffic off this machine.
std::string DefaultServerAddress();

// The bridge server the relay starts with: DefaultServerAddress() and "8089", unless
// VTCAM_BRIDGE_SERVER holds "host" or "host:port" (port: 1 to 7 digits), or "off" (no
// bridge: an empty host). Anything else is logged and ignored.
void DefaultBridgeServer(std::string* host, std::string* port);

class CCameraInfo {
 public:
  CCameraInfo() = default;  // sets nothing: the manager's SetDefaults does
  virtual ~CCameraInfo();
  CCameraInfo(const CCameraInfo&) = delete;
  CCameraInfo& operator=(const CCameraInfo&) = delete;

  void ResetToDefaults();

  // 0 or 1 is stored as given; any other value (the main window passes -1) toggles.
  void SetAlarmStatus(int status);
  // Sound stays off whatever is asked: always stores 0.
  void SetAudioEnable(int enable);
  // Each text given (non-null) replaces its field, cut to 65 characters; the port only
  // when above 0.
  void SetFtpConfig(const char* serverAddr, const char* userName, const char* password, const char* remotePath,
                    int port);

  int GetAlarmStatus() const { return m_nAlarmStatus.load(); }
  int GetAudioEnable() const { return m_nAudioEnable.load(); }
  FTPConfig GetFtpConfig() const;

 private:
  std::atomic<int> m_nAlarmStatus{0};
  std::atomic<int> m_nAudioEnable{0};
  mutable std::mutex m_lock;
  FTPConfig m_ftpConfig{};
};
