#pragma once
// CCameraInfoMgr: the camera's settings for the whole program, in memory and in
// CameraInfo.xml in the program directory. One process-wide instance (GetCameraInfoMgr).
//
// Start-up fills it (SetDefaults, then LoadCameraInfo) on the main thread before any other
// thread runs; shutdown saves it (SaveCameraInfo). In between any thread may read and change
// it: the UI thread, the HTTP server's completion threads, the web-service and bridge
// threads. Texts are guarded by a lock and handed out as copies.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "camera_config/CameraInfo.h"

class CCameraInfoMgr {
 public:
  static constexpr int kChannelCount = 10;

  CCameraInfoMgr();  // creates the ten channel records, without values
  virtual ~CCameraInfoMgr();
  CCameraInfoMgr(const CCameraInfoMgr&) = delete;
  CCameraInfoMgr& operator=(const CCameraInfoMgr&) = delete;

  void SetDefaults();

  // Overlays the file's values. False when the file is missing or not well formed: then
  // nothing changes.
  bool LoadCameraInfo();
  bool LoadCameraInfo(const std::string& path);
  // Writes the whole file anew, atomically. False (and logged) when it could not be written.
  bool SaveCameraInfo();
  bool SaveCameraInfo(const std::string& path);
  static std::string GetCameraInfoPath();  // <program directory>CameraInfo.xml

  // The listen port for the camera HTTP server, stored and returned. Keeps a port that a
  // previous run chose for an address with the same last octet.
  int ChooseListenPort();
  // Where ChooseListenPort learns the local IPv4 address (host byte order). Start-up
  // installs the host identity's GetLocalAddress; null means no address is known.
  using LocalAddressFn = bool (*)(uint32_t* address);
  void SetLocalAddressLookup(LocalAddressFn lookup) { m_localAddressLookup.store(lookup); }

  // Channel 0 to 9; null for any other index.
  CCameraInfo* GetCameraInfo(int index);

  std::string GetServerAddress() const;
  int GetListenPort() const { return m_nListenPort.load(); }
  void SetListenPort(int port) { m_nListenPort.store(port); }
  std::string GetCameraID() const;
  std::string GetWebAdminPassword() const;
  std::string GetBridgeServerHost() const;
  std::string GetBridgeServerPort() const;
  // The bridge relay replaces the bridge server it was told to use. Host cut to 31
  // characters, port text to 7; a null argument leaves its field.
  void SetBridgeServer(const char* host, const char* port);

  // The web service's camera record, as (start, length) pairs cut out of its reply: the
  // camera id becomes the camera identifier and channel 0's FTP user name, the FTP password
  // channel 0's FTP password. The user name, user password and FTP user are not used.
  void SetCameraInfoRetrievedFromServer(const char* camId, int camIdLength, const char* userName,
                                        int userNameLength, const char* userPassword, int userPasswordLength,
                                        const char* ftpUser, int ftpUserLength, const char* ftpPassword,
                                        int ftpPasswordLength);

 private:
  CCameraInfo* m_channels[kChannelCount];
  mutable std::mutex m_lock;
  char m_serverAddress[56] = {};
  std::atomic<int> m_nListenPort{0};
  char m_cameraID[64] = {};
  char m_webAdminPassword[32] = {};
  char m_bridgeServerHost[32] = {};
  char m_bridgeServerPort[8] = {};
  std::atomic<LocalAddressFn> m_localAddressLookup{nullptr};
};

// The process-wide store. It is never destroyed, so threads that outlive main() (the bridge
// threads end with the process) never touch a destroyed object.
CCameraInfoMgr& GetCameraInfoMgr();
