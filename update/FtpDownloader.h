#pragma once
// Files over anonymous FTP (libcurl): RETR in binary mode below the base path, which must
// exist at connect time.
#include "update/Downloader.h"

class CFtpDownloader : public CDownloader {
 public:
  CFtpDownloader() { m_port = 21; }
  ~CFtpDownloader() override;
  const char* GetFile(const char* name) override;
  void Disconnect() override;
  bool Connect() override;

 private:
  std::string BaseUrl() const;
  void* m_curl = nullptr;  // CURL*: keeps the control connection between fetches
};
