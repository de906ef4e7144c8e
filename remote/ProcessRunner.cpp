#include "remote/ProcessRunner.h"

#include <atomic>

#include "infra/Logger.h"
#include "platform/Process.h"

namespace {
std::atomic<bool> g_windowShown{true};
}

void SetProcessWindowShown(bool shown) { g_windowShown.store(shown); }

uint32_t RunProcess(const std::string& commandLine, uint32_t waitMs, const std::string& program, OnWaitOver over) {
  platform::CProcess process;
  std::string error;
  const auto mode = g_windowShown.load() ? platform::ConsoleMode::Shown : platform::ConsoleMode::Hidden;
  if (!process.Start(program, commandLine, mode, &error)) {
    Log("RunProcess cannot start %s: %s", commandLine.c_str(), error.c_str());
    return 0;
  }
  const uint32_t pid = static_cast<uint32_t>(process.Pid());
  if (waitMs != 0 && process.Wait(waitMs) == platform::CProcess::WaitResult::TimedOut && over == OnWaitOver::kKill) {
    Log("RunProcess %s still running after %u ms, killed", commandLine.c_str(), waitMs);
    process.Kill();
    process.Wait(UINT32_MAX);
  }
  return pid;  // a child still running is reaped in the background
}
