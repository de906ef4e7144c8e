#include "media/AdminAuth.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>

#include "infra/ConfigIni.h"
#include "media/RequestReader.h"
#include "platform/ProgramDir.h"
#include "platform/Profile.h"

const char kUnauthorizedResponse[] =
    "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"VantorHomeCamera\"\r\nConnection: close\r\n"
    "Content-Length: 0\r\n\r\n";

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Runs over the whole guess whatever it holds, so the time taken does not tell how much
// of it was right.
bool SameSecret(std::string_view guess, std::string_view secret) {
  if (secret.empty()) return false;
  size_t diff = guess.size() ^ secret.size();
  for (size_t i = 0; i < guess.size(); ++i)
    diff |= static_cast<unsigned char>(guess[i]) ^ static_cast<unsigned char>(secret[i % secret.size()]);
  return diff == 0;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

bool DecodeBase64(std::string_view text, std::string* out) {
  out->clear();
  while (!text.empty() && text.back() == '=') text.remove_suffix(1);
  if (text.size() % 4 == 1) return false;
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    const int value = Base64Value(c);
    if (value < 0) return false;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out->push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return true;
}

CAdminAuth& CAdminAuth::Instance() {
  static CAdminAuth* auth = [] {
    auto* made = new CAdminAuth;
    const std::string exe = platform::ExecutablePath();
    const std::string dir = platform::DirectoryOf(exe);
    const std::string config = FindConfigIni(dir.empty() ? std::string(".") : dir.substr(0, dir.size() - 1));
    char value[260];
    platform::GetPrivateProfileString("Http", "admin_password", "", value, sizeof(value), config.c_str());
    std::string password = value;
    platform::GetPrivateProfileString("Http", "protect_streams", "0", value, sizeof(value), config.c_str());
    made->Configure(std::move(password), std::atoi(value) != 0);
    return made;
  }();
  return *auth;
}

void CAdminAuth::Configure(std::string password, bool protectStreams) {
  m_password = std::move(password);
  m_protectStreams = protectStreams;
}

bool CAdminAuth::Admits(std::string_view request) const {
  std::string_view line;
  if (!FindRequestHeader(request, "authorization", &line)) return false;
  if (!StartsWithNoCase(line, "basic ")) return false;
  std::string credentials;
  if (!DecodeBase64(Trim(line.substr(6)), &credentials)) return false;
  const size_t colon = credentials.find(':');
  if (colon == std::string::npos) return false;
  return SameSecret(std::string_view(credentials).substr(colon + 1), m_password);
}
