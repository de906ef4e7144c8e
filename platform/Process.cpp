#include "platform/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Thread.h"

extern char** environ;

namespace platform {

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = commandLine.size();
  for (;;) {
    while (i < n && (commandLine[i] == ' ' || commandLine[i] == '\t')) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n) {
      const char c = commandLine[i];
      if (!quoted && (c == ' ' || c == '\t')) break;
      if (c == '\\') {
        size_t slashes = 0;
        while (i < n && commandLine[i] == '\\') {
          ++slashes;
          ++i;
        }
        if (i < n && commandLine[i] == '"') {
          arg.append(slashes / 2, '\\');
          if (slashes % 2 == 1) {
            arg += '"';
            ++i;
          }
        } else {
          arg.append(slashes, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && commandLine[i + 1] == '"') {
          arg += '"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      arg += c;
      ++i;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

namespace {

// Children whose CProcess went away while they ran. One thread waits for them so that
// none stays a zombie; it ends when the list is empty.
// Never destroyed: the reaper thread may still run while the process exits.
std::mutex& g_reaperLock = *new std::mutex;
std::vector<pid_t>& g_orphans = *new std::vector<pid_t>;
bool g_reaperRunning = false;

// An orphan's pidfd (-1 where the kernel gives none, then it is polled).
int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

// Wakes the reaper for a new orphan; made once, never closed (the reaper may run at exit).
int ReaperWakeFd() {
  static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return fd;
}

// Sleeps in poll() on the orphans' pidfds: no wake-up until one ends or a new one comes.
void ReaperLoop() {
  std::map<pid_t, int> watched;  // pid -> pidfd
  for (;;) {
    std::vector<pid_t> pending;
    {
      std::lock_guard<std::mutex> lock(g_reaperLock);
      if (g_orphans.empty()) {
        g_reaperRunning = false;
        return;
      }
      pending = g_orphans;
    }
    const int wake = ReaperWakeFd();
    bool polled = wake < 0;  // without a way to be woken, look again every 50 ms
    std::vector<pollfd> fds;
    if (wake >= 0) fds.push_back({wake, POLLIN, 0});
    for (pid_t pid : pending) {
      auto it = watched.try_emplace(pid, -1).first;
      if (it->second < 0) it->second = OpenPidFd(pid);
      int status = 0;
      const pid_t r = waitpid(pid, &status, WNOHANG);
      if (r == pid || (r < 0 && errno == ECHILD)) {
        if (it->second >= 0) close(it->second);
        watched.erase(it);
        std::lock_guard<std::mutex> lock(g_reaperLock);
        std::erase(g_orphans, pid);
        continue;
      }
      if (it->second >= 0) fds.push_back({it->second, POLLIN, 0});
      else polled = true;
    }
    poll(fds.data(), fds.size(), polled ? 50 : -1);
    uint64_t count = 0;
    if (wake >= 0 && read(wake, &count, sizeof(count)) < 0) count = 0;
  }
}

void HandToReaper(pid_t pid) {
  std::lock_guard<std::mutex> lock(g_reaperLock);
  g_orphans.push_back(pid);
  if (!g_reaperRunning) {
    g_reaperRunning = true;
    StartNamedThread("tReaper", ReaperLoop).detach();
  } else if (ReaperWakeFd() >= 0) {
    const uint64_t one = 1;
    if (write(ReaperWakeFd(), &one, sizeof(one)) < 0) return;
  }
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

CProcess::~CProcess() {
  if (m_pid > 0 && !m_reaped) {
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) != m_pid) HandToReaper(m_pid);
  }
}

bool CProcess::Start(const std::string& program, const std::string& commandLine, ConsoleMode mode,
                     std::string* error) {
  std::vector<std::string> args = SplitCommandLine(commandLine);
  std::string file = program.empty() ? (args.empty() ? std::string() : args[0]) : program;
  if (file.empty()) {
    errno = EINVAL;
    if (error) *error = "no program given";
    return false;
  }
  if (args.empty()) args.push_back(file);
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (mode == ConsoleMode::Hidden) {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The child starts with default signal handling whatever this process has installed.
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attr, &all);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  pid_t pid = -1;
  const bool searchPath = file.find('/') == std::string::npos;
  const int rc = searchPath ? posix_spawnp(&pid, file.c_str(), &actions, &attr, argv.data(), environ)
                            : posix_spawn(&pid, file.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    if (error) *error = "cannot start " + file + ": " + std::strerror(rc);
    errno = rc;
    return false;
  }
  m_pid = pid;
  m_reaped = false;
  m_exitCode = 0;
  return true;
}

CProcess::WaitResult CProcess::Wait(uint32_t timeoutMs, int* exitCode) {
  if (m_pid <= 0) return WaitResult::Failed;
  if (!m_reaped) {
    uint32_t waited = 0;
    uint32_t step = 1;
    for (;;) {
      int status = 0;
      const pid_t r = waitpid(m_pid, &status, WNOHANG);
      if (r == m_pid) {
        m_reaped = true;
        m_exitCode = DecodeStatus(status);
        break;
      }
      if (r < 0 && errno != EINTR) return WaitResult::Failed;
      if (timeoutMs != UINT32_MAX && waited >= timeoutMs) return WaitResult::TimedOut;
      // Short first polls keep quick children quick; the step grows to 20 ms.
      const uint32_t nap = timeoutMs == UINT32_MAX ? step : std::min(step, timeoutMs - waited);
      std::this_thread::sleep_for(std::chrono::milliseconds(nap));
      waited += nap;
      step = std::min<uint32_t>(step * 2, 20);
    }
  }
  if (exitCode) *exitCode = m_exitCode;
  return WaitResult::Exited;
}

void CProcess::Kill(int signal) {
  if (m_pid > 0 && !m_reaped) ::kill(m_pid, signal);
}

}  // namespace platform
