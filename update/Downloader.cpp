#include "update/Downloader.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/TempName.h"
#include "update/DirectoryDownloader.h"
#include "update/FtpDownloader.h"
#include "update/HttpDownloader.h"
#include "update/LiveUpdate.h"

void CDownloader::SetTempDirectory(const std::string& dir) { m_tempDir = dir.empty() ? "." : dir; }

void CDownloader::Open(const std::string& address) {
  const size_t slash = address.find('/');
  m_path = slash == std::string::npos ? "" : address.substr(slash);
  const std::string hostPort = address.substr(0, slash);
  const size_t colon = hostPort.find(':');
  m_host = hostPort.substr(0, colon);
  if (colon != std::string::npos) m_port = std::atoi(hostPort.c_str() + colon + 1);
}

bool CDownloader::MakeTempFile() {
  return platform::GetTempFileName(m_tempDir, "~~temp", 0, &m_tempFile) != 0;
}

const char* CDownloader::DropTempFile() {
  if (!m_tempFile.empty()) unlink(m_tempFile.c_str());
  m_tempFile.clear();
  return nullptr;
}

std::string CDownloader::RemoteName(const char* name) {
  std::string remote = name ? name : "";
  for (char& c : remote)
    if (c == '\\') c = '/';
  return remote;
}

CDownloader* CreateDownloader(const char* baseUrl) {
  const std::string url = baseUrl ? baseUrl : "";
  CDownloader* downloader = nullptr;
  if (url.rfind("http://", 0) == 0) {
    downloader = new CHttpDownloader;
    downloader->Open(url.substr(7));
  } else if (url.rfind("ftp://", 0) == 0) {
    downloader = new CFtpDownloader;
    downloader->Open(url.substr(6));
  } else if (url.rfind("//", 0) == 0 || url.rfind("\\\\", 0) == 0) {
    downloader = new CDirectoryDownloader;
    downloader->Open(url);
  } else {
    return nullptr;
  }
  if (CLiveUpdate* engine = CLiveUpdate::Current()) engine->Notify("OnTryDownloadCenter", url.c_str());
  if (!downloader->Connect()) {
    delete downloader;
    return nullptr;
  }
  return downloader;
}
