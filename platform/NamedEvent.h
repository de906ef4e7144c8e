#pragma once
// A named auto-reset event that another process can open and set: a POSIX named semaphore
// kept at 0 or 1. Set() raises it only when it is not already set; a successful Wait()
// consumes it, which is the auto-reset. The creator removes the name when it closes.
// Set and Wait are safe from any thread.
#include <semaphore.h>

#include <cstdint>
#include <string>

namespace platform {

class CNamedEvent {
 public:
  CNamedEvent() = default;
  ~CNamedEvent() { Close(); }
  CNamedEvent(const CNamedEvent&) = delete;
  CNamedEvent& operator=(const CNamedEvent&) = delete;

  bool Create(const std::string& name);  // new, not set; replaces a stale one of that name
  bool Open(const std::string& name);    // an existing event
  void Close();
  bool IsValid() const { return m_sem != SEM_FAILED; }

  bool Set();
  // true when the event was set (and is now reset), false on time-out. UINT32_MAX waits
  // without limit.
  bool Wait(uint32_t timeoutMs);

  // The semaphore name used for an event name ("/" and characters the kernel refuses are
  // replaced).
  static std::string SemaphoreName(const std::string& name);

 private:
  sem_t* m_sem = SEM_FAILED;
  std::string m_semName;
  bool m_owner = false;
};

}  // namespace platform
