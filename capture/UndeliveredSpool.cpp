#include "capture/UndeliveredSpool.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "infra/Logger.h"
#include "platform/ProgramDir.h"

namespace fs = std::filesystem;

namespace {

// A clip being copied in: never listed, so a crash mid-copy leaves no half clip to send.
constexpr const char* kPartSuffix = ".part";

bool IsPart(const std::string& name) {
  return name.size() >= 5 && name.compare(name.size() - 5, 5, kPartSuffix) == 0;
}

}  // namespace

CUndeliveredSpool::CUndeliveredSpool(std::string folder, uint64_t budgetBytes)
    : m_folder(std::move(folder)), m_budget(budgetBytes) {}

std::vector<CUndeliveredSpool::Entry> CUndeliveredSpool::ListLocked(int channel) const {
  std::vector<Entry> entries;
  std::error_code ec;
  for (const auto& dir : fs::directory_iterator(m_folder, ec)) {
    if (!dir.is_directory(ec)) continue;
    if (channel >= 0 && dir.path().filename() != std::to_string(channel)) continue;
    for (const auto& file : fs::directory_iterator(dir.path(), ec)) {
      struct stat st {};
      const std::string path = file.path().string();
      if (IsPart(path) || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      entries.push_back({path, int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec,
                         static_cast<uint64_t>(st.st_size)});
    }
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.mtimeNs != b.mtimeNs ? a.mtimeNs < b.mtimeNs : a.path < b.path;
  });
  return entries;
}

bool CUndeliveredSpool::Keep(int channel, const std::string& localPath, const std::string& remoteName) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::error_code ec;
  const uint64_t size = fs::file_size(localPath, ec);
  if (ec || size > m_budget || remoteName.empty() || remoteName.find('/') != std::string::npos) {
    Log("CUndeliveredSpool::Keep cannot keep %s (%llu bytes) as %s.", localPath.c_str(),
        static_cast<unsigned long long>(ec ? 0 : size), remoteName.c_str());
    return false;
  }
  std::vector<Entry> all = ListLocked(-1);
  uint64_t total = 0;
  for (const Entry& e : all) total += e.bytes;
  for (const Entry& e : all) {
    if (total + size <= m_budget) break;
    fs::remove(e.path, ec);
    total -= e.bytes;
    Log("CUndeliveredSpool::Keep dropped the oldest clip %s (%llu bytes) to stay within %llu bytes.", e.path.c_str(),
        static_cast<unsigned long long>(e.bytes), static_cast<unsigned long long>(m_budget));
  }

  const std::string dir = m_folder + std::to_string(channel) + "/";
  fs::create_directories(dir, ec);
  const std::string target = dir + remoteName;
  // The temporary folder is often another file system: copy, then rename into place.
  if (rename(localPath.c_str(), target.c_str()) != 0) {
    const std::string part = target + kPartSuffix;
    if (!fs::copy_file(localPath, part, fs::copy_options::overwrite_existing, ec) ||
        rename(part.c_str(), target.c_str()) != 0) {
      fs::remove(part, ec);
      LogWithLastError("CUndeliveredSpool::Keep cannot write %s.", target.c_str());
      return false;
    }
    fs::remove(localPath, ec);
  }
  Log("CUndeliveredSpool::Keep [channel:%d] %s waits in %s for a later upload (%llu bytes waiting).", channel,
      remoteName.c_str(), dir.c_str(), static_cast<unsigned long long>(total + size));
  return true;
}

std::vector<std::string> CUndeliveredSpool::Waiting(int channel) const {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<std::string> paths;
  for (const Entry& e : ListLocked(channel)) paths.push_back(e.path);
  return paths;
}

void CUndeliveredSpool::Remove(const std::string& path) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::error_code ec;
  fs::remove(path, ec);
}

uint64_t CUndeliveredSpool::TotalBytes() const {
  std::lock_guard<std::mutex> guard(m_lock);
  uint64_t total = 0;
  for (const Entry& e : ListLocked(-1)) total += e.bytes;
  return total;
}

CUndeliveredSpool& GetUndeliveredSpool() {
  // Never destroyed: upload workers may still use it while the process exits.
  static auto* spool = new CUndeliveredSpool(platform::ProgramDirectory() + "undelivered/",
                                             CUndeliveredSpool::kDefaultBudgetBytes);
  return *spool;
}
