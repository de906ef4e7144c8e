#include "media/HttpRequest.h"

#include <cstdio>
#include <cstring>

const char kResponseHeaderTemplate[] = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length:     \r\n\r\n";
const char kStreamResponseHeader[] =
    "HTTP/1.1 200 OK\r\nServer: VantorHomeCamera\r\nPragma: no-cache\r\nContent-type: "
    "application/x-oleobject\r\nConnection: close\r\n\r\n";
const char kNotFoundResponse[] = "HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

namespace {

int LineLength(const char* text, int length) {
  const void* lf = std::memchr(text, '\n', static_cast<size_t>(length));
  return lf ? static_cast<int>(static_cast<const char*>(lf) - text) : length;
}

// Offset of what in text[0, length), or -1.
int Find(const char* text, int length, const char* what) {
  const int n = static_cast<int>(std::strlen(what));
  for (int i = 0; i + n <= length; ++i)
    if (std::memcmp(text + i, what, static_cast<size_t>(n)) == 0) return i;
  return -1;
}

}  // namespace

CameraRequest MatchCameraRequest(const char* text, int length, int* keyword) {
  *keyword = 0;
  if (length < 4) return CameraRequest::kNotHttp;
  const int line = LineLength(text, length);
  const bool get = std::memcmp(text, "GET", 3) == 0;
  const bool post = std::memcmp(text, "POST", 4) == 0;
  if (!get && !post) return CameraRequest::kNotHttp;
  struct Row {
    bool forGet;
    const char* keyword;
    CameraRequest request;
  };
  static const Row rows[] = {
      {true, "vdata.v", CameraRequest::kStreamFlv},
      {true, "vdata.flv", CameraRequest::kStreamFlv},
      {true, "vdata.rtp", CameraRequest::kStreamRtp},
      {true, "/cgi-bin/getConnectionTime.cgi", CameraRequest::kRunTime},
      {true, "/schedule_setup.html", CameraRequest::kScheduleSetup},
      {true, "/servertxt.html", CameraRequest::kServerSetting},
      {true, "/snapshot.htm", CameraRequest::kSnapshot},
      {false, "/servertxt.html", CameraRequest::kServerSettingPost},
  };
  for (const Row& row : rows) {
    if (row.forGet != get) continue;
    const int at = Find(text, line, row.keyword);
    if (at >= 0) {
      *keyword = at;
      return row.request;
    }
  }
  return CameraRequest::kUnknown;
}

int GetParam(const char* text, const char* key, char* out, int outSize) {
  if (outSize <= 0) return 0;
  out[0] = 0;
  const char* at = std::strstr(text, key);
  if (!at) return 0;
  const char* value = at + std::strlen(key);
  int n = 0;
  while (n < outSize - 1 && value[n] && value[n] != '\n' && value[n] != '\r' && value[n] != ' ' &&
         value[n] != '&') {
    out[n] = value[n];
    ++n;
  }
  out[n] = 0;
  return 1;
}

bool RequestLineHas(const char* text, int length, int from, const char* what) {
  const int line = LineLength(text, length);
  return from < line && Find(text + from, line - from, what) >= 0;
}

std::string BuildTextResponse(const std::string& body) {
  std::string response = kResponseHeaderTemplate;
  char digits[16];
  std::snprintf(digits, sizeof(digits), "%d   ", static_cast<int>(body.size()));
  // The last four of the five placeholder blanks after "Content-Length:".
  const size_t placeholder = response.find("Content-Length:") + std::strlen("Content-Length:") + 1;
  response.replace(placeholder, 4, digits, 4);
  return response + body;
}

std::string BuildFileResponseHeader(unsigned size) {
  std::string header = kResponseHeaderTemplate;
  const size_t at = header.find("Content-Length:") + std::strlen("Content-Length:") + 1;
  char tail[32];
  std::snprintf(tail, sizeof(tail), "%u\r\n\r\n", size);
  return header.substr(0, at) + tail;
}
