#include "platform/Thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

void SetCurrentThreadName(const std::string& name) {
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

std::thread StartNamedThread(std::string name, std::function<void()> fn) {
  return std::thread([name = std::move(name), fn = std::move(fn)] {
    SetCurrentThreadName(name);
    fn();
  });
}

int CurrentThreadId() {
  thread_local const int tid = static_cast<int>(syscall(SYS_gettid));
  return tid;
}

}  // namespace platform
