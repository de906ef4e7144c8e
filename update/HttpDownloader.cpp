#include "update/HttpDownloader.h"

#include <curl/curl.h>
#include <errno.h>

#include <cstdio>

#include "platform/Tick.h"
#include "update/CurlSupport.h"
#include "update/LiveUpdate.h"

namespace {

struct Body {
  CURL* curl;
  FILE* file;
  bool wrongStatus = false;
};

// Writes only a 200 answer's body; any other status ends the transfer at once.
size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  Body* body = static_cast<Body*>(user);
  long status = 0;
  curl_easy_getinfo(body->curl, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) {
    body->wrongStatus = true;
    return 0;
  }
  return std::fwrite(data, 1, size * count, body->file);
}

}  // namespace

CHttpDownloader::~CHttpDownloader() { Disconnect(); }

bool CHttpDownloader::Connect() {
  if (m_host.empty()) return false;
  if (!m_curl) m_curl = curlsupport::NewHandle("HTTP_DownloadServer");
  return m_curl != nullptr;
}

void CHttpDownloader::Disconnect() {
  if (m_curl) curl_easy_cleanup(static_cast<CURL*>(m_curl));
  m_curl = nullptr;
}

const char* CHttpDownloader::GetFile(const char* name) {
  CURL* curl = static_cast<CURL*>(m_curl);
  if (!curl || !MakeTempFile()) return nullptr;
  const std::string url = "http://" + m_host + ":" + std::to_string(m_port) + m_path + "/" +
                          curlsupport::EscapePath(RemoteName(name));
  FILE* file = std::fopen(m_tempFile.c_str(), "wbe");
  if (!file) return DropTempFile();
  Body body{curl, file};
  curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
  headers = curl_slist_append(headers, "Pragma: no-cache");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 1024L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);

  const uint32_t firstSend = platform::GetTickCount();
  CURLcode result = CURLE_OK;
  long status = 0;
  for (int repeats = 0;; ++repeats) {
    result = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    // A request that got no answer at all was not sent; anything else is not repeated.
    const bool sent = result == CURLE_OK || status != 0;
    CLiveUpdate* engine = CLiveUpdate::Current();
    if (sent || repeats >= 4 || platform::GetTickCount() - firstSend >= 5000 ||
        (engine && engine->IsCancelRequested()))
      break;
    std::rewind(file);
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_slist_free_all(headers);
  const bool written = std::fflush(file) == 0 && !std::ferror(file);
  std::fclose(file);
  if (status != 200 || body.wrongStatus) {
    char text[96];
    std::snprintf(text, sizeof(text), "Error:%d,%d,%d,%d", static_cast<int>(status), static_cast<int>(result),
                  static_cast<int>(firstSend), static_cast<int>(platform::GetTickCount()));
    if (CLiveUpdate* engine = CLiveUpdate::Current()) engine->Notify("OnTryDownloadCenter", text);
    return DropTempFile();
  }
  if (result != CURLE_OK || !written) return DropTempFile();
  return m_tempFile.c_str();
}
