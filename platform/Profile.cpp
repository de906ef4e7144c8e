#include "platform/Profile.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/AtomicFile.h"
#include "platform/FixedText.h"

namespace platform {
namespace {

struct Line {
  std::string raw;
  std::string key;    // empty for lines that are not key=value
  std::string value;  // trimmed, quotes removed
};

struct Section {
  std::string name;
  std::vector<Line> lines;
};

struct Document {
  std::vector<Line> preamble;  // lines before the first section
  std::vector<Section> sections;
};

std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n";
  const auto b = s.find_first_not_of(ws);
  if (b == std::string::npos) return {};
  const auto e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

std::string Unquote(std::string v) {
  if (v.size() >= 2 && ((v.front() == '"' && v.back() == '"') || (v.front() == '\'' && v.back() == '\'')))
    return v.substr(1, v.size() - 2);
  return v;
}

bool SameName(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

Document Parse(const std::string& path) {
  Document doc;
  std::ifstream in(path, std::ios::binary);
  std::string raw;
  while (std::getline(in, raw)) {
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    const std::string t = Trim(raw);
    if (!t.empty() && t.front() == '[') {
      const auto close = t.find(']');
      Section s;
      s.name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      doc.sections.push_back(std::move(s));
      continue;
    }
    Line line{raw, {}, {}};
    if (!t.empty() && t.front() != ';') {
      const auto eq = t.find('=');
      if (eq != std::string::npos && eq > 0) {
        line.key = Trim(t.substr(0, eq));
        line.value = Unquote(Trim(t.substr(eq + 1)));
      }
    }
    if (doc.sections.empty()) doc.preamble.push_back(std::move(line));
    else doc.sections.back().lines.push_back(std::move(line));
  }
  return doc;
}

bool Store(const std::string& path, const Document& doc) {
  std::ostringstream out;
  for (const auto& l : doc.preamble) out << l.raw << "\r\n";
  for (const auto& s : doc.sections) {
    out << '[' << s.name << "]\r\n";
    for (const auto& l : s.lines) out << l.raw << "\r\n";
  }
  return ReplaceFileAtomically(path, out.str());
}

Section* FindSection(Document& doc, const char* name) {
  for (auto& s : doc.sections)
    if (SameName(s.name, name)) return &s;
  return nullptr;
}

// Copies a list of texts as "a\0b\0\0"; on overflow the list is cut and ends in two zeros,
// and size - 2 is returned, as the classic call does.
uint32_t CopyList(const std::vector<std::string>& items, char* out, uint32_t size) {
  if (!out || size == 0) return 0;
  if (size == 1) {
    out[0] = 0;
    return 0;
  }
  uint32_t pos = 0;
  for (const auto& item : items) {
    if (pos + item.size() + 2 > size) {
      const uint32_t room = size - 2 - pos;
      std::memcpy(out + pos, item.data(), room);
      out[size - 2] = 0;
      out[size - 1] = 0;
      return size - 2;
    }
    std::memcpy(out + pos, item.data(), item.size());
    pos += static_cast<uint32_t>(item.size());
    out[pos++] = 0;
  }
  out[pos] = 0;
  if (pos == 0 && size > 1) out[1] = 0;
  return pos;
}

uint32_t CopyText(const std::string& text, char* out, uint32_t size) {
  return static_cast<uint32_t>(CopyCut(out, size, text));
}

}  // namespace

std::string SystemProfileDirectory() {
  std::string base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) base = xdg;
  else if (const char* home = std::getenv("HOME"); home && *home) base = std::string(home) + "/.config";
  else base = "/tmp";
  if (base.back() != '/') base += '/';
  std::string dir = base + "Norvane/";
  mkdir(base.c_str(), 0700);
  mkdir(dir.c_str(), 0700);
  return dir;
}

std::string ResolveProfilePath(const char* file) {
  if (!file || !*file) return SystemProfileDirectory() + "win.ini";
  if (std::strchr(file, '/') == nullptr) return SystemProfileDirectory() + file;
  return file;
}

uint32_t GetPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                 char* out, uint32_t size, const char* file) {
  Document doc = Parse(ResolveProfilePath(file));
  if (!section) {
    std::vector<std::string> names;
    for (const auto& s : doc.sections) names.push_back(s.name);
    return CopyList(names, out, size);
  }
  Section* s = FindSection(doc, section);
  if (!key) {
    std::vector<std::string> keys;
    if (s)
      for (const auto& l : s->lines)
        if (!l.key.empty()) keys.push_back(l.key);
    return CopyList(keys, out, size);
  }
  if (s) {
    for (const auto& l : s->lines)
      if (!l.key.empty() && SameName(l.key, key)) return CopyText(l.value, out, size);
  }
  std::string def = defaultValue ? defaultValue : "";
  while (!def.empty() && def.back() == ' ') def.pop_back();
  return CopyText(def, out, size);
}

uint32_t GetPrivateProfileSection(const char* section, char* out, uint32_t size, const char* file) {
  return CopyList(GetProfileSectionLines(section, file), out, size);
}

std::vector<std::string> GetProfileSectionLines(const char* section, const char* file) {
  std::vector<std::string> lines;
  if (!section) return lines;
  Document doc = Parse(ResolveProfilePath(file));
  if (Section* s = FindSection(doc, section)) {
    for (const auto& l : s->lines) {
      const std::string t = Trim(l.raw);
      if (t.empty() || t.front() == ';') continue;
      lines.push_back(t);
    }
  }
  return lines;
}

std::vector<std::string> GetProfileSectionNames(const char* file) {
  std::vector<std::string> names;
  for (const auto& s : Parse(ResolveProfilePath(file)).sections) names.push_back(s.name);
  return names;
}

std::string GetProfileString(const char* section, const char* key, const char* defaultValue,
                             const char* file) {
  std::vector<char> buf(4096);
  const uint32_t n = GetPrivateProfileString(section, key, defaultValue, buf.data(),
                                             static_cast<uint32_t>(buf.size()), file);
  return std::string(buf.data(), n);
}

bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const char* file) {
  if (!section) return false;
  const std::string path = ResolveProfilePath(file);
  Document doc = Parse(path);
  Section* s = FindSection(doc, section);
  if (!key) {
    if (!s) return true;
    std::erase_if(doc.sections, [&](const Section& x) { return SameName(x.name, section); });
    return Store(path, doc);
  }
  if (!s) {
    if (!value) return true;
    doc.sections.push_back(Section{section, {}});
    s = &doc.sections.back();
  }
  for (auto it = s->lines.begin(); it != s->lines.end(); ++it) {
    if (it->key.empty() || !SameName(it->key, key)) continue;
    if (!value) s->lines.erase(it);
    else *it = Line{std::string(key) + "=" + value, key, value};
    return Store(path, doc);
  }
  if (!value) return true;
  // New keys go after the section's last key, before trailing blank lines.
  auto pos = s->lines.end();
  while (pos != s->lines.begin() && Trim(std::prev(pos)->raw).empty()) --pos;
  s->lines.insert(pos, Line{std::string(key) + "=" + value, key, value});
  return Store(path, doc);
}

bool WritePrivateProfileStruct(const char* section, const char* key, const void* data,
                               uint32_t size, const char* file) {
  if (!data) return WritePrivateProfileString(section, key, nullptr, file);
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string hex;
  unsigned sum = 0;
  char pair[3];
  for (uint32_t i = 0; i < size; ++i) {
    std::snprintf(pair, sizeof(pair), "%02X", bytes[i]);
    hex += pair;
    sum += bytes[i];
  }
  std::snprintf(pair, sizeof(pair), "%02X", sum & 0xFFu);
  hex += pair;
  return WritePrivateProfileString(section, key, hex.c_str(), file);
}

bool GetPrivateProfileStruct(const char* section, const char* key, void* out, uint32_t size,
                             const char* file) {
  if (!section || !key || !out) return false;
  const std::string hex = GetProfileString(section, key, "", file);
  if (hex.size() != 2u * (size + 1u)) return false;
  std::vector<unsigned char> bytes(size + 1u);
  for (uint32_t i = 0; i <= size; ++i) {
    unsigned v = 0;
    for (int k = 0; k < 2; ++k) {
      const char c = hex[2 * i + static_cast<uint32_t>(k)];
      int d;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else return false;
      v = v * 16 + static_cast<unsigned>(d);
    }
    bytes[i] = static_cast<unsigned char>(v);
  }
  unsigned sum = 0;
  for (uint32_t i = 0; i < size; ++i) sum += bytes[i];
  if ((sum & 0xFFu) != bytes[size]) return false;
  std::memcpy(out, bytes.data(), size);
  return true;
}

}  // namespace platform
