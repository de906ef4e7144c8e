#pragma once
// The attach-and-dump watchdog: finds, takes or starts its target, prints every exception
// with its description, and on the first error-severity one runs "./Crashkit.sh <pid>
// <tid> <address>"; or, with -s, lists the threads that switched context often.
#include <sys/types.h>

#include <string>

#include "crash/watchdog/DebugSession.h"

namespace sentrel {

class CSentrel {
 public:
  // The whole run; returns the exit code.
  int Run(int argc, char** argv);

 private:
  enum Mode { kSearch = 0, kProcessId = 1, kThreadCheck = 2, kStartProgram = 3, kRestartScript = 4 };

  void PrintUsage(const char* self) const;
  void Search(const std::string& name);
  int ThreadCheck(int argc, char** argv) const;
  int DebugLoop();
  bool RunDumpScript(const DebugEvent& event);
  void StartRestartScript() const;

  int m_mode = kSearch;
  bool m_quiet = false;
  bool m_restart = false;
  pid_t m_target = -1;
  std::string m_processName = "quillon";
  std::string m_restartScript;
  std::string m_toolDirectory = ".";
  CDebugSession m_session;
};

}  // namespace sentrel
