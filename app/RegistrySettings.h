#pragma once
// Per-machine settings in the registry key "Software\Norvane\VantorHomeCamera": where the
// converter lives, whether its console is shown, the channel limit and the login settings.
// LoadSettings runs once on the start-up thread; the login calls run on the UI thread.
#include <cstdint>

constexpr const char* kRegistryKeyPath = "Software\\Norvane\\VantorHomeCamera";

struct SettingsRecord {
  char avConvertProgram[260];
  uint32_t showConvertorWindow;
  uint32_t maxChannelCount;
  char userName[64];
  char passwordDigest[64];
  int autoLogin;
};

// The process-wide record, zero-filled until LoadSettings.
SettingsRecord& Settings();

// Reads every value; also sets the convertor directory.
void LoadSettings();
void GetLoginSettings(int* autoLogin, int* remember, const char** password, const char** userName);
void SaveLoginSettings(int autoLogin, int remember, const char* userName, const char* password);

// Bytes read, or -1 when the key cannot be opened. A missing value (or one larger than the
// buffer) is created as a string holding the buffer's current text, whose length is returned.
int ReadValue(const char* name, void* buffer, uint32_t size);
// Bytes written, -1 when the key cannot be opened or the write fails, 0 without name or text.
int WriteValue(const char* name, const char* text);
