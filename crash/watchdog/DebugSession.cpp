#include "crash/watchdog/DebugSession.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "crash/plugin/ExceptionCode.h"
#include "platform/Process.h"

namespace sentrel {

namespace {

constexpr long kFollowThreads = PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC;
constexpr long kFollowChildren = kFollowThreads | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK;

std::vector<pid_t> Tasks(pid_t pid) {
  std::vector<pid_t> tasks;
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
  if (!dir) return tasks;
  while (dirent* entry = readdir(dir)) {
    const int tid = atoi(entry->d_name);
    if (tid > 0) tasks.push_back(tid);
  }
  closedir(dir);
  return tasks;
}

}  // namespace

bool CDebugSession::Attach(pid_t pid) {
  if (pid <= 0) {
    errno = ESRCH;
    return false;
  }
  if (ptrace(PTRACE_SEIZE, pid, nullptr, kFollowThreads) != 0) return false;
  m_target = pid;
  m_known.insert(pid);
  // Threads started meanwhile by a thread not yet seized show up in the next listing.
  for (bool found = true; found;) {
    found = false;
    for (pid_t tid : Tasks(pid)) {
      if (m_known.insert(tid).second) {
        ptrace(PTRACE_SEIZE, tid, nullptr, kFollowThreads);
        found = true;
      }
    }
  }
  m_initialStopPending = ptrace(PTRACE_INTERRUPT, pid, nullptr, nullptr) == 0;
  return true;
}

bool CDebugSession::Start(const std::string& commandLine, pid_t* pid) {
  const std::vector<std::string> args = platform::SplitCommandLine(commandLine);
  if (args.empty()) {
    errno = ENOENT;
    return false;
  }
  int failure[2];
  if (pipe2(failure, O_CLOEXEC) != 0) return false;
  const pid_t child = fork();
  if (child == 0) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    raise(SIGSTOP);  // lets the watchdog set its options before the program runs
    execvp(argv[0], argv.data());
    const int error = errno;
    (void)!write(failure[1], &error, sizeof error);
    _exit(127);
  }
  close(failure[1]);
  if (child < 0) {
    close(failure[0]);
    return false;
  }
  int status = 0;
  waitpid(child, &status, __WALL);
  ptrace(PTRACE_SETOPTIONS, child, nullptr, kFollowChildren);
  ptrace(PTRACE_CONT, child, nullptr, nullptr);
  int error = 0;
  const bool execFailed = read(failure[0], &error, sizeof error) == sizeof error;
  close(failure[0]);
  if (execFailed) {
    waitpid(child, &status, __WALL);
    errno = error;
    return false;
  }
  m_target = child;
  m_known.insert(child);
  m_initialStopPending = true;  // the stop at the new program's first instruction
  *pid = child;
  return true;
}

uint64_t CDebugSession::InstructionPointer(pid_t tid) const {
  user_regs_struct regs{};
  return ptrace(PTRACE_GETREGS, tid, nullptr, &regs) == 0 ? regs.rip : 0;
}

DebugEvent CDebugSession::WaitForEvent() {
  for (;;) {
    int status = 0;
    const pid_t tid = waitpid(-1, &status, __WALL);
    if (tid < 0) {
      if (errno == EINTR) continue;
      return DebugEvent{};
    }
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
      if (tid == m_target) return DebugEvent{DebugEvent::ExitProcess, tid, 0, 0, 0};
      continue;
    }
    if (!WIFSTOPPED(status)) continue;
    const int signo = WSTOPSIG(status);
    const int ptraceEvent = status >> 16;
    if (ptraceEvent == PTRACE_EVENT_STOP || ptraceEvent == PTRACE_EVENT_EXEC) {
      if (m_initialStopPending && tid == m_target) {
        m_initialStopPending = false;
        return DebugEvent{DebugEvent::Exception, tid, InstructionPointer(tid), crashkit::kBreakpoint, 0};
      }
      ptrace(PTRACE_CONT, tid, nullptr, nullptr);
      continue;
    }
    if (ptraceEvent != 0) {  // a new thread or child: it reports its own first stop
      ptrace(PTRACE_CONT, tid, nullptr, nullptr);
      continue;
    }
    // The first stop of a thread or child traced on its own start.
    if (signo == SIGSTOP && m_known.insert(tid).second) {
      ptrace(PTRACE_CONT, tid, nullptr, nullptr);
      continue;
    }
    m_known.insert(tid);
    siginfo_t info{};
    const bool signalStop = ptrace(PTRACE_GETSIGINFO, tid, nullptr, &info) == 0;
    const uint32_t code = signalStop ? crashkit::ExceptionCodeFor(signo, info.si_code) : 0;
    if (code == 0) {
      ptrace(PTRACE_CONT, tid, nullptr, signalStop ? signo : 0);
      continue;
    }
    uint64_t address = InstructionPointer(tid);
    if (signo == SIGTRAP && info.si_code == SI_KERNEL && address > 0) --address;  // int3 has run
    return DebugEvent{DebugEvent::Exception, tid, address, code, signo};
  }
}

void CDebugSession::Continue(const DebugEvent& event, bool retry) {
  const bool swallow = retry || event.code == crashkit::kBreakpoint || event.code == crashkit::kSingleStep;
  ptrace(PTRACE_CONT, event.tid, nullptr, swallow ? 0 : event.signal);
}

}  // namespace sentrel
