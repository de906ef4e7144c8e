#pragma once
// CUpdateList: the update server's list of files (XML or INI syntax) with one release note.
// Used by the update thread only; not thread-safe.
#include <string>
#include <vector>

struct UpdateEntry {
  std::string version;  // four-part version text
  std::string name;     // relative to the program directory; "\" separates folders
  std::string md5;      // hexadecimal, any case; empty: not checked
  int zipped = 0;
};

class CUpdateList {
 public:
  // Replaces the content; true when the release note came out non-empty.
  bool Load(const std::string& path);

  // Walking: Rewind, then Next up to each entry in turn.
  void Rewind() { m_cursor = -1; }
  bool Next();
  const char* Current() const;  // the cursor entry's name; nullptr at the end
  const UpdateEntry* CurrentEntry() const;
  bool RemoveCurrent();  // false when no entry follows the removed one
  int GetCount() const { return static_cast<int>(m_entries.size()); }
  const std::string& GetReleaseNote() const { return m_releaseNote; }

  // For the cursor entry. localPath is a local file path ("/" separators).
  bool NeedsUpdate(const std::string& localPath) const;
  int CheckDownloaded(const std::string& path) const;  // 0 matches, 1 zipped, -1 wrong
  bool MatchesMd5(const std::string& path) const;

 private:
  bool LoadXml(const std::string& path);
  void LoadIni(const std::string& path);

  std::vector<UpdateEntry> m_entries;
  std::string m_releaseNote;
  int m_cursor = -1;
};
