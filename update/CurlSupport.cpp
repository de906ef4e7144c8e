#include "update/CurlSupport.h"

#include <curl/curl.h>

#include <mutex>

#include "update/LiveUpdate.h"

namespace curlsupport {
namespace {

int CheckCancel(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  CLiveUpdate* engine = CLiveUpdate::Current();
  return engine && engine->IsCancelRequested() ? 1 : 0;
}

}  // namespace

void* NewHandle(const char* agent) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  CURL* curl = curl_easy_init();
  if (!curl) return nullptr;
  curl_easy_setopt(curl, CURLOPT_USERAGENT, agent);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CheckCancel);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,ftp");
  return curl;
}

std::string EscapePath(const std::string& path) {
  std::string out;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    if (end > pos) {  // a length of 0 would make libcurl escape the whole rest
      char* escaped = curl_easy_escape(nullptr, path.data() + pos, static_cast<int>(end - pos));
      if (escaped) out += escaped;
      curl_free(escaped);
    }
    if (end < path.size()) out += '/';
    pos = end + 1;
  }
  return out;
}

}  // namespace curlsupport
