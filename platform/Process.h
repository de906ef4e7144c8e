#pragma once
// The process runner: a Windows-style command line is split into argv the way the C
// runtime splits it, the program is started with posix_spawn, and the child is always
// reaped: waited for by Wait(), or, when the object goes away first, by a background
// reaper, so no zombie is ever left behind.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Splits a command line with the C runtime's rules: blanks and tabs separate arguments,
// double quotes group, 2n backslashes before a quote give n backslashes and a quote that
// toggles quoting, 2n+1 give n backslashes and a literal quote, other backslashes are
// literal, and "" inside quotes gives a literal quote.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

enum class ConsoleMode { Shown, Hidden };  // Shown: inherit stdout/stderr; Hidden: /dev/null

class CProcess {
 public:
  enum class WaitResult { Exited, TimedOut, Failed };

  CProcess() = default;
  ~CProcess();  // never blocks: a running child is handed to the reaper
  CProcess(const CProcess&) = delete;
  CProcess& operator=(const CProcess&) = delete;

  // program: the file to run; when empty, argv[0] of the split command line is used.
  // Returns false (errno set, message in error) when the program cannot be started.
  bool Start(const std::string& program, const std::string& commandLine, ConsoleMode mode,
             std::string* error = nullptr);

  // Waits up to timeoutMs (UINT32_MAX: without limit). exitCode gets the exit status, or
  // 128 + signal number for a child killed by a signal.
  WaitResult Wait(uint32_t timeoutMs, int* exitCode = nullptr);

  void Kill(int signal = 9);
  pid_t Pid() const { return m_pid; }
  bool Running() const { return m_pid > 0 && !m_reaped; }

 private:
  pid_t m_pid = -1;
  bool m_reaped = false;
  int m_exitCode = 0;
};

}  // namespace platform
