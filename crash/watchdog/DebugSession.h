#pragma once
// The watchdog's hold on its target through ptrace: attach to a running process (all its
// threads), or start a program traced (its children and threads followed). Events come as
// exceptions: fatal signals mapped to exception codes, the attach or start stop as the
// initial breakpoint, SIGINT as the Ctrl-C code. Ordinary signals pass to the target
// unseen. When the watchdog ends, the kernel detaches every tracee and the target runs on.
#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>

namespace sentrel {

struct DebugEvent {
  enum Kind { Exception, ExitProcess, WaitFailed };
  Kind kind = WaitFailed;
  pid_t tid = 0;
  uint64_t address = 0;  // the faulting instruction
  uint32_t code = 0;
  int signal = 0;  // handed on when the event is continued without a retry
};

class CDebugSession {
 public:
  // false with errno set.
  bool Attach(pid_t pid);
  bool Start(const std::string& commandLine, pid_t* pid);

  DebugEvent WaitForEvent();
  // retry: the faulting instruction runs again instead of the signal being delivered.
  void Continue(const DebugEvent& event, bool retry);

 private:
  uint64_t InstructionPointer(pid_t tid) const;

  pid_t m_target = -1;
  bool m_initialStopPending = false;
  std::set<pid_t> m_known;
};

}  // namespace sentrel
