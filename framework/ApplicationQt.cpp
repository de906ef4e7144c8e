#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "framework/Application.h"
#include "framework/QtInternal.h"
#include "framework/TrayIcon.h"
#include "framework/Messages.h"

// Resources of a static library must be registered from outside any namespace.
static void InitIconResources() { Q_INIT_RESOURCE(icons); }

namespace framework {
namespace {
std::unique_ptr<QApplication> g_app;
int g_argc = 1;
char g_arg0[] = "VantorHomeCamera";
char* g_argv[] = {g_arg0, nullptr};
}  // namespace

void InitApplication(int* argc, char** argv) {
  if (QCoreApplication::instance()) return;
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((!display || !*display) && (!wayland || !*wayland) && !std::getenv("QT_QPA_PLATFORM"))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  InitIconResources();
  if (argc && argv) g_app = std::make_unique<QApplication>(*argc, argv);
  else g_app = std::make_unique<QApplication>(g_argc, g_argv);
  QApplication::setQuitOnLastWindowClosed(false);
}

void ShutdownApplication() { g_app.reset(); }

bool HasApplication() { return QCoreApplication::instance() != nullptr; }

void ProcessEvents(int ms) {
  QElapsedTimer timer;
  timer.start();
  do {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::sendPostedEvents();
  } while (timer.elapsed() < ms);
}

bool HasScreen() { return QGuiApplication::platformName() != "offscreen" && QGuiApplication::platformName() != "minimal"; }

bool HasTray() { return HasScreen() && QSystemTrayIcon::isSystemTrayAvailable(); }

}  // namespace framework

QIcon LoadIconResource(int resource) { return QIcon(QString(":/icons/%1.xpm").arg(resource)); }

class TrayIconImpl {
 public:
  std::unique_ptr<QSystemTrayIcon> icon;
  std::string tip;
};

CTrayIcon::CTrayIcon() : m_impl(std::make_unique<TrayIconImpl>()) {}
CTrayIcon::~CTrayIcon() = default;

bool CTrayIcon::Add(CDialog* owner, int iconId, int iconResource, const std::string& tip) {
  m_impl->tip = tip;
  if (!framework::HasTray()) return false;
  m_impl->icon = std::make_unique<QSystemTrayIcon>(LoadIconResource(iconResource));
  m_impl->icon->setToolTip(QString::fromStdString(tip));
  QObject::connect(m_impl->icon.get(), &QSystemTrayIcon::activated,
                   [owner, iconId](QSystemTrayIcon::ActivationReason reason) {
                     if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                       owner->PostMessage(WM_TRAY_CALLBACK, static_cast<uintptr_t>(iconId), WM_LBUTTONDOWN);
                     else if (reason == QSystemTrayIcon::Context)
                       owner->PostMessage(WM_TRAY_CALLBACK, static_cast<uintptr_t>(iconId), WM_RBUTTONDOWN);
                   });
  m_impl->icon->show();
  return true;
}

void CTrayIcon::Remove() { m_impl->icon.reset(); }
bool CTrayIcon::IsAdded() const { return m_impl->icon != nullptr && framework::HasTray(); }
std::string CTrayIcon::Tip() const { return m_impl->tip; }
