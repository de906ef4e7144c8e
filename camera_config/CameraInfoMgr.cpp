#include "camera_config/CameraInfoMgr.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <random>
#include <vector>

#include "infra/Logger.h"
#include "infra/XmlDocument.h"
#include "platform/FixedText.h"
#include "platform/ProgramDir.h"

namespace {

using platform::CopyCut;

// Leading-digits conversion: blanks, an optional sign, digits; anything else ends it.
// Absent or no digits gives 0; beyond the range of long long it saturates rather than wraps.
long long DecimalValue(const std::string& text) {
  size_t p = 0;
  while (p < text.size() && std::isspace(static_cast<unsigned char>(text[p]))) ++p;
  bool negative = false;
  if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
  long long value = 0;
  for (; p < text.size() && text[p] >= '0' && text[p] <= '9'; ++p) {
    if (value > (LLONG_MAX - 9) / 10) {
      value = LLONG_MAX;
      break;
    }
    value = value * 10 + (text[p] - '0');
  }
  return negative ? -value : value;
}

// What one "CameraInfo" element of the file asks for, in file order.
struct ChannelLoad {
  int channel;
  int alarmStatus;
  int audioEnable;
  struct Ftp {
    std::string serverAddr, userName, password, remotePath;
    int port;
  };
  std::vector<Ftp> ftp;
};

int ClampToInt(long long value) {
  return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
}

}  // namespace

CCameraInfoMgr::CCameraInfoMgr() {
  for (CCameraInfo*& channel : m_channels) channel = new CCameraInfo();
}

CCameraInfoMgr::~CCameraInfoMgr() {
  for (CCameraInfo* channel : m_channels) delete channel;
}

CCameraInfoMgr& GetCameraInfoMgr() {
  static CCameraInfoMgr* const instance = new CCameraInfoMgr();
  return *instance;
}

void CCameraInfoMgr::SetDefaults() {
  const std::string server = DefaultServerAddress();
  std::string bridgeHost, bridgePort;
  DefaultBridgeServer(&bridgeHost, &bridgePort);
  {
    std::lock_guard<std::mutex> hold(m_lock);
    CopyCut(m_serverAddress, server);
    CopyCut(m_cameraID, std::string("qm41"));
    CopyCut(m_webAdminPassword, std::string("580317"));
    CopyCut(m_bridgeServerHost, bridgeHost);
    CopyCut(m_bridgeServerPort, bridgePort);
  }
  m_nListenPort.store(8080);
  for (CCameraInfo* channel : m_channels) channel->ResetToDefaults();
}

std::string CCameraInfoMgr::GetCameraInfoPath() { return platform::ProgramDirectory() + "CameraInfo.xml"; }

bool CCameraInfoMgr::LoadCameraInfo() { return LoadCameraInfo(GetCameraInfoPath()); }

bool CCameraInfoMgr::LoadCameraInfo(const std::string& path) {
  // Everything is read first and applied after, so that a failure half-way leaves the
  // store as it was.
  bool haveRoot = false;
  int listenPort = 0;
  std::string cameraID;
  std::string webAdminPassword;
  std::vector<ChannelLoad> channels;
  try {
    CXmlDocument doc;
    if (!doc.LoadFromFile(path)) return false;
    doc.ResetPosition();
    if (doc.FindNextElement("CameraInfos")) {
      haveRoot = true;
      const long long port = DecimalValue(doc.GetAttribute("listenPort"));
      listenPort = port <= 0 || port >= 65535 ? 80 : static_cast<int>(port);
      cameraID = doc.GetAttribute("cameraID");
      webAdminPassword = doc.GetAttribute("webAdminPassword");
    }
    doc.EnterElement();
    while (doc.FindNextElement("CameraInfo")) {
      const long long channel = DecimalValue(doc.GetAttribute("channelID"));
      if (channel < 0 || channel >= kChannelCount) continue;
      ChannelLoad load{static_cast<int>(channel), ClampToInt(DecimalValue(doc.GetAttribute("alarmStatus"))),
                       ClampToInt(DecimalValue(doc.GetAttribute("audioEnable"))), {}};
      if (doc.EnterElement()) {
        while (doc.FindNextElement("FTPConfig")) {
          if (DecimalValue(doc.GetAttribute("id")) != 0) continue;
          const long long port = DecimalValue(doc.GetAttribute("port"));
          load.ftp.push_back({doc.GetAttribute("serverAddr"), doc.GetAttribute("userName"),
                              doc.GetAttribute("password"), doc.GetAttribute("remotePath"),
                              port <= 0 || port > 65535 ? 21 : static_cast<int>(port)});
        }
        doc.LeaveElement();
      }
      channels.push_back(std::move(load));
    }
  } catch (...) {
    Log("Load %s got exception.", path.c_str());
    return false;
  }

  if (haveRoot) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_nListenPort.store(listenPort);
    CopyCut(m_cameraID, cameraID);
    CopyCut(m_webAdminPassword, webAdminPassword);
  }
  for (const ChannelLoad& load : channels) {
    CCameraInfo* info = m_channels[load.channel];
    info->SetAlarmStatus(load.alarmStatus);
    info->SetAudioEnable(load.audioEnable);
    for (const ChannelLoad::Ftp& ftp : load.ftp) {
      info->SetFtpConfig(ftp.serverAddr.c_str(), ftp.userName.c_str(), ftp.password.c_str(), ftp.remotePath.c_str(),
                         ftp.port);
    }
  }
  return true;
}

bool CCameraInfoMgr::SaveCameraInfo() { return SaveCameraInfo(GetCameraInfoPath()); }

bool CCameraInfoMgr::SaveCameraInfo(const std::string& path) {
  CXmlDocument doc;
  doc.AppendNode(CXmlDocument::MNT_PROCESSING_INSTRUCTION, "xml version='1.0' ");
  doc.AppendElement("CameraInfos");
  doc.SetAttribute("listenPort", GetListenPort());
  doc.SetAttribute("cameraID", GetCameraID().c_str());
  doc.SetAttribute("webAdminPassword", GetWebAdminPassword().c_str());
  doc.EnterElement();
  for (int channel = 0; channel < kChannelCount; ++channel) {
    const CCameraInfo* info = m_channels[channel];
    const FTPConfig ftp = info->GetFtpConfig();
    doc.AppendElement("CameraInfo");
    doc.SetAttribute("channelID", channel);
    doc.SetAttribute("alarmStatus", info->GetAlarmStatus());
    doc.SetAttribute("audioEnable", info->GetAudioEnable());
    doc.EnterElement();
    doc.AppendElement("FTPConfig");
    doc.SetAttribute("id", 0);
    doc.SetAttribute("serverAddr", ftp.serverAddr);
    doc.SetAttribute("userName", ftp.userName);
    doc.SetAttribute("password", ftp.password);
    doc.SetAttribute("remotePath", ftp.remotePath);
    doc.SetAttribute("port", ftp.port);
    doc.LeaveElement();
  }
  if (!doc.SaveToFile(path)) {
    Log("CCameraInfoMgr::SaveCameraInfo cannot write %s: %s", path.c_str(), doc.GetResult().c_str());
    return false;
  }
  return true;
}

namespace {
// Seeded per process, so two cameras on one host do not draw the same ports.
int DrawPortNumber() {
  static std::mutex lock;
  static std::minstd_rand engine{std::random_device{}()};
  std::lock_guard<std::mutex> hold(lock);
  return static_cast<int>(engine() & 0x7FFFFFFF);
}
}  // namespace

int CCameraInfoMgr::ChooseListenPort() {
  uint32_t address = 0;
  const LocalAddressFn lookup = m_localAddressLookup.load();
  int port;
  if (lookup == nullptr || !lookup(&address)) {
    port = 10000 + DrawPortNumber() % 1000;
  } else {
    const int lastOctet = static_cast<int>(address & 0xFF);
    const int stored = m_nListenPort.load();
    if (stored > 10000 && (stored - lastOctet - 10000) % 1000 == 0) {
      port = stored;
    } else {
      port = lastOctet + (10 + DrawPortNumber() % 10) * 1000;
    }
  }
  m_nListenPort.store(port);
  return port;
}

CCameraInfo* CCameraInfoMgr::GetCameraInfo(int index) {
  return index >= 0 && index < kChannelCount ? m_channels[index] : nullptr;
}

std::string CCameraInfoMgr::GetServerAddress() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_serverAddress;
}

std::string CCameraInfoMgr::GetCameraID() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_cameraID;
}

std::string CCameraInfoMgr::GetWebAdminPassword() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_webAdminPassword;
}

std::string CCameraInfoMgr::GetBridgeServerHost() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_bridgeServerHost;
}

std::string CCameraInfoMgr::GetBridgeServerPort() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_bridgeServerPort;
}

void CCameraInfoMgr::SetBridgeServer(const char* host, const char* port) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (host != nullptr) CopyCut(m_bridgeServerHost, host);
  if (port != nullptr) CopyCut(m_bridgeServerPort, port);
}

void CCameraInfoMgr::SetCameraInfoRetrievedFromServer(const char* camId, int camIdLength, const char* /*userName*/,
                                                      int /*userNameLength*/, const char* /*userPassword*/,
                                                      int /*userPasswordLength*/, const char* /*ftpUser*/,
                                                      int /*ftpUserLength*/, const char* ftpPassword,
                                                      int ftpPasswordLength) {
  // A missing piece or a negative length is taken as an empty value.
  auto piece = [](const char* start, int length) {
    return start != nullptr && length > 0 ? std::string(start, static_cast<size_t>(length)) : std::string();
  };
  std::string cameraID;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    CopyCut(m_cameraID, piece(camId, camIdLength));
    cameraID = m_cameraID;
  }
  Log("CCameraInfoMgr::SetCameraInfoRetrievedFromServer update camid=%s", cameraID.c_str());
  std::string password = piece(ftpPassword, ftpPasswordLength);
  if (password.size() > 63) password.resize(63);
  if (CCameraInfo* channel0 = GetCameraInfo(0)) {
    channel0->SetFtpConfig(nullptr, cameraID.c_str(), password.c_str(), nullptr, 0);
  }
}
