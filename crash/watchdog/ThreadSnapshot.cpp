#include "crash/watchdog/ThreadSnapshot.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "crash/watchdog/ProcessList.h"

namespace sentrel {

namespace {

// Kernel and user time from the stat line; the name in parentheses may hold blanks.
bool ReadTimes(const std::string& dir, ThreadRecord& record) {
  std::string line;
  if (!std::getline(std::ifstream(dir + "/stat"), line)) return false;
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  uint64_t utime = 0;
  uint64_t stime = 0;
  // After the name: state is field 3, utime field 14, stime field 15.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) utime = strtoull(field.c_str(), nullptr, 10);
    if (index == 15) stime = strtoull(field.c_str(), nullptr, 10);
  }
  const uint64_t per100ns = 10000000 / static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
  record.userTime = utime * per100ns;
  record.kernelTime = stime * per100ns;
  return true;
}

void ReadContextSwitches(const std::string& dir, ThreadRecord& record) {
  std::ifstream status(dir + "/status");
  uint64_t total = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
      total += strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
    }
  }
  record.contextSwitches = static_cast<uint32_t>(total);
}

}  // namespace

void ThreadSnapshot::Fill() {
  int pid = m_pid;
  if (pid == -1) {
    const std::vector<ProcessEntry> all = ListProcesses();
    if (all.empty()) return;
    pid = all.front().pid;
  }
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  m_threads.clear();
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    char* end = nullptr;
    const unsigned long tid = strtoul(entry->d_name, &end, 10);
    if (*end != '\0' || tid == 0) continue;
    ThreadRecord record;
    const std::string taskDir = tasks + "/" + entry->d_name;
    if (!ReadTimes(taskDir, record)) continue;  // ended meanwhile
    ReadContextSwitches(taskDir, record);
    m_threads[static_cast<uint32_t>(tid)] = record;
  }
  closedir(dir);
}

}  // namespace sentrel
