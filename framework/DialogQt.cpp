#include <QApplication>
#include <QBitmap>
#include <QCheckBox>
#include <QFocusEvent>
#include <QCloseEvent>
#include <QCursor>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTimerEvent>
#include <QWindow>
#include <cstring>

#include "framework/Messages.h"
#include "framework/Application.h"
#include "framework/QtInternal.h"
#include "infra/Logger.h"

QEvent::Type PostedMessageEvent::EventType() {
  static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

namespace {

// Reports focus changes of the edit controls to the dialog.
class FocusWatcher : public QObject {
 public:
  FocusWatcher(QObject* parent, DialogImpl* impl) : QObject(parent), m_impl(impl) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() != QEvent::FocusIn && e->type() != QEvent::FocusOut) return false;
    const QVariant id = watched->property("vtControlId");
    if (!id.isValid() || !m_impl->owner) return false;
    if (e->type() == QEvent::FocusIn) m_impl->focused = id.toInt();
    else m_impl->owner->OnKillFocus(id.toInt());
    return false;
  }

 private:
  DialogImpl* m_impl;
};

}  // namespace

QtDialog::QtDialog(CDialog* owner) : QDialog(nullptr), m_owner(owner) {}

bool QtDialog::event(QEvent* e) {
  if (e->type() == PostedMessageEvent::EventType()) {
    if (m_owner) {
      auto* m = static_cast<PostedMessageEvent*>(e);
      m_owner->WindowProc(m->message, m->wParam, m->lParam);
    }
    return true;
  }
  const bool result = QDialog::event(e);
  const QEvent::Type type = e->type();
  if (type == QEvent::Show && windowHandle() && !m_exposeWatched) {
    // A window covered or on another desktop is not exposed; only its window hears that.
    windowHandle()->installEventFilter(this);
    m_exposeWatched = true;
  }
  if (m_owner && (type == QEvent::Show || type == QEvent::Hide || type == QEvent::WindowStateChange))
    m_owner->Impl()->UpdateViewsSeen();
  return result;
}

bool QtDialog::eventFilter(QObject* watched, QEvent* e) {
  if (m_owner && watched == windowHandle() && e->type() == QEvent::Expose) m_owner->Impl()->UpdateViewsSeen();
  return QDialog::eventFilter(watched, e);
}

void DialogImpl::UpdateViewsSeen() {
  const bool windowSeen = framework::HasScreen() && dialog && dialog->isVisible() && !dialog->isMinimized() &&
                          (!dialog->windowHandle() || dialog->windowHandle()->isExposed());
  for (size_t i = 0; i < views.size(); ++i) {
    FrameStore& store = *views[i]->Impl()->store;
    QWidget* widget = store.widget;
    bool seen = windowSeen && widget && widget->isVisible();
    for (size_t above = 0; seen && above < i; ++above) {
      const QWidget* cover = views[above]->Impl()->store->widget;
      if (cover && cover->isVisible() && cover->parentWidget() == widget->parentWidget() &&
          cover->geometry().contains(widget->geometry()))
        seen = false;
    }
    store.seen.store(seen, std::memory_order_relaxed);
  }
}

void QtDialog::timerEvent(QTimerEvent* e) {
  if (!m_owner) return;
  for (const auto& [id, timer] : m_owner->Impl()->timers) {
    if (timer.first == e->timerId()) {
      const uint32_t ourId = id;  // the handler may kill the timer and change the map
      m_owner->OnTimer(ourId);
      return;
    }
  }
}

void QtDialog::closeEvent(QCloseEvent* e) {
  e->ignore();
  if (m_owner) m_owner->OnClose();
}

void QtDialog::reject() {
  if (m_owner) m_owner->OnCancel();
}

void VideoWidget::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QMutexLocker lock(&m_store->lock);
  if (m_store->width <= 0 || m_store->height <= 0) {
    painter.fillRect(rect(), Qt::black);
    return;
  }
  const QImage image(m_store->pixels.data(), m_store->width, m_store->height,
                     static_cast<qsizetype>(m_store->width) * 3, QImage::Format_BGR888);
  painter.drawImage(QPoint(0, 0), image);
}

CDialog::CDialog(int templateId, const std::string& title, int widthDlu, int heightDlu)
    : m_templateId(templateId), m_impl(std::make_unique<DialogImpl>()) {
  m_impl->owner = this;
  m_impl->dialog = new QtDialog(this);
  m_impl->dialog->setWindowTitle(QString::fromStdString(title));
  m_impl->dialog->setFixedSize(DluToPixelsX(widthDlu), DluToPixelsY(heightDlu));
  m_impl->dialog->setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
}

CDialog::~CDialog() {
  ForgetMainWnd(this);
  {
    std::lock_guard<std::mutex> hold(m_impl->postLock);
    m_impl->alive = false;
  }
  m_impl->owner = nullptr;
  if (m_impl->dialog) {
    m_impl->dialog->Detach();
    for (auto& [id, timer] : m_impl->timers) m_impl->dialog->killTimer(timer.first);
    m_impl->timers.clear();
    m_impl->views.clear();
    // Posted messages still queued for the window are dropped with it.
    delete m_impl->dialog;
    m_impl->dialog = nullptr;
  }
}

// QDialog::exec() ends its loop whenever the dialog is hidden, but a window hidden into the
// tray must go on running: the modal run has a loop of its own that only EndDialog ends.
int CDialog::DoModal() {
  m_impl->ended = false;
  if (!m_impl->initialised) {
    m_impl->initialised = true;
    OnInitDialog();
  }
  m_impl->modalRunning = true;
  if (!m_impl->ended) {
    QEventLoop loop;
    m_impl->loop = &loop;
    m_impl->dialog->setWindowModality(Qt::ApplicationModal);
    if (framework::HasScreen()) m_impl->dialog->show();
    loop.exec(QEventLoop::DialogExec);
    m_impl->loop = nullptr;
  }
  m_impl->dialog->hide();
  m_impl->modalRunning = false;
  OnDestroy();
  return m_impl->result;
}

void CDialog::EndDialog(int result) {
  m_impl->result = result;
  m_impl->ended = true;
  if (m_impl->loop) m_impl->loop->exit(result);
}

bool CDialog::IsModalRunning() const { return m_impl->modalRunning; }

bool CDialog::PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  std::lock_guard<std::mutex> hold(m_impl->postLock);
  if (!m_impl->alive || !m_impl->dialog) return false;
  QCoreApplication::postEvent(m_impl->dialog, new PostedMessageEvent(message, wParam, lParam));
  return true;
}

bool CDialog::IsWindowEnabled() const { return m_impl->dialog && m_impl->dialog->isEnabled(); }

void CDialog::AddControl(int id, ControlKind kind, const std::string& text, Rect dlu, bool visible) {
  QWidget* w = nullptr;
  const QString qtext = QString::fromStdString(text);
  switch (kind) {
    case ControlKind::Button:
    case ControlKind::OwnerDrawButton: {
      auto* b = new QPushButton(qtext, m_impl->dialog);
      b->setFocusPolicy(Qt::NoFocus);
      QObject::connect(b, &QPushButton::clicked, [this, id] { OnControlClicked(id); });
      w = b;
      break;
    }
    case ControlKind::Edit:
    case ControlKind::PasswordEdit: {
      auto* e = new QLineEdit(qtext, m_impl->dialog);
      if (kind == ControlKind::PasswordEdit) e->setEchoMode(QLineEdit::Password);
      if (!m_impl->focusWatcher) m_impl->focusWatcher = new FocusWatcher(m_impl->dialog, m_impl.get());
      e->setProperty("vtControlId", id);
      e->installEventFilter(m_impl->focusWatcher);
      w = e;
      break;
    }
    case ControlKind::CheckBox: {
      auto* c = new QCheckBox(qtext, m_impl->dialog);
      c->setFocusPolicy(Qt::NoFocus);
      QObject::connect(c, &QCheckBox::clicked, [this, id] { OnControlClicked(id); });
      w = c;
      break;
    }
    case ControlKind::LinkLabel: {
      auto* l = new QLabel(m_impl->dialog);
      l->setOpenExternalLinks(true);
      l->setText(qtext);
      w = l;
      break;
    }
    case ControlKind::Static:
    case ControlKind::VideoArea: {
      auto* l = new QLabel(qtext, m_impl->dialog);
      if (kind == ControlKind::VideoArea) {
        l->setAutoFillBackground(true);
        l->setStyleSheet("background: black; color: gray;");
        l->setAlignment(Qt::AlignCenter);
      }
      w = l;
      break;
    }
  }
  w->setGeometry(DluToPixelsX(dlu.left), DluToPixelsY(dlu.top), DluToPixelsX(dlu.Width()),
                 DluToPixelsY(dlu.Height()));
  w->setVisible(visible);
  m_impl->controls[id] = ControlInfo{kind, w};
}

bool CDialog::HasControl(int id) const { return m_impl->controls.count(id) > 0; }

void CDialog::MoveControl(int id, int x, int y, int width, int height) {
  auto it = m_impl->controls.find(id);
  if (it != m_impl->controls.end() && it->second.widget) it->second.widget->setGeometry(x, y, width, height);
}

Rect CDialog::ControlRect(int id) const {
  auto it = m_impl->controls.find(id);
  if (it == m_impl->controls.end() || !it->second.widget) return {};
  const QRect r = it->second.widget->geometry();
  return Rect{r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
}

void CDialog::SetControlText(int id, const std::string& text) {
  auto it = m_impl->controls.find(id);
  if (it == m_impl->controls.end() || !it->second.widget) return;
  const QString q = QString::fromStdString(text);
  if (auto* b = qobject_cast<QAbstractButton*>(it->second.widget.data())) b->setText(q);
  else if (auto* e = qobject_cast<QLineEdit*>(it->second.widget.data())) e->setText(q);
  else if (auto* l = qobject_cast<QLabel*>(it->second.widget.data()))
    l->setText(it->second.kind == ControlKind::LinkLabel ? QString("<a href=\"%1\">%1</a>").arg(q) : q);
}

std::string CDialog::ControlText(int id) const {
  auto it = m_impl->controls.find(id);
  if (it == m_impl->controls.end() || !it->second.widget) return {};
  if (auto* b = qobject_cast<QAbstractButton*>(it->second.widget.data())) return b->text().toStdString();
  if (auto* e = qobject_cast<QLineEdit*>(it->second.widget.data())) return e->text().toStdString();
  if (auto* l = qobject_cast<QLabel*>(it->second.widget.data())) {
    if (it->second.kind == ControlKind::LinkLabel) {
      return QString(l->text()).remove(QRegularExpression("<[^>]*>")).toStdString();
    }
    return l->text().toStdString();
  }
  return {};
}

bool CDialog::IsControlVisible(int id) const {
  auto it = m_impl->controls.find(id);
  return it != m_impl->controls.end() && it->second.widget && !it->second.widget->isHidden();
}

void CDialog::SetButtonLook(int id, uint32_t textRgb, uint32_t backgroundRgb, int iconResource) {
  auto it = m_impl->controls.find(id);
  if (it == m_impl->controls.end() || !it->second.widget) return;
  it->second.textRgb = textRgb;
  it->second.backgroundRgb = backgroundRgb;
  it->second.icon = iconResource;
  if (auto* b = qobject_cast<QPushButton*>(it->second.widget.data())) {
    b->setIcon(LoadIconResource(iconResource));
    b->setIconSize(QSize(24, 24));
    b->setStyleSheet(QString("color: #%1; background: #%2; border: 1px solid #a0a0a0;")
                         .arg(textRgb, 6, 16, QChar('0'))
                         .arg(backgroundRgb, 6, 16, QChar('0')));
  }
}

void CDialog::SetLinkAddress(int id, const std::string& url) {
  auto it = m_impl->controls.find(id);
  if (it == m_impl->controls.end() || it->second.kind != ControlKind::LinkLabel) return;
  if (auto* l = qobject_cast<QLabel*>(it->second.widget.data()))
    l->setText(QString("<a href=\"%1\">%2</a>").arg(QString::fromStdString(url), QString::fromStdString(ControlText(id))));
}

void CDialog::SetCheck(int id, bool checked) {
  auto it = m_impl->controls.find(id);
  if (it == m_impl->controls.end()) return;
  if (auto* c = qobject_cast<QCheckBox*>(it->second.widget.data())) c->setChecked(checked);
}

bool CDialog::IsChecked(int id) const {
  auto it = m_impl->controls.find(id);
  if (it == m_impl->controls.end()) return false;
  auto* c = qobject_cast<QCheckBox*>(it->second.widget.data());
  return c && c->isChecked();
}

void CDialog::EnableControl(int id, bool enable) {
  auto it = m_impl->controls.find(id);
  if (it != m_impl->controls.end() && it->second.widget) it->second.widget->setEnabled(enable);
}

bool CDialog::IsControlEnabled(int id) const {
  auto it = m_impl->controls.find(id);
  return it != m_impl->controls.end() && it->second.widget && it->second.widget->isEnabled();
}

void CDialog::FocusControl(int id) {
  auto it = m_impl->controls.find(id);
  if (it == m_impl->controls.end() || !it->second.widget) return;
  m_impl->focused = id;
  it->second.widget->setFocus(Qt::OtherFocusReason);
}

int CDialog::FocusedControl() const { return m_impl->focused; }

void CDialog::DrawBitmap(int slot, int resource, int x, int y) {
  auto& entry = m_impl->bitmaps[slot];
  if (!entry.first) {
    entry.first = new QLabel(m_impl->dialog);
    entry.first->setAttribute(Qt::WA_TranslucentBackground);
  }
  if (entry.second != resource) {
    QPixmap pixmap = LoadIconResource(resource).pixmap(16, 16);
    const QImage image = pixmap.toImage();
    pixmap.setMask(QBitmap::fromImage(image.createMaskFromColor(qRgb(222, 21, 222), Qt::MaskInColor)));
    entry.first->setPixmap(pixmap);
    entry.second = resource;
  }
  entry.first->setGeometry(x, y, 16, 16);
  entry.first->show();
}

int CDialog::DrawnBitmap(int slot) const {
  auto it = m_impl->bitmaps.find(slot);
  return it == m_impl->bitmaps.end() ? 0 : it->second.second;
}

uint32_t CDialog::ButtonTextColour(int id) const {
  auto it = m_impl->controls.find(id);
  return it == m_impl->controls.end() ? 0 : it->second.textRgb;
}

int CDialog::ButtonIcon(int id) const {
  auto it = m_impl->controls.find(id);
  return it == m_impl->controls.end() ? 0 : it->second.icon;
}

void CDialog::SetClickMessage(int id, uint32_t message) {
  auto it = m_impl->controls.find(id);
  if (it != m_impl->controls.end()) it->second.clickMessage = message;
}

void CDialog::OnControlClicked(int id) {
  auto it = m_impl->controls.find(id);
  if (it != m_impl->controls.end() && it->second.clickMessage != 0)
    WindowProc(it->second.clickMessage, static_cast<uintptr_t>(id), 0);
  else
    OnCommand(static_cast<uint32_t>(id));
}

CVideoView* CDialog::CreateVideoView(int areaId, Rect pixels, int viewId) {
  auto it = m_impl->controls.find(areaId);
  if (it == m_impl->controls.end() || !it->second.widget) return nullptr;
  auto store = std::make_shared<FrameStore>();
  auto* widget = new VideoWidget(it->second.widget, store);
  store->widget = widget;
  widget->setGeometry(pixels.left, pixels.top, pixels.Width(), pixels.Height());
  // Views made later go below the earlier ones, so the first channel is the one shown.
  widget->lower();
  widget->show();
  auto impl = std::make_unique<VideoViewImpl>();
  impl->store = store;
  impl->id = viewId;
  m_impl->views.push_back(std::make_unique<CVideoView>(std::move(impl)));
  m_impl->UpdateViewsSeen();
  return m_impl->views.back().get();
}

void CDialog::SetWindowTitle(const std::string& title) { m_impl->dialog->setWindowTitle(QString::fromStdString(title)); }
std::string CDialog::WindowTitle() const { return m_impl->dialog->windowTitle().toStdString(); }
void CDialog::SetIcon(int resource) { m_impl->dialog->setWindowIcon(LoadIconResource(resource)); }

void CDialog::ShowWindow(int command) {
  // Without a screen nothing could see the window; laying it out and painting it would only
  // load the fonts and fill a backing store (some 8 MB).
  if (!framework::HasScreen() && command != SW_HIDE) return;
  switch (command) {
    case SW_HIDE: m_impl->dialog->hide(); break;
    case SW_SHOWMINNOACTIVE: m_impl->dialog->showMinimized(); break;
    default:
      m_impl->dialog->showNormal();
      m_impl->dialog->raise();
      break;
  }
}

bool CDialog::IsWindowVisible() const { return m_impl->dialog->isVisible(); }
bool CDialog::IsIconic() const { return m_impl->dialog->isMinimized(); }
void CDialog::SetFocus() { m_impl->dialog->activateWindow(); }
bool CDialog::SaveScreenshot(const std::string& path) const {
  return m_impl->dialog->grab().save(QString::fromStdString(path), "PNG");
}

int CDialog::ClientWidth() const { return m_impl->dialog->width(); }
int CDialog::ClientHeight() const { return m_impl->dialog->height(); }

bool CDialog::SetTimer(uint32_t id, uint32_t elapseMs) {
  KillTimer(id);
  const int t = m_impl->dialog->startTimer(static_cast<int>(elapseMs), Qt::PreciseTimer);
  if (t == 0) return false;
  m_impl->timers[id] = {t, elapseMs};
  return true;
}

bool CDialog::KillTimer(uint32_t id) {
  auto it = m_impl->timers.find(id);
  if (it == m_impl->timers.end()) return false;
  m_impl->dialog->killTimer(it->second.first);
  m_impl->timers.erase(it);
  return true;
}

int64_t CDialog::TimerPeriod(uint32_t id) const {
  auto it = m_impl->timers.find(id);
  return it == m_impl->timers.end() ? -1 : static_cast<int64_t>(it->second.second);
}

bool CDialog::WindowProc(uint32_t message, uintptr_t wParam, intptr_t) {
  if (message == WM_COMMAND) {
    OnCommand(static_cast<uint32_t>(wParam));
    return true;
  }
  return false;
}

void CDialog::OnCommand(uint32_t id) {
  if (id == IDOK) EndDialog(IDOK);
  else if (id == IDCANCEL) OnCancel();
}

void CDialog::OnTimer(uint32_t) {}
void CDialog::OnCancel() { EndDialog(IDCANCEL); }
void CDialog::OnClose() { OnCancel(); }

CVideoView::CVideoView(std::unique_ptr<VideoViewImpl> impl) : m_impl(std::move(impl)) {}
CVideoView::~CVideoView() = default;

void CVideoView::ShowImage(const uint8_t* bgrBottomUp, int width, int height) {
  FrameStore& s = *m_impl->store;
  if (!bgrBottomUp || width <= 0 || height <= 0 || !s.seen.load(std::memory_order_relaxed)) return;
  {
    // Turned upright while copied, so painting is a plain blit.
    const size_t stride = static_cast<size_t>(width) * 3u;
    QMutexLocker lock(&s.lock);
    s.pixels.resize(stride * static_cast<size_t>(height));
    for (int row = 0; row < height; ++row)
      std::memcpy(s.pixels.data() + stride * static_cast<size_t>(row),
                  bgrBottomUp + stride * static_cast<size_t>(height - 1 - row), stride);
    s.width = width;
    s.height = height;
  }
  s.frames.fetch_add(1, std::memory_order_relaxed);
  if (!s.repaintPending.exchange(true)) {
    std::shared_ptr<FrameStore> store = m_impl->store;
    QMetaObject::invokeMethod(
        qApp,
        [store] {
          store->repaintPending.store(false);
          if (store->widget) store->widget->update();
        },
        Qt::QueuedConnection);
  }
}

uint64_t CVideoView::FramesShown() const { return m_impl->store->frames.load(); }
bool CVideoView::IsSeen() const { return m_impl->store->seen.load(std::memory_order_relaxed); }
int CVideoView::Id() const { return m_impl->id; }

int MessageBox(CDialog* owner, const std::string& text, const std::string& caption, unsigned type) {
  const bool yesNo = (type & MB_YESNO) != 0;
  if (!framework::HasScreen()) {
    Log("MessageBox (no screen to show it): %s", text.c_str());
    return yesNo ? IDNO : IDOK;
  }
  QString shown = QString::fromStdString(text);
  shown.replace("\r\n", "\n");
  QMessageBox box((type & MB_ICONERROR) ? QMessageBox::Critical : QMessageBox::NoIcon, QString::fromStdString(caption),
                  shown, yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok,
                  owner ? owner->Impl()->dialog : nullptr);
  const int answer = box.exec();
  if (!yesNo) return IDOK;
  return answer == QMessageBox::Yes ? IDYES : IDNO;
}

void TrackPopupMenu(CDialog* owner, const MenuItem* items, int count) {
  if (!owner) return;
  QMenu menu(owner->Impl()->dialog);
  for (int i = 0; i < count; ++i) {
    const uint32_t command = items[i].command;
    QAction* a = menu.addAction(QString::fromStdString(items[i].text));
    QObject::connect(a, &QAction::triggered, [owner, command] { owner->PostMessage(WM_COMMAND, command, 0); });
  }
  menu.exec(QCursor::pos());
}
