#pragma once
// One sample of a process's threads from /proc/<pid>/task: context switches (voluntary and
// involuntary together) and kernel and user time in 100 ns units.
#include <cstdint>
#include <map>

namespace sentrel {

struct ThreadRecord {
  uint64_t kernelTime = 0;  // 100 ns
  uint64_t userTime = 0;    // 100 ns
  uint32_t contextSwitches = 0;
};

class ThreadSnapshot {
 public:
  // -1 samples the first process listed.
  explicit ThreadSnapshot(int pid) : m_pid(pid) {}
  // Replaces the threads by a new sample; an unknown process leaves the map empty.
  void Fill();
  const std::map<uint32_t, ThreadRecord>& Threads() const { return m_threads; }

 private:
  int m_pid;
  std::map<uint32_t, ThreadRecord> m_threads;
};

}  // namespace sentrel
