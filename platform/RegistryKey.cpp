#include "platform/RegistryKey.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/AtomicFile.h"
#include "platform/ProgramDir.h"

namespace platform {
namespace {

std::string g_root;

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\0': out += "\\0"; break;
      case '=': out += "\\="; break;
      default: out += c;
    }
  }
  return out;
}

// Splits "<escaped name>=<escaped value>" at the first unescaped "=".
bool SplitUnescape(const std::string& line, std::string& name, std::string& value) {
  std::string* cur = &name;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '\\' && i + 1 < line.size()) {
      const char n = line[++i];
      c = n == 'n' ? '\n' : n == 'r' ? '\r' : n == '0' ? '\0' : n;
      *cur += c;
    } else if (c == '=' && cur == &name) {
      cur = &value;
    } else {
      *cur += c;
    }
  }
  return cur == &value;
}

bool MakeDirs(const std::string& dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos == dir.size() || dir[pos] == '/') {
      const std::string part = dir.substr(0, pos);
      if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

}  // namespace

void CRegistryKey::SetRoot(const std::string& dir) { g_root = dir; }

std::string CRegistryKey::StorePath(const std::string& keyPath) {
  std::string root = g_root;
  if (root.empty()) {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) root = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home) root = std::string(home) + "/.config";
    else root = "/tmp";
  }
  if (root.back() != '/') root += '/';
  std::string key = ToLocalPath(keyPath);
  // The first folder of the key ("Software") carries no meaning on Linux.
  if (key.rfind("Software/", 0) == 0) key = key.substr(9);
  return root + key + "/registry";
}

bool CRegistryKey::Open(const std::string& keyPath) {
  Close();
  const std::string path = StorePath(keyPath);
  if (!MakeDirs(DirectoryOf(path).substr(0, DirectoryOf(path).size() - 1))) return false;
  m_path = path;
  if (!Load()) {
    m_path.clear();
    return false;
  }
  return true;
}

void CRegistryKey::Close() {
  m_path.clear();
  m_values.clear();
}

bool CRegistryKey::Load() {
  std::ifstream in(m_path, std::ios::binary);
  if (!in) {
    // A key without a file is a new key; make sure it can be written.
    FILE* f = std::fopen(m_path.c_str(), "ab");
    if (!f) return false;
    std::fclose(f);
    return true;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() < 2 || line[1] != ' ') continue;
    std::string name, value;
    if (!SplitUnescape(line.substr(2), name, value)) continue;
    if (line[0] == 's') {
      m_values[name] = Value{Type::String, value};
    } else if (line[0] == 'b') {
      std::string bytes;
      for (size_t i = 0; i + 1 < value.size(); i += 2)
        bytes += static_cast<char>(std::strtoul(value.substr(i, 2).c_str(), nullptr, 16));
      m_values[name] = Value{Type::Binary, bytes};
    }
  }
  return true;
}

bool CRegistryKey::Save() const {
  std::string text;
  for (const auto& [name, v] : m_values) {
    if (v.type == Type::String) {
      text += "s " + Escape(name) + "=" + Escape(v.bytes) + "\n";
    } else {
      text += "b " + Escape(name) + "=";
      char hex[3];
      for (unsigned char c : v.bytes) {
        std::snprintf(hex, sizeof(hex), "%02x", c);
        text += hex;
      }
      text += "\n";
    }
  }
  return ReplaceFileAtomically(m_path, text);
}

bool CRegistryKey::QueryValue(const std::string& name, void* buffer, uint32_t* size, Type* type) const {
  if (!IsOpen() || !size) return false;
  const auto it = m_values.find(name);
  if (it == m_values.end()) {
    *size = 0;
    return false;
  }
  const Value& v = it->second;
  const uint32_t needed = static_cast<uint32_t>(v.bytes.size()) + (v.type == Type::String ? 1u : 0u);
  if (type) *type = v.type;
  if (!buffer || needed > *size) {
    *size = needed;
    return false;
  }
  std::memcpy(buffer, v.bytes.data(), v.bytes.size());
  if (v.type == Type::String) static_cast<char*>(buffer)[v.bytes.size()] = 0;
  *size = needed;
  return true;
}

bool CRegistryKey::SetString(const std::string& name, const std::string& text) {
  if (!IsOpen()) return false;
  m_values[name] = Value{Type::String, text};
  return Save();
}

bool CRegistryKey::SetBinary(const std::string& name, const void* data, uint32_t size) {
  if (!IsOpen()) return false;
  m_values[name] = Value{Type::Binary, std::string(static_cast<const char*>(data), size)};
  return Save();
}

bool CRegistryKey::DeleteValue(const std::string& name) {
  if (!IsOpen()) return false;
  m_values.erase(name);
  return Save();
}

}  // namespace platform
