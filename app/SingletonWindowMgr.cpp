#include "app/SingletonWindowMgr.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/LockFile.h"
#include "platform/ProgramDir.h"
#include "platform/Tick.h"

namespace {

CSingletonWindowMgr* g_manager = nullptr;

bool ReadExactly(int fd, void* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = read(fd, static_cast<char*>(buf) + got, n - got);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

CSingletonWindowMgr::CSingletonWindowMgr() = default;

CSingletonWindowMgr::~CSingletonWindowMgr() {
  // Only the holder removes the file; otherwise a stale one goes, a held one stays.
  if (m_lockFile >= 0) platform::ReleaseLockFile(m_lockFile, LockPath());
  else platform::TryDeleteLockFile(LockPath());
  m_lockFile = -1;
}

std::string CSingletonWindowMgr::LockPath() const {
  // Fixed at first use: the program file may be replaced (by an update) while we run.
  if (m_lockPath.empty()) {
    const std::string program = m_programFile.empty() ? platform::ExecutablePath() : m_programFile;
    m_lockPath = program + "." + m_suffix;
  }
  return m_lockPath;
}

void CSingletonWindowMgr::SignalStop() {
  if (m_kind == kKindEvent) {
    m_stopEvent.Set();
    m_stopEvent.Close();
  }
  // A window record names a window of another process, which no window here can reach.
}

void CSingletonWindowMgr::ShowExisting() {}

int CSingletonWindowMgr::CheckRunningInstance(int stopMode) {
  const std::string path = LockPath();
  platform::TryDeleteLockFile(path);

  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  bool readable = false;
  if (fd >= 0) {
    uint32_t kind = 0;
    if (lseek(fd, 0, SEEK_SET) == 0 && ReadExactly(fd, &kind, 4)) {
      m_kind = kind;
      if (kind == kKindWindow) {
        uint32_t record[2];
        if (ReadExactly(fd, record, sizeof(record))) {
          readable = true;
          m_window = record[0];
          m_message = record[1];
        }
      } else if (kind == kKindEvent) {
        uint32_t stated = 0;
        if (ReadExactly(fd, &stated, 4)) {
          const uint32_t length = stated >= 1024 ? 1023 : stated;
          char name[1024];
          const ssize_t got = read(fd, name, length);
          // Readable only when every stated byte arrived, so a cut name never counts.
          if (got >= 0 && static_cast<uint32_t>(got) == stated) {
            name[got] = 0;
            readable = true;
            m_stopEvent.Open(name);
          }
        }
      }
    }
  }
  if (fd >= 0 && readable) {
    if (stopMode) SignalStop();
    else ShowExisting();
    close(fd);
    return 1;
  }
  if (fd >= 0) close(fd);
  if (stopMode) return fd >= 0 ? 1 : 0;
  m_lockFile = platform::CreateLockFile(path);
  return m_lockFile < 0 ? 1 : 0;
}

int CSingletonWindowMgr::RegisterInstance(WaitCallback callback, const char* eventName) {
  char name[1024];
  if (eventName && *eventName) {
    std::snprintf(name, sizeof(name), "%s", eventName);
  } else {
    std::snprintf(name, sizeof(name), "CSingletonWindowMgr_STOPEVENT:%x_%x", static_cast<unsigned>(getpid()),
                  platform::GetTickCount());
  }
  const uint32_t length = static_cast<uint32_t>(std::strlen(name));
  int result = 0;
  if (m_lockFile >= 0 && lseek(m_lockFile, 0, SEEK_SET) == 0 && ftruncate(m_lockFile, 0) == 0) {
    const uint32_t header[2] = {kKindEvent, length};
    result = write(m_lockFile, header, sizeof(header)) == static_cast<ssize_t>(sizeof(header)) ? 1 : 0;
    if (result) result = write(m_lockFile, name, length) == static_cast<ssize_t>(length) ? 1 : 0;
  }
  m_kind = kKindEvent;
  m_stopEvent.Create(name);
  m_waitEvent = &m_stopEvent;
  m_waitCallback = callback;
  if (callback) {
    platform::CNamedEvent* event = m_waitEvent;
    std::thread([event, callback] {
      event->Wait(UINT32_MAX);
      callback();
    }).detach();
  }
  return result;
}

CSingletonWindowMgr* GetSingletonWindowMgr() {
  if (!g_manager) g_manager = new CSingletonWindowMgr;
  return g_manager;
}

void ReleaseSingletonWindowMgr() {
  delete g_manager;
  g_manager = nullptr;
}
