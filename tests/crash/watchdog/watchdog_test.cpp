// The built Sentrel against the fault host: its command line, the name search, attach and
// traced start up to the dump script, the quiet failure with the restart script, the
// thread check, and the target running on after the watchdog is interrupted.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include "tests/crash/host/ChildRun.h"

namespace {

namespace fs = std::filesystem;
using testfiles::ReadFile;
using testfiles::WriteFile;

const char kSentrel[] = VT_BIN_DIR "/Sentrel";
const char kAccessViolationText[] =
    "The thread attempted to read from or write to a virtual address for which it does not have the appropriate "
    "access. \n";

std::string Usage() {
  const std::string self = kSentrel;
  return "Usage:\n"
         "  " + self + " [<process name>] \t\tdefault:quillon\n"
         "  " + self + " -p <process_id>\n"
         "  " + self + " -n <execute file path>\n"
         "  " + self + " -s <process_id> [<wait tick>] [<delta CS>]\n"
         "  append \"-q\": quiet mode.\n"
         "  append \"-r [<script file path>]\": in quiet mode, a script (default:\"./restart.sh\") will be called "
         "after dumpped.\n";
}

class Watchdog : public ::testing::Test {
 protected:
  void SetUp() override {
    m_work = testfiles::MakeTempDir("sentrel-");
    PutScript("Crashkit.sh", "printf '%s\\n' \"$@\" > args.txt\n");
    // In the sanitizer build the host must die of its fault, not of the sanitizer's report.
    const char* asan = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":handle_segv=0").c_str(), 1);
    // Headless, whatever the machine has: boxes are printed, never shown.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
  }
  void TearDown() override {
    for (crashtest::Child& host : m_hosts) host.Wait(0);
    fs::remove_all(m_work);
  }

  void PutScript(const std::string& name, const std::string& body) {
    WriteFile(m_work + name, "#!/bin/sh\n" + body);
    chmod((m_work + name).c_str(), 0755);
  }

  crashtest::Child RunSentrel(const std::vector<std::string>& args) {
    std::vector<std::string> argv{kSentrel};
    argv.insert(argv.end(), args.begin(), args.end());
    return crashtest::Spawn(argv, m_work, m_work + "sentrel.out." + std::to_string(m_runs++));
  }

  // A host with a busy and an idle thread that faults once "trigger" exists.
  crashtest::Child StartIdleHost(const std::string& program = crashtest::TestBinary("crash_fault_host")) {
    crashtest::Child host = crashtest::Spawn({program, "-", "idle", m_work + "trigger"}, m_work,
                                             m_work + "host.out." + std::to_string(m_hosts.size()));
    EXPECT_TRUE(host.WaitForOutput("ready\n", 10000));
    m_hosts.push_back(host);
    return host;
  }

  std::string m_work;
  std::vector<crashtest::Child> m_hosts;
  int m_runs = 0;
};

struct CommandLineCase {
  std::vector<std::string> args;
  int exitCode;
  std::string afterUsage;
};

class WatchdogCommandLine : public Watchdog, public ::testing::WithParamInterface<CommandLineCase> {};

TEST_P(WatchdogCommandLine, PrintsTheUsageThenActsOnTheOptions) {
  crashtest::Child run = RunSentrel(GetParam().args);
  EXPECT_EQ(run.End(10000), GetParam().exitCode);
  EXPECT_EQ(run.Out(), Usage() + GetParam().afterUsage);
}

const char kAttachFails[] = "Can not attach process, DebugActiveProcess(pid=-1) failed.\nNo such process\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, WatchdogCommandLine,
    ::testing::Values(CommandLineCase{{}, 1, kAttachFails},
                      CommandLineCase{{"-q", "-r"}, 1, std::string("Script [./restart.sh] will be called after dumped.\n") + kAttachFails},
                      CommandLineCase{{"-r", "a.sh", "b.sh"}, 1, std::string("Script [b.sh] will be called after dumped.\n") + kAttachFails},
                      CommandLineCase{{"-p", "-1", "-q"}, 1, std::string("Attach process id=-1\n") + kAttachFails},
                      CommandLineCase{{"-?"}, 0, ""}, CommandLineCase{{"/h", "-p", "1"}, 0, ""},
                      CommandLineCase{{"-s"}, 1, kAttachFails}));

// A host taken by name, by id or started traced faults; the dump script runs (or fails).
struct DumpCase {
  const char* name;
  const char* way;  // "name", "-p" or "-n"
  std::vector<std::string> options;
  bool scriptFails;
  std::string ending;  // the output's end; PID, TID and ADDR are filled in
  const char* display = nullptr;  // one no toolkit can open: the box is printed all the same
};

class WatchdogDump : public Watchdog, public ::testing::WithParamInterface<DumpCase> {};

TEST_P(WatchdogDump, ReportsTheInitialBreakpointThenTheFaultAndRunsTheDumpScript) {
  const DumpCase& c = GetParam();
  const std::string way = c.way;
  const std::string unique = "xqhost" + std::to_string(getpid());
  if (c.scriptFails) PutScript("Crashkit.sh", "exit 1\n");
  PutScript("again.sh", "echo restarted > restarted.txt\n");
  std::vector<std::string> args{"-n", crashtest::TestBinary("crash_fault_host") + " - null"};
  crashtest::Child host;
  if (way == "name") {
    for (const char* suffix : {"one", "two"}) {
      fs::copy_file(crashtest::TestBinary("crash_fault_host"), m_work + unique + suffix);
      host = StartIdleHost(m_work + unique + suffix);
    }
    args = {"XQHOST" + std::to_string(getpid())};
  } else if (way == "-p") {
    host = StartIdleHost();
    args = {"-p", std::to_string(host.pid)};
  }
  args.insert(args.end(), c.options.begin(), c.options.end());
  if (c.display) {
    setenv("DISPLAY", c.display, 1);
    unsetenv("QT_QPA_PLATFORM");
  }
  crashtest::Child run = RunSentrel(args);
  ASSERT_TRUE(run.WaitForOutput("A breakpoint(caused by int3) was encountered. \n", 10000)) << run.Out();
  WriteFile(m_work + "trigger", "");
  const int end = run.End(30000);
  const std::string out = run.Out();
  ASSERT_EQ(end, 0) << out;

  std::smatch m;
  std::string pid = std::to_string(host.pid);
  if (way == "-n") {
    ASSERT_TRUE(std::regex_search(out, m, std::regex("\nExecute " + args[1] + " pid=([0-9]+)\n"))) << out;
    pid = m[1];
  }
  if (way == "name") {  // both listed, the last one taken
    const std::string first = std::to_string(m_hosts[0].pid);
    EXPECT_NE(out.find("\nsearch process " + unique + " ...\n-----------------Search Process---------------------\n"
                       "PID    NAME\n" + std::string(4 - std::min<size_t>(4, first.size()), ' ') + first + "   " +
                       unique + "one\n" + pid + "   " + unique + "two\n" + std::string(52, '-') + "\n\n"),
              std::string::npos) << out;
  }
  EXPECT_TRUE(std::regex_search(out, std::regex("Attach process\\(pid=" + pid + "\\) to debug.\n\nWaiting for debug "
                                                "event...(\\[QUIET MODE\\])?\n" + pid +
                                                ":Break in [0-9a-f]{8,},exception code=80000003\n"))) << out;
  // The host announces its faulting thread and function (a started one on the watchdog's output).
  const std::string hostOut = way == "-n" ? out : host.Out();
  ASSERT_TRUE(std::regex_search(hostOut, m, std::regex("tid=([0-9a-f]+) fn=([0-9a-f]+)"))) << hostOut;
  const std::string tid = m[1];
  const unsigned long fn = std::stoul(m[2], nullptr, 16);
  ASSERT_TRUE(std::regex_search(out, m, std::regex(std::to_string(std::stol(tid, nullptr, 16)) +
                                                   ":Break in ([0-9a-f]+),exception code=c0000005\n")))
      << out;
  const std::string addr = m[1];
  EXPECT_TRUE(std::stoul(addr, nullptr, 16) >= fn && std::stoul(addr, nullptr, 16) < fn + 64) << addr;
  EXPECT_NE(out.find(m.str() + kAccessViolationText + "----------------------\nBelow script execute:\n" +
                     "\"./Crashkit.sh\" " + pid + " " + tid + " " + addr + "\n\n"),
            std::string::npos) << out;
  std::string ending = c.ending;  // the toolkit's own warnings about a display may come before it
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"PID", pid}, {"TID", tid}, {"ADDR", addr}}) {
    for (size_t at; (at = ending.find(key)) != std::string::npos;) ending.replace(at, key.size(), value);
  }
  EXPECT_TRUE(out.ends_with(ending)) << out;
  EXPECT_EQ(ReadFile(m_work + "args.txt"), c.scriptFails ? "" : pid + "\n" + tid + "\n" + addr + "\n");
  if (c.scriptFails && !c.display) {  // quiet: the restart script runs
    for (int waited = 0; waited < 10000 && !fs::exists(m_work + "restarted.txt"); waited += 10) usleep(10000);
    EXPECT_EQ(ReadFile(m_work + "restarted.txt"), "restarted\n");
  }
  if (way != "-n") {  // untraced, the host dies of its own fault
    EXPECT_EQ(host.End(10000), crashtest::Child::kBySignal + SIGSEGV);
  }
}

const char kDumped[] =
    "Unknown Exception code=c0000005(pid=PID, tid=TID eip=ADDR ).\r\nThe information is dumped into ./output/.\r\n"
    "Please send it to developement team.\r\nThe application will be terminated.\n";
const std::string kBox = "MessageBox (no screen to show it): [";

INSTANTIATE_TEST_SUITE_P(
    Targets, WatchdogDump,
    ::testing::Values(
        DumpCase{"ByName", "name", {}, false, kBox + "Unknown Exception]\n" + kDumped},
        DumpCase{"ById", "-p", {}, false, kBox + "Unknown Exception]\n" + kDumped},
        DumpCase{"StartedUnreachableDisplay", "-n", {}, true,
                 kBox + "Can not start the dump process, retry?]\n\"./Crashkit.sh\" PID TID ADDR\n", ":4093"},
        DumpCase{"StartedQuiet", "-n", {"-q"}, false, std::string("\nUnknown Exception:\n") + kDumped},
        DumpCase{"FailingScriptQuietRestart", "-p", {"-q", "-r", "./again.sh"}, true,
                 "\nCan not start the dump process. Quit.\n"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(Watchdog, ThreadCheckListsTheBusyThreadAndNotTheIdleOne) {
  crashtest::Child host = StartIdleHost();
  std::smatch threads;
  const std::string hostOut = host.Out();
  ASSERT_TRUE(std::regex_search(hostOut, threads, std::regex("busy=([0-9a-f]+) idle=([0-9a-f]+)")));
  crashtest::Child run = RunSentrel({"-s", std::to_string(host.pid), "500", "10"});
  EXPECT_EQ(run.End(10000), 0);
  const std::string out = run.Out();
  EXPECT_NE(out.find("\nProcess[" + std::to_string(host.pid) +
                     "]:Check all the (3) threads. (wait tick=500, delta CS=10)\nTID\tDCS\tDKT\tDUT\tContexSwitches\n"),
            std::string::npos)
      << out;
  EXPECT_TRUE(std::regex_search(out, std::regex("\n" + threads[1].str() + "\t[0-9]+\t[0-9]+\t[0-9]+\t[0-9]+\t\t~\n")))
      << out;
  EXPECT_EQ(out.find("\n" + threads[2].str() + "\t"), std::string::npos) << out;
}

TEST_F(Watchdog, InterruptedWatchdogLeavesItsTargetRunning) {
  crashtest::Child host = StartIdleHost();
  crashtest::Child run = RunSentrel({"-p", std::to_string(host.pid)});
  ASSERT_TRUE(run.WaitForOutput("A breakpoint(caused by int3) was encountered. \n", 10000)) << run.Out();
  kill(run.pid, SIGINT);
  EXPECT_EQ(run.End(10000), crashtest::Child::kBySignal + SIGINT);
  // Still running, untraced and not stopped: it faults and dies of its own fault.
  WriteFile(m_work + "trigger", "");
  EXPECT_EQ(host.End(10000), crashtest::Child::kBySignal + SIGSEGV);

}

}  // namespace
