#include "app/LiveUpdateStart.h"

#include <cstdlib>
#include <sstream>
#include <string>

#include "camera_config/CameraInfo.h"
#include "framework/Messages.h"
#include "framework/Wnd.h"
#include "infra/Logger.h"
#include "platform/ProgramDir.h"
#include "platform/Tick.h"
#include "update/LiveUpdate.h"

namespace {

// Keeps the release note for the restart message; the other notifications are only logged.
class CCameraUpdateClient : public CLiveUpdateClient {
 public:
  CCameraUpdateClient() : CLiveUpdateClient(platform::ProgramDirectory().c_str()) {}
  ~CCameraUpdateClient() override { StopEngine(); }

  bool OnGetDownloadList(const char* text) override {
    m_releaseNote = text ? text : "";
    return true;
  }
  bool OnUpdateFinish() override {
    // A quick update may end before the first window is shown; the message waits for it.
    CWnd* wnd = GetMainWnd();
    for (int i = 0; !wnd && i < 300 && !Engine()->IsCancelRequested(); ++i) {
      platform::SleepMs(100);
      wnd = GetMainWnd();
    }
    // The note outlives the message: this object lives until the process ends.
    if (wnd) wnd->PostMessage(WM_NEW_VERSION, reinterpret_cast<uintptr_t>(m_releaseNote.c_str()), 0);
    return true;
  }
  bool OnTryDownloadCenter(const char* text) override {
    Log("CLiveUpdate::OnTryDownloadCenter %s", text ? text : "");
    return true;
  }
  bool OnException(const char* text) override {
    Log("CLiveUpdate::OnException %s", text ? text : "");
    return true;
  }

 private:
  std::string m_releaseNote;
};

}  // namespace

void StartLiveUpdate() {
  static CCameraUpdateClient client;
  CLiveUpdate* engine = client.Engine();
  engine->SetDirectory(platform::ProgramDirectory().c_str());
  engine->SetDirectory(platform::ProgramDirectory().c_str());
  const char* configured = std::getenv("VTCAM_UPDATE_URL");
  if (configured && *configured) {
    std::stringstream urls(configured);
    for (std::string url; std::getline(urls, url, ';');)
      if (!url.empty()) engine->AddServer(url.c_str(), "vtcam.xml");
  } else {
    engine->AddServer(("http://" + DefaultServerAddress() + "/liveupdate").c_str(), "vtcam.xml");
  }
  engine->Start(&client);
  engine->Wait(100);
}
