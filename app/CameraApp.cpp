#include "app/CameraApp.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "app/RegistrySettings.h"
#include "app/SingletonWindowMgr.h"
#include "framework/Messages.h"
#include "framework/Wnd.h"
#include "infra/Logger.h"
#include "platform/ProgramDir.h"
#include "platform/Tick.h"

namespace {

std::atomic<platform::CNamedEvent*> g_signalStopEvent{nullptr};

// SIGINT and SIGTERM end a run like "-stop" does, through the normal shutdown steps.
void OnStopSignal(int) {
  if (platform::CNamedEvent* event = g_signalStopEvent.load()) event->Set();
}

void InstallStopSignals(platform::CNamedEvent* event) {
  g_signalStopEvent.store(event);
  struct sigaction sa{};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

void RemoveStopSignals() {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  g_signalStopEvent.store(nullptr);
}

void TouchEmpty(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) close(fd);
}

}  // namespace

bool CCameraApp::HasStopSwitch(const std::string& commandLine) {
  const auto dash = commandLine.find('-');
  if (dash == std::string::npos) return false;
  const size_t from = dash == 0 ? 0 : dash - 1;
  return commandLine.find("-stop", from) != std::string::npos;
}

void CreateSeedFiles() {
  const std::string& dir = platform::ConvertorDirectory();
  TouchEmpty(dir + "seed.yuv");
  TouchEmpty(dir + "seed.s16le");
}

void DeleteSeedFiles() {
  const std::string& dir = platform::ConvertorDirectory();
  for (const char* name : {"seed.yuv", "seed.s16le", "temp.flv"}) unlink((dir + name).c_str());
}

void NotifyShutdown() {
  if (CWnd* wnd = GetMainWnd(); wnd && wnd->IsWindowEnabled())
    wnd->PostMessage(WM_APP_QUIT, reinterpret_cast<uintptr_t>(wnd), static_cast<intptr_t>(getpid()));
  GetSingletonWindowMgr()->StopEvent().Set();
}

int CCameraApp::RunLoginCycle(int /*previousResult*/) {
  // Until the dialogs exist, a cycle lasts until the stop event fires.
  GetSingletonWindowMgr()->StopEvent().Wait(UINT32_MAX);
  return 0;
}

int CCameraApp::RunApplication(const std::string& commandLine) {
  // Sockets: a peer that goes away must give an error, not end the process.
  signal(SIGPIPE, SIG_IGN);
  platform::SetProgramDirectory(platform::DirectoryOf(platform::ExecutablePath()));
  dlopen((platform::ProgramDirectory() + "CrashkitPlugin.so").c_str(), RTLD_NOW);
  LoadSettings();

  const bool stop = HasStopSwitch(commandLine);
  for (int tries = 1;; ++tries) {
    const int running = GetSingletonWindowMgr()->CheckRunningInstance(stop ? 1 : 0);
    if (stop) {
      ReleaseSingletonWindowMgr();
      return 0;
    }
    if (running == 0) break;
    if (tries > 5) {
      ReleaseSingletonWindowMgr();
      return 0;
    }
    platform::SleepMs(3000);
  }

  CSingletonWindowMgr* manager = GetSingletonWindowMgr();
  manager->RegisterInstance(nullptr, nullptr);
  InstallStopSignals(&manager->StopEvent());

  InitLog(0);
  Log("Vantor Home Camera startup!");

  CreateSeedFiles();

  int result = RunLoginCycle(0);
  while (result != 0) result = RunLoginCycle(result);

  NotifyShutdown();
  platform::SleepMs(200);

  Log("Vantor Home Camera shutdown!");
  platform::SleepMs(500);

  RemoveStopSignals();
  DeleteSeedFiles();
  ReleaseSingletonWindowMgr();
  CloseLog();
  return 0;
}
