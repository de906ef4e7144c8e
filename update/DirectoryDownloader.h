#pragma once
// Files copied from a directory (a mounted share).
#include "update/Downloader.h"

class CDirectoryDownloader : public CDownloader {
 public:
  const char* GetFile(const char* name) override;
  bool Connect() override;
  void Open(const std::string& address) override;
};
