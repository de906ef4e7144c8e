#include "app/RegistrySettings.h"

#include <cstring>
#include <string>

#include "infra/MD5Digest.h"
#include "platform/ProgramDir.h"
#include "platform/RegistryKey.h"

namespace {
SettingsRecord g_settings{};
}

SettingsRecord& Settings() { return g_settings; }

int ReadValue(const char* name, void* buffer, uint32_t size) {
  platform::CRegistryKey key;
  if (!key.Open(kRegistryKeyPath)) return -1;
  uint32_t got = size;
  if (key.QueryValue(name, buffer, &got)) return static_cast<int>(got);
  const std::string text(static_cast<const char*>(buffer), strnlen(static_cast<const char*>(buffer), size));
  key.SetString(name, text);
  return static_cast<int>(text.size());
}

int WriteValue(const char* name, const char* text) {
  if (!name || !text) return 0;
  platform::CRegistryKey key;
  if (!key.Open(kRegistryKeyPath)) return -1;
  if (!key.SetString(name, text)) return -1;
  return static_cast<int>(std::strlen(text));
}

void LoadSettings() {
  SettingsRecord& s = g_settings;
  ReadValue("AVConvertProgram", s.avConvertProgram, sizeof(s.avConvertProgram));
  s.avConvertProgram[sizeof(s.avConvertProgram) - 1] = 0;
  if (s.avConvertProgram[0]) platform::SetConvertorDirectory(platform::ToLocalPath(s.avConvertProgram));
  else platform::SetConvertorDirectory(platform::ProgramDirectory());

  char flag[4] = {};
  ReadValue("AutoLogin", flag, sizeof(flag));
  s.autoLogin = std::strncmp(flag, "yes", sizeof(flag)) == 0 ? 1 : 0;

  ReadValue("UPMDString", s.passwordDigest, sizeof(s.passwordDigest));
  s.passwordDigest[sizeof(s.passwordDigest) - 1] = 0;
  ReadValue("LoginUserName", s.userName, sizeof(s.userName));
  s.userName[sizeof(s.userName) - 1] = 0;

  uint32_t value = 0;
  s.showConvertorWindow = ReadValue("ShowConvertorWindow", &value, sizeof(value)) == 4 ? value : 1;
  value = 0;
  s.maxChannelCount = ReadValue("MaxChannelCount", &value, sizeof(value)) == 4 ? value : 10;
}

void GetLoginSettings(int* autoLogin, int* remember, const char** password, const char** userName) {
  const int rem = std::strlen(g_settings.passwordDigest) == 32 ? 1 : 0;
  if (remember) *remember = rem;
  if (autoLogin) *autoLogin = rem ? g_settings.autoLogin : 0;
  if (password) *password = g_settings.passwordDigest;
  if (userName) *userName = g_settings.userName;
}

void SaveLoginSettings(int autoLogin, int remember, const char* userName, const char* password) {
  const char* user = userName ? userName : "";
  const char* pass = password ? password : "";
  if (remember) {
    // A 32-character password is the stored digest shown back by the login dialog.
    if (std::strlen(pass) != 32) {
      CMD5Digest md5;
      md5.Update(user, -1);
      md5.Update(pass, -1);
      WriteValue("UPMDString", md5.GetHexDigest());
    }
  } else {
    WriteValue("UPMDString", "");
  }
  WriteValue("LoginUserName", user);
  WriteValue("AutoLogin", autoLogin ? "yes" : "no");
}
