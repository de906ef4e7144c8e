#pragma once
// Files over HTTP GET (libcurl). Proxies come from the usual environment variables.
#include "update/Downloader.h"

class CHttpDownloader : public CDownloader {
 public:
  CHttpDownloader() { m_port = 80; }
  ~CHttpDownloader() override;
  const char* GetFile(const char* name) override;
  void Disconnect() override;
  bool Connect() override;

 private:
  void* m_curl = nullptr;  // CURL*: keeps the connection between fetches
};
