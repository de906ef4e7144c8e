#include "update/FtpDownloader.h"

#include <curl/curl.h>

#include <cstdio>

#include "update/CurlSupport.h"

CFtpDownloader::~CFtpDownloader() { Disconnect(); }

std::string CFtpDownloader::BaseUrl() const {
  std::string url = "ftp://" + m_host + ":" + std::to_string(m_port) + curlsupport::EscapePath(m_path);
  if (url.back() != '/') url += '/';
  return url;
}

bool CFtpDownloader::Connect() {
  if (m_curl) return true;
  CURL* curl = curlsupport::NewHandle("FTP_DownloadServer");
  if (!curl) return false;
  // Logs in and changes to the base path; a base path that is missing fails here.
  const std::string url = BaseUrl();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  if (curl_easy_perform(curl) != CURLE_OK) {
    curl_easy_cleanup(curl);
    return false;
  }
  curl_easy_setopt(curl, CURLOPT_NOBODY, 0L);
  m_curl = curl;
  return true;
}

void CFtpDownloader::Disconnect() {
  if (m_curl) curl_easy_cleanup(static_cast<CURL*>(m_curl));
  m_curl = nullptr;
}

const char* CFtpDownloader::GetFile(const char* name) {
  CURL* curl = static_cast<CURL*>(m_curl);
  if (!curl || !MakeTempFile()) return nullptr;
  FILE* file = std::fopen(m_tempFile.c_str(), "wbe");
  if (!file) return DropTempFile();
  const std::string url = BaseUrl() + curlsupport::EscapePath(RemoteName(name));
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_TRANSFERTEXT, 0L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, nullptr);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, file);
  const CURLcode result = curl_easy_perform(curl);
  const bool written = std::fflush(file) == 0 && !std::ferror(file);
  std::fclose(file);
  if (result != CURLE_OK || !written) return DropTempFile();
  return m_tempFile.c_str();
}
