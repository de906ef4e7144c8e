#pragma once
// The single-instance rule. A running instance holds "<program file>._lock" (exclusive
// flock) with a record naming its stop event:
//   offset 0: kind (0x1001 window record, 0x1002 event record), little-endian 32-bit
//   kind 0x1002: offset 4 name length n, offset 8 the name (n bytes, not terminated)
//   kind 0x1001: offset 4 window handle, offset 8 message number
// A second start finds the record and either stops the running instance ("-stop") or
// leaves it alone. Used by the start-up thread only.
#include <cstdint>
#include <string>

#include "platform/NamedEvent.h"

class CSingletonWindowMgr {
 public:
  static constexpr uint32_t kKindWindow = 0x1001;
  static constexpr uint32_t kKindEvent = 0x1002;
  using WaitCallback = void (*)();

  CSingletonWindowMgr();
  virtual ~CSingletonWindowMgr();
  CSingletonWindowMgr(const CSingletonWindowMgr&) = delete;
  CSingletonWindowMgr& operator=(const CSingletonWindowMgr&) = delete;

  virtual void SignalStop();
  virtual void ShowExisting();

  // Non-zero when start-up must not go on now.
  int CheckRunningInstance(int stopMode);
  // Writes the event record and creates the stop event; returns the last write's result.
  int RegisterInstance(WaitCallback callback, const char* eventName);

  platform::CNamedEvent& StopEvent() { return m_stopEvent; }
  std::string LockPath() const;
  // The program file the lock path is built from; defaults to the running executable.
  void SetProgramFile(const std::string& path) {
    m_programFile = path;
    m_lockPath.clear();
  }

 private:
  uint32_t m_kind = 0;
  uint32_t m_window = 0;
  uint32_t m_message = 0;
  platform::CNamedEvent m_stopEvent;
  int m_lockFile = -1;
  char m_suffix[260] = "_lock";
  platform::CNamedEvent* m_waitEvent = nullptr;
  WaitCallback m_waitCallback = nullptr;
  std::string m_programFile;
  mutable std::string m_lockPath;
};

CSingletonWindowMgr* GetSingletonWindowMgr();
void ReleaseSingletonWindowMgr();
