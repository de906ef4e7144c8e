#pragma once
// The camera HTTP server's request matching and response texts, without sockets: bytes in,
// results out.
#include <string>

enum class CameraRequest {
  kNotHttp,        // fewer than 4 bytes, or neither GET nor POST
  kUnknown,        // a GET or POST the server does not answer
  kStreamFlv,      // GET vdata.v / vdata.flv
  kStreamRtp,      // GET vdata.rtp
  kRunTime,        // GET /cgi-bin/getConnectionTime.cgi
  kScheduleSetup,  // GET /schedule_setup.html
  kServerSetting,  // GET /servertxt.html
  kSnapshot,       // GET /snapshot.htm
  kServerSettingPost,  // POST /servertxt.html
};

// Matches the request at text[0, length): keywords are looked for in the request line
// only (up to the first line feed). *keyword gets the offset where the matched keyword
// starts (parameters are searched from there on).
CameraRequest MatchCameraRequest(const char* text, int length, int* keyword);

// Finds key in the zero-terminated text and copies the value behind it, at most
// outSize - 1 characters, up to the end, "\n", "\r", " " or "&". The output is always
// terminated. 0 (empty output) when the key is absent, else 1. No URL decoding.
int GetParam(const char* text, const char* key, char* out, int outSize);

// "qcif" anywhere in the request line behind the path.
bool RequestLineHas(const char* text, int length, int from, const char* what);

// A 200 response carrying body: the header template with the body length, padded to four
// characters, in its Content-Length placeholder, then the body.
std::string BuildTextResponse(const std::string& body);
// The header of a file response of the given size.
std::string BuildFileResponseHeader(unsigned size);

extern const char kResponseHeaderTemplate[];
extern const char kStreamResponseHeader[];
// The whole answer to a request the server does not know.
extern const char kNotFoundResponse[];
