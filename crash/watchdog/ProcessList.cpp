#include "crash/watchdog/ProcessList.h"

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace sentrel {

namespace {

std::string FileNameOf(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  char target[PATH_MAX];
  const ssize_t length = readlink((base + "/exe").c_str(), target, sizeof target - 1);
  if (length > 0) {
    std::string path(target, static_cast<size_t>(length));
    // A replaced or removed executable keeps its old name behind this marker.
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
      path.resize(path.size() - deleted.size());
    }
    return path.substr(path.rfind('/') + 1);
  }
  std::string name;
  std::getline(std::ifstream(base + "/comm"), name);
  return name;
}

}  // namespace

std::vector<ProcessEntry> ListProcesses() {
  std::vector<ProcessEntry> processes;
  DIR* proc = opendir("/proc");
  if (!proc) return processes;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    ProcessEntry process{static_cast<pid_t>(pid), FileNameOf(static_cast<pid_t>(pid))};
    if (!process.fileName.empty()) processes.push_back(process);
  }
  closedir(proc);
  std::sort(processes.begin(), processes.end(), [](const ProcessEntry& a, const ProcessEntry& b) { return a.pid < b.pid; });
  return processes;
}

}  // namespace sentrel
