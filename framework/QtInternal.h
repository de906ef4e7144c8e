#pragma once
// Internal header of the Qt implementation of framework/; include it only from
// framework/*Qt.cpp.
#include <QDialog>
#include <QEventLoop>
#include <QEvent>
#include <QImage>
#include <QLabel>
#include <QMutex>
#include <QPointer>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "framework/Dialog.h"
#include "framework/VideoView.h"

QIcon LoadIconResource(int resource);

// A posted window message travelling through the toolkit's event queue.
class PostedMessageEvent : public QEvent {
 public:
  static QEvent::Type EventType();
  PostedMessageEvent(uint32_t msg, uintptr_t w, intptr_t l)
      : QEvent(EventType()), message(msg), wParam(w), lParam(l) {}
  uint32_t message;
  uintptr_t wParam;
  intptr_t lParam;
};

class QtDialog : public QDialog {
 public:
  QtDialog(CDialog* owner);
  void Detach() { m_owner = nullptr; }

 protected:
  bool event(QEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;
  void timerEvent(QTimerEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void reject() override;

 private:
  CDialog* m_owner;
  bool m_exposeWatched = false;
};

struct ControlInfo {
  ControlKind kind;
  QPointer<QWidget> widget;
  uint32_t textRgb = 0;
  uint32_t backgroundRgb = 0;
  int icon = 0;
  uint32_t clickMessage = 0;
};

class DialogImpl {
 public:
  CDialog* owner = nullptr;
  QtDialog* dialog = nullptr;  // owned; deleted with the impl
  std::map<int, ControlInfo> controls;
  std::map<uint32_t, std::pair<int, uint32_t>> timers;  // id -> (toolkit timer id, period)
  std::vector<std::unique_ptr<CVideoView>> views;
  std::mutex postLock;  // a post and the destruction of the dialog never overlap
  bool alive = true;    // guarded by postLock
  int result = 0;
  bool modalRunning = false;
  bool ended = false;            // EndDialog came, perhaps from OnInitDialog before the loop
  QEventLoop* loop = nullptr;    // the modal run's own loop, which hiding does not end
  bool initialised = false;
  int focused = 0;                                      // control that had the focus last
  std::map<int, std::pair<QPointer<QLabel>, int>> bitmaps;  // slot -> (label, resource)
  QObject* focusWatcher = nullptr;                      // owned by the dialog widget

  // Tells each video view whether anybody can see it now: the window is up, neither
  // minimised nor hidden into the tray, on a real screen, and no earlier view (which lies
  // above it) covers it.
  void UpdateViewsSeen();
};

// The latest picture of one view, shared by the capture thread that writes it and the
// widget that paints it.
struct FrameStore {
  QMutex lock;
  std::vector<uint8_t> pixels;  // top-down BGR, ready to paint
  int width = 0, height = 0;
  std::atomic<bool> repaintPending{false};
  // Written on the user-interface thread; a picture nobody can see is neither copied nor
  // painted.
  std::atomic<bool> seen{false};
  std::atomic<uint64_t> frames{0};
  QPointer<QWidget> widget;  // set and read on the user-interface thread only
};

class VideoWidget : public QWidget {
 public:
  VideoWidget(QWidget* parent, std::shared_ptr<FrameStore> store) : QWidget(parent), m_store(std::move(store)) {}

 protected:
  void paintEvent(QPaintEvent* e) override;

 private:
  std::shared_ptr<FrameStore> m_store;
};

class VideoViewImpl {
 public:
  std::shared_ptr<FrameStore> store;
  int id = 0;
};
