#include "platform/NamedEvent.h"

#include <fcntl.h>

#include <cerrno>
#include <ctime>

namespace platform {

std::string CNamedEvent::SemaphoreName(const std::string& name) {
  std::string out = "/vtcam.";
  for (char c : name) out += (c == '/' || c == '\0') ? '_' : c;
  if (out.size() > 250) out.resize(250);
  return out;
}

bool CNamedEvent::Create(const std::string& name) {
  Close();
  m_semName = SemaphoreName(name);
  sem_unlink(m_semName.c_str());
  m_sem = sem_open(m_semName.c_str(), O_CREAT | O_EXCL, 0600, 0);
  m_owner = m_sem != SEM_FAILED;
  return m_owner;
}

bool CNamedEvent::Open(const std::string& name) {
  Close();
  m_semName = SemaphoreName(name);
  m_sem = sem_open(m_semName.c_str(), 0);
  return m_sem != SEM_FAILED;
}

void CNamedEvent::Close() {
  if (m_sem != SEM_FAILED) {
    sem_close(m_sem);
    if (m_owner) sem_unlink(m_semName.c_str());
  }
  m_sem = SEM_FAILED;
  m_owner = false;
}

bool CNamedEvent::Set() {
  if (!IsValid()) return false;
  int value = 0;
  if (sem_getvalue(m_sem, &value) == 0 && value > 0) return true;
  return sem_post(m_sem) == 0;
}

bool CNamedEvent::Wait(uint32_t timeoutMs) {
  if (!IsValid()) return false;
  if (timeoutMs == UINT32_MAX) {
    while (sem_wait(m_sem) != 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
  deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  for (;;) {
    if (sem_clockwait(m_sem, CLOCK_MONOTONIC, &deadline) == 0) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace platform
