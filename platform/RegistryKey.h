#pragma once
// The registry stand-in: one key is one small text file of typed values under
// $XDG_CONFIG_HOME/ (the key path's "\" become folders), so string values and 4-byte
// binary values stay apart as they do in the registry. Each Set rewrites the file
// atomically. One object is one open key; use it from one thread.
//
// File format, one value per line:  s <name>=<text>   or   b <name>=<hex bytes>
// with "\\", "\n", "\r" and "\0" escaped in names and texts.
#include <cstdint>
#include <map>
#include <string>

namespace platform {

class CRegistryKey {
 public:
  enum class Type { String, Binary };

  // Where key paths are rooted; defaults to the XDG config folder. Tests point it elsewhere.
  static void SetRoot(const std::string& dir);
  static std::string StorePath(const std::string& keyPath);

  // Opens the key, creating it when missing; false when its folder cannot be created.
  bool Open(const std::string& keyPath);
  void Close();
  bool IsOpen() const { return !m_path.empty(); }

  // Fails (false) when the value is missing or does not fit; *size then holds the size
  // needed (0 when missing). On success *size is the byte count delivered. A string
  // delivers its text and a terminating zero.
  bool QueryValue(const std::string& name, void* buffer, uint32_t* size, Type* type = nullptr) const;
  bool SetString(const std::string& name, const std::string& text);
  bool SetBinary(const std::string& name, const void* data, uint32_t size);
  bool DeleteValue(const std::string& name);

 private:
  struct Value {
    Type type;
    std::string bytes;
  };
  bool Load();
  bool Save() const;

  std::string m_path;
  std::map<std::string, Value> m_values;
};

}  // namespace platform
