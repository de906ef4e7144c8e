#include "update/UpdateList.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <fstream>

#include "infra/MD5Digest.h"
#include "infra/XmlDocument.h"
#include "platform/Profile.h"
#include "update/FileVersion.h"

bool CUpdateList::Load(const std::string& path) {
  m_entries.clear();
  m_releaseNote.clear();
  m_cursor = -1;
  char head[5] = {};
  {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    file.read(head, sizeof(head));
  }
  if (std::memcmp(head, "<?xml", 5) != 0 || !LoadXml(path)) LoadIni(path);
  return !m_releaseNote.empty();
}

bool CUpdateList::LoadXml(const std::string& path) {
  CXmlDocument xml;
  if (!xml.LoadFromFile(path)) return false;
  xml.ResetPosition();
  if (!xml.FindNextElement() || !xml.EnterElement()) return false;
  while (xml.FindNextElement()) {
    const std::string tag = xml.GetElementName();
    if (tag == "File") {
      UpdateEntry entry;
      entry.name = xml.GetAttribute("path") + xml.GetAttribute("name");
      entry.version = xml.GetAttribute("version");
      entry.md5 = xml.GetAttribute("md5");
      entry.zipped = xml.GetAttribute("zipped") == "true" ? 1 : 0;
      m_entries.push_back(std::move(entry));
    } else if (tag == "ReleaseNote") {
      m_releaseNote = xml.GetElementText();
    }
  }
  if (m_releaseNote.empty()) m_releaseNote = "No message.";
  return true;
}

void CUpdateList::LoadIni(const std::string& path) {
  m_entries.clear();
  m_releaseNote.clear();
  // The profile calls take a bare name as one in the system profile folder.
  const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  for (const std::string& section : platform::GetProfileSectionNames(file.c_str())) {
    if (!platform::GetProfileString(section.c_str(), "__TYPE", "", file.c_str()).empty()) continue;
    std::string text, directory, version = "0.0.0.0", md5, zipped;
    for (const std::string& line : platform::GetProfileSectionLines(section.c_str(), file.c_str())) {
      const auto take = [&line](const char* key, std::string* out) {
        const size_t n = std::strlen(key);
        if (line.compare(0, n, key) == 0) *out = line.substr(n);
      };
      take("text=", &text);
      take("directory=", &directory);
      take("version=", &version);
      take("md5=", &md5);
      take("zipped=", &zipped);
    }
    if (strcasecmp(section.c_str(), "ReleaseNote") == 0) {
      m_releaseNote = text;
    } else {
      m_entries.push_back({version, directory + section, md5, zipped == "true" ? 1 : 0});
    }
  }
}

bool CUpdateList::Next() {
  if (m_cursor + 1 >= GetCount()) {
    m_cursor = GetCount();
    return false;
  }
  ++m_cursor;
  return true;
}

const UpdateEntry* CUpdateList::CurrentEntry() const {
  return m_cursor >= 0 && m_cursor < GetCount() ? &m_entries[static_cast<size_t>(m_cursor)] : nullptr;
}

const char* CUpdateList::Current() const {
  const UpdateEntry* entry = CurrentEntry();
  return entry ? entry->name.c_str() : nullptr;
}

bool CUpdateList::RemoveCurrent() {
  if (!CurrentEntry()) return false;
  m_entries.erase(m_entries.begin() + m_cursor);
  return m_cursor < GetCount();
}

bool CUpdateList::NeedsUpdate(const std::string& localPath) const {
  const UpdateEntry* entry = CurrentEntry();
  if (!entry) return false;
  const update::FileVersion local = update::ReadFileVersion(localPath);
  const update::FileVersion wanted = update::ParseVersionText(entry->version);
  if (local < wanted) return true;
  return local == wanted && local.IsZero() && !MatchesMd5(localPath);
}

int CUpdateList::CheckDownloaded(const std::string& path) const {
  if (MatchesMd5(path)) return 0;
  const UpdateEntry* entry = CurrentEntry();
  return entry && entry->zipped ? 1 : -1;
}

bool CUpdateList::MatchesMd5(const std::string& path) const {
  const UpdateEntry* entry = CurrentEntry();
  if (!entry || entry->md5.empty()) return true;
  CMD5Digest digest;
  const char* hex = digest.GetFileHexDigest(path.c_str());
  if (!hex) return false;
  std::string wanted = entry->md5;
  for (char& c : wanted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return wanted == hex;
}
