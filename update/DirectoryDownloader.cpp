#include "update/DirectoryDownloader.h"

#include <dirent.h>

#include <filesystem>

#include "platform/ProgramDir.h"

void CDirectoryDownloader::Open(const std::string& address) {
  // "//srv/updates" and "\\srv\updates" both name the directory /srv/updates.
  m_host = platform::ToLocalPath(address.substr(1));
  m_path.clear();
}

bool CDirectoryDownloader::Connect() {
  DIR* dir = opendir(m_host.c_str());
  if (!dir) return false;
  const bool found = readdir(dir) != nullptr;
  closedir(dir);
  return found;
}

const char* CDirectoryDownloader::GetFile(const char* name) {
  if (!MakeTempFile()) return nullptr;
  std::string source = m_host;
  if (source.back() != '/') source += '/';
  source += RemoteName(name);
  std::error_code error;
  if (!std::filesystem::copy_file(source, m_tempFile, std::filesystem::copy_options::overwrite_existing, error))
    return DropTempFile();
  return m_tempFile.c_str();
}
