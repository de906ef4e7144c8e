#include "app/CameraApp.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "app/CameraMainDlg.h"
#include "app/LiveUpdateStart.h"
#include "app/LoginDlg.h"
#include "app/RegistrySettings.h"
#include "camera_config/CameraInfoMgr.h"
#include "capture/AlarmUploader.h"
#include "capture/CameraWndMgr.h"
#include "media/CameraHttpServer.h"
#include "media/CameraChannels.h"
#include "remote/HostIdentity.h"
#include "remote/HttpBridge.h"
#include "remote/ProcessRunner.h"
#include "app/SingletonWindowMgr.h"
#include "framework/Messages.h"
#include "framework/Wnd.h"
#include "infra/Logger.h"
#include "platform/ProgramDir.h"
#include "platform/Thread.h"
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

namespace {

std::mutex g_serverThreadsLock;
std::vector<std::thread> g_serverThreads;

// The camera HTTP server's loop; when the stop event fires it hands the stop on to the
// main window and to the next waiting server thread.
// The bridge relay starts with it; its threads end with the process.
void ServerThreadProc() {
  remote::HttpBridge bridge;
  RunServer(GetSingletonWindowMgr()->StopEvent(), &NotifyShutdown);
}

void JoinServerThreads() {
  std::lock_guard<std::mutex> lock(g_serverThreadsLock);
  for (auto& t : g_serverThreads)
    if (t.joinable()) t.join();
  g_serverThreads.clear();
}

}  // namespace

int CCameraApp::RunLoginCycle(int previousResult) {
  CLoginDlg login;
  CCameraMainDlg main;
  login.SetAfterLogout(previousResult);
  login.SetStopEvent(&GetSingletonWindowMgr()->StopEvent());
  SetMainWnd(&login);
  const int result = login.DoModal();
  if (result == IDCANCEL) {
    SetMainWnd(nullptr);
    return 0;
  }
  // The window is the main window before the server thread starts, so that a stop that
  // comes at once still finds a window to end.
  SetMainWnd(&main);
  if (result == IDOK) {
    // One server thread serves every login of the run: a second one would re-arm the
    // pooled sessions under the viewers and converters the first one still serves.
    std::lock_guard<std::mutex> lock(g_serverThreadsLock);
    if (g_serverThreads.empty()) g_serverThreads.push_back(platform::StartNamedThread("tServer", ServerThreadProc));
  }
  main.DoModal();
  SetMainWnd(nullptr);
  return main.LogoutRequested();
}

int CCameraApp::RunApplication(const std::string& commandLine) {
  // Sockets: a peer that goes away must give an error, not end the process.
  signal(SIGPIPE, SIG_IGN);
  platform::SetProgramDirectory(platform::DirectoryOf(platform::ExecutablePath()));
  dlopen((platform::ProgramDirectory() + "CrashkitPlugin.so").c_str(), RTLD_NOW);
  LoadSettings();
  SetProcessWindowShown(Settings().showConvertorWindow != 0);

  CCameraInfoMgr& store = GetCameraInfoMgr();
  store.SetLocalAddressLookup(&GetLocalAddress);
  store.SetDefaults();
  store.LoadCameraInfo();

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

  SetCameraChannels(&GetCameraWndMgr());
  if (!StartServers()) {
    // The reason is in the log; the lock stays held until the process ends.
    return 0;
  }

  CreateSeedFiles();
  StartLiveUpdate();

  int result = RunLoginCycle(0);
  while (result != 0) result = RunLoginCycle(result);

  NotifyShutdown();
  platform::SleepMs(200);
  JoinServerThreads();

  ShutdownAlarmUploaders();
  store.SaveCameraInfo();
  Log("Vantor Home Camera shutdown!");
  platform::SleepMs(500);

  RemoveStopSignals();
  DeleteSeedFiles();
  ReleaseSingletonWindowMgr();
  CloseLog();
  return 0;
}
