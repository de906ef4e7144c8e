#include "media/CameraHttpServer.h"

#include <netinet/in.h>

#include <atomic>

#include "camera_config/CameraInfoMgr.h"
#include "infra/Logger.h"
#include "media/CameraRequestSession.h"
#include "media/ConvertorPort.h"
#include "media/RequestGuard.h"
#include "media/StreamConvertor.h"
#include "media/StreamConvertorSession.h"
#include "platform/NamedEvent.h"
#include "platform/Tick.h"
#include "remote/HttpRequestMgr.h"
#include "remote/PortMapping.h"

namespace {

constexpr int kListenRetries = 31;
constexpr uint32_t kMaintenancePeriodMs = 10000;

// Static storage, never destroyed: completion threads may still be finishing at exit.
CIOCPSocket& HttpListener() {
  static CIOCPSocket* listener = new CIOCPSocket;
  return *listener;
}

CCameraRequestSession* RequestSessions() {
  static CCameraRequestSession* sessions = new CCameraRequestSession[kRequestSessionCount];
  return sessions;
}

std::atomic<uint16_t> g_httpPort{0};

}  // namespace

uint16_t GetHttpListenPort() { return g_httpPort.load(); }

int StartServers() {
  CCameraInfoMgr& store = GetCameraInfoMgr();
  int port = store.ChooseListenPort();
  for (int retry = 0; !HttpListener().Listen(static_cast<uint16_t>(port), INADDR_ANY); ++retry) {
    if (retry >= kListenRetries) return 0;
    platform::SleepMs(1000);
    store.SetListenPort(0);  // a busy port is not kept: draw another
    port = store.ChooseListenPort();
  }
  g_httpPort.store(static_cast<uint16_t>(port));
  AddRedirectPort(static_cast<unsigned>(port));
  Log("Camera Http Server startup! listen port=%u", static_cast<unsigned>(port));

  uint32_t convertorPort = GetConvertorListenPort();
  for (int retry = 0; !ConvertorListener().Listen(static_cast<uint16_t>(convertorPort), INADDR_LOOPBACK); ++retry) {
    if (retry >= kListenRetries) return 0;
    platform::SleepMs(1000);
    ++convertorPort;
  }
  SetConvertorListenPort(convertorPort);
  Log("Convertor Listener startup! listen port=%u", convertorPort);
  return 1;
}

void MaintainServers() {
  CCameraRequestSession* sessions = RequestSessions();
  for (int i = 0; i < kRequestSessionCount; ++i) sessions[i].Maintenance();
  MaintainConvertorSessions();
  GetHttpRequestMgr().Sweep();
}

void RunServer(platform::CNamedEvent& stopEvent, void (*shutdown)()) {
  CCameraRequestSession* sessions = RequestSessions();
  for (int i = 0; i < kRequestSessionCount; ++i) {
    sessions[i].SetListener(&HttpListener());
    sessions[i].AcceptFrom();
  }
  ArmConvertorSessions();
  SetRequestPool(sessions, kRequestSessionCount);

  // The request guard runs between the maintenance runs, which keep their 10 s period.
  constexpr int kGuardRunsPerMaintenance = static_cast<int>(kMaintenancePeriodMs / kRequestGuardPeriodMs);
  for (int run = 1; !stopEvent.Wait(kRequestGuardPeriodMs); ++run) {
    GuardRequestSessions();
    if (run % kGuardRunsPerMaintenance == 0) MaintainServers();
  }
  SetConvertorsStopping(true);

  HttpListener().DestorySocket();
  ConvertorListener().DestorySocket();
  platform::SleepMs(500);
  Log("Camera Http Server shutdown!");
  if (shutdown) shutdown();
  platform::SleepMs(200);
}
