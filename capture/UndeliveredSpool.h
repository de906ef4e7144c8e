#pragma once
// CUndeliveredSpool: alarm clips whose upload failed. Each waits in <folder><channel>/ under
// the remote name of its first try, so a later try (also after a restart) stores the same
// file name on the server. The whole folder is held to a byte budget: keeping a clip drops
// the oldest clips of any channel until the new one fits, with one log line each.
//
// Who may include it: capture/ (the alarm uploader) and tests. Any thread: operations on
// the folder are serialised by one lock.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class CUndeliveredSpool {
 public:
  static constexpr uint64_t kDefaultBudgetBytes = 200ull * 1024 * 1024;

  // folder ends in "/"; created when the first clip is kept.
  CUndeliveredSpool(std::string folder, uint64_t budgetBytes);

  // Moves localPath into the channel's folder as remoteName (a plain file name). False when
  // the clip could not be kept (then localPath is left as it was).
  bool Keep(int channel, const std::string& localPath, const std::string& remoteName);
  // The channel's waiting clips as full paths, oldest first.
  std::vector<std::string> Waiting(int channel) const;
  // A clip the server confirmed.
  void Remove(const std::string& path);
  uint64_t TotalBytes() const;
  const std::string& Folder() const { return m_folder; }

 private:
  struct Entry {
    std::string path;
    int64_t mtimeNs;
    uint64_t bytes;
  };
  // Every waiting clip of every channel, oldest first. Caller holds m_lock.
  std::vector<Entry> ListLocked(int channel) const;

  std::string m_folder;
  uint64_t m_budget;
  mutable std::mutex m_lock;
};

// The program's spool, "<program directory>undelivered/", 200 MB.
CUndeliveredSpool& GetUndeliveredSpool();
