#pragma once
// Private-profile (INI) files with the semantics of the classic profile calls:
// - section and key names match case-insensitively; values are trimmed of blanks and of one
//   pair of enclosing quotes;
// - a null section lists all section names, a null key lists a section's keys, each
//   zero-terminated with an extra zero at the end;
// - a file name without a "/" lives in the system profile directory, and a null file name
//   means the system profile file itself ("win.ini" there);
// - writing a null value deletes the key, a null key deletes the section.
// Writes replace the file atomically. Any thread may call these; calls on one file are not
// serialised against other processes.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// $XDG_CONFIG_HOME/Norvane/ (or ~/.config/Norvane/), created on demand; ends in "/".
std::string SystemProfileDirectory();
std::string ResolveProfilePath(const char* file);

uint32_t GetPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                 char* out, uint32_t size, const char* file);
// All lines of a section as "line\0line\0\0"; comment and empty lines are left out.
uint32_t GetPrivateProfileSection(const char* section, char* out, uint32_t size, const char* file);
// A structure stored as hex digits with a trailing checksum byte; false when missing, of
// another size or with a bad checksum.
bool GetPrivateProfileStruct(const char* section, const char* key, void* out, uint32_t size,
                             const char* file);

bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const char* file);
bool WritePrivateProfileStruct(const char* section, const char* key, const void* data,
                               uint32_t size, const char* file);

// Conveniences over the calls above.
std::vector<std::string> GetProfileSectionNames(const char* file);
std::vector<std::string> GetProfileSectionLines(const char* section, const char* file);
std::string GetProfileString(const char* section, const char* key, const char* defaultValue,
                             const char* file);

}  // namespace platform
