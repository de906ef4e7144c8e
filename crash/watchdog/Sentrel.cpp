#include "crash/watchdog/Sentrel.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "crash/plugin/ExceptionCode.h"
#include "crash/watchdog/ErrorBox.h"
#include "crash/watchdog/ExceptionText.h"
#include "crash/watchdog/ProcessList.h"
#include "crash/watchdog/ThreadSnapshot.h"

extern char** environ;

namespace sentrel {

namespace {

constexpr size_t kProcessNameMax = 99;
constexpr size_t kScriptPathMax = 259;

// Starts "/bin/sh -c <command>"; with wait, returns its exit code (-1 when it could not
// start or did not exit normally), else 0 once started.
int RunShell(const std::string& command, bool wait) {
  fflush(stdout);
  char sh[] = "sh";
  char dashC[] = "-c";
  char* argv[] = {sh, dashC, const_cast<char*>(command.c_str()), nullptr};
  pid_t child = -1;
  if (posix_spawn(&child, "/bin/sh", nullptr, nullptr, argv, environ) != 0) return -1;
  if (!wait) return 0;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void PrintSystemError() { printf("%s\n", strerror(errno)); }

}  // namespace

void CSentrel::PrintUsage(const char* self) const {
  printf("Usage:\n");
  printf("  %s [<process name>] \t\tdefault:quillon\n", self);
  printf("  %s -p <process_id>\n", self);
  printf("  %s -n <execute file path>\n", self);
  printf("  %s -s <process_id> [<wait tick>] [<delta CS>]\n", self);
  printf("  append \"-q\": quiet mode.\n");
  printf("  append \"-r [<script file path>]\": in quiet mode, a script (default:\"./restart.sh\") will be called after dumpped.\n");
}

void CSentrel::Search(const std::string& name) {
  printf("\n-----------------Search Process---------------------\n");
  printf("PID    NAME\n");
  for (const ProcessEntry& process : ListProcesses()) {
    std::string lower = process.fileName;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower.find(name) == std::string::npos) continue;
    m_target = process.pid;
    printf("%4d   %s\n", process.pid, process.fileName.c_str());
  }
  printf("----------------------------------------------------\n\n");
}

int CSentrel::ThreadCheck(int argc, char** argv) const {
  const int pid = argc > 2 ? atoi(argv[2]) : -1;
  int waitTick = argc > 3 ? atoi(argv[3]) : -1;
  int delta = argc > 4 ? atoi(argv[4]) : -1;
  if (waitTick == -1) waitTick = 100;
  if (delta == -1) delta = 3;
  ThreadSnapshot first(pid);
  ThreadSnapshot second(pid);
  first.Fill();
  printf("\nProcess[%d]:Check all the (%d) threads. (wait tick=%d, delta CS=%d)\n", pid,
         static_cast<int>(first.Threads().size()), waitTick, delta);
  std::this_thread::sleep_for(std::chrono::milliseconds(std::max(waitTick, 0)));
  second.Fill();
  printf("TID\tDCS\tDKT\tDUT\tContexSwitches\n");
  for (const auto& [tid, before] : first.Threads()) {
    const auto after = second.Threads().find(tid);
    if (after == second.Threads().end()) continue;
    if (after->second.contextSwitches < before.contextSwitches + static_cast<uint32_t>(delta)) continue;
    printf("%x\t%u\t%u\t%u\t%u\t\t~\n", tid, after->second.contextSwitches - before.contextSwitches,
           static_cast<uint32_t>(after->second.kernelTime) - static_cast<uint32_t>(before.kernelTime),
           static_cast<uint32_t>(after->second.userTime) - static_cast<uint32_t>(before.userTime),
           before.contextSwitches);
  }
  return 0;
}

void CSentrel::StartRestartScript() const { RunShell(m_restartScript, false); }

bool CSentrel::RunDumpScript(const DebugEvent& event) {
  char command[512];
  snprintf(command, sizeof command, "\"%s/Crashkit.sh\" %d %x %lx", m_toolDirectory.c_str(), m_target,
           static_cast<unsigned>(event.tid), static_cast<unsigned long>(event.address));
  printf("----------------------\nBelow script execute:\n%s\n\n", command);
  if (RunShell(command, true) == 0) {
    char text[1024];
    snprintf(text, sizeof text,
             "Unknown Exception code=%x(pid=%d, tid=%x eip=%lx ).\r\nThe information is dumped into "
             "%s/output/.\r\nPlease send it to developement team.\r\nThe application will be terminated.",
             event.code, m_target, static_cast<unsigned>(event.tid), static_cast<unsigned long>(event.address),
             m_toolDirectory.c_str());
    if (!m_quiet) {
      ShowErrorBox(text, "Unknown Exception", false);
      return true;
    }
    printf("\nUnknown Exception:\n%s\n", text);
    if (m_restart) StartRestartScript();
    return true;
  }
  if (!m_quiet) return ShowErrorBox(command, "Can not start the dump process, retry?", true) != BoxAnswer::Yes;
  printf("\nCan not start the dump process. Quit.\n");
  if (m_restart) StartRestartScript();
  return true;
}

int CSentrel::DebugLoop() {
  for (;;) {
    const DebugEvent event = m_session.WaitForEvent();
    if (event.kind == DebugEvent::WaitFailed) {
      printf("Can not WaitForDebugEvent.\n");
      PrintSystemError();
      return 1;
    }
    if (event.kind == DebugEvent::ExitProcess) {
      printf("Process %d exit.\n", m_target);
      return 0;
    }
    printf("%d:Break in %08lx,exception code=%08x\n", event.tid, static_cast<unsigned long>(event.address), event.code);
    if (const char* description = ExceptionDescription(event.code)) fputs(description, stdout);
    if (event.code == crashkit::kCtrlC) {
      printf("CTRL-C signal.\n");
      return 0;
    }
    bool retry = false;
    if ((event.code >> 28) == 0xC) {
      if (RunDumpScript(event)) return 0;
      retry = true;
    }
    m_session.Continue(event, retry);
  }
}

int CSentrel::Run(int argc, char** argv) {
  PrintUsage(argv[0]);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-q" || arg == "/q") {
      m_quiet = true;
    } else if (arg == "-r" || arg == "/r") {
      m_restart = true;
      m_mode = kRestartScript;
    } else if (arg == "-p" || arg == "/p") {
      m_mode = kProcessId;
    } else if (arg == "-s" || arg == "/s") {
      m_mode = kThreadCheck;
    } else if (arg == "-n" || arg == "/n") {
      m_mode = kStartProgram;
    } else if (arg == "-h" || arg == "-?" || arg == "/h" || arg == "/?") {
      return 0;
    } else if (m_mode == kSearch) {
      m_processName = arg.substr(0, kProcessNameMax);
      std::transform(m_processName.begin(), m_processName.end(), m_processName.begin(),
                     [](unsigned char c) { return std::tolower(c); });
      printf("\nsearch process %s ...", m_processName.c_str());
      Search(m_processName);
    } else if (m_mode == kProcessId) {
      m_target = atoi(arg.c_str());
      printf("Attach process id=%d\n", m_target);
    } else if (m_mode == kThreadCheck) {
      return ThreadCheck(argc, argv);
    } else if (m_mode == kStartProgram) {
      m_processName = arg.substr(0, kProcessNameMax);
    } else {
      m_restartScript = arg.substr(0, kScriptPathMax);
    }
  }

  if (m_restartScript.empty()) m_restartScript = "./restart.sh";
  if (m_restart) printf("Script [%s] will be called after dumped.\n", m_restartScript.c_str());
  if (m_mode == kStartProgram && !m_processName.empty()) {
    if (!m_session.Start(argv[2], &m_target)) {
      printf("Can not execute %s\n", argv[2]);
      PrintSystemError();
      return 1;
    }
    printf("Execute %s pid=%d\n", argv[2], m_target);
  } else if (!m_session.Attach(m_target)) {
    printf("Can not attach process, DebugActiveProcess(pid=%d) failed.\n", m_target);
    PrintSystemError();
    return 1;
  }
  printf("Attach process(pid=%d) to debug.\n", m_target);
  // A tracee is detached, not killed, when its tracer ends: nothing to ask for here.
  printf("\nWaiting for debug event...%s\n", m_quiet ? "[QUIET MODE]" : "");
  return DebugLoop();
}

}  // namespace sentrel
