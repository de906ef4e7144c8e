// The built Sentrel against the fault host: command line, name search, attach and traced start
// up to the dump script, quiet failure and restart, thread check, Ctrl-C leaving the target.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <regex>
#include <tuple>

#include "tests/crash/host/ChildRun.h"

namespace {

namespace fs = std::filesystem;
using testfiles::ReadFile;
using testfiles::WriteFile;

const char kSentrel[] = VT_BIN_DIR "/Sentrel";
const char kBreakpoint[] = "A breakpoint(caused by int3) was encountered. \n";

class Watchdog : public ::testing::Test {
 protected:
  void SetUp() override {
    m_work = testfiles::MakeTempDir("sentrel-");
    crashtest::PutScript(m_work + "Crashkit.sh", "printf '%s\\n' \"$@\" > args.txt\n");
    // In the sanitizer build the host must die of its fault, not of the sanitizer's report.
    const char* asan = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":handle_segv=0").c_str(), 1);
    unsetenv("DISPLAY");  // headless, whatever the machine has: boxes are printed, never shown
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("QT_QPA_PLATFORM");
  }
  void TearDown() override {
    for (crashtest::Child& host : m_hosts) host.End(0);
    fs::remove_all(m_work);
  }

  crashtest::Child RunSentrel(std::vector<std::string> args) {
    args.insert(args.begin(), kSentrel);
    return crashtest::Spawn(args, m_work, m_work + "sentrel.out." + std::to_string(m_runs++));
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

TEST_F(Watchdog, CommandLinePrintsTheUsageThenActsOnTheOptions) {
  const std::string attachFails = "Can not attach process, DebugActiveProcess(pid=-1) failed.\nNo such process\n";
  const std::tuple<std::vector<std::string>, int, std::string> rows[] = {
      {{}, 1, attachFails}, {{"-s"}, 1, attachFails},
      {{"-q", "-r"}, 1, "Script [./restart.sh] will be called after dumped.\n" + attachFails},
      {{"-r", "a.sh", "b.sh"}, 1, "Script [b.sh] will be called after dumped.\n" + attachFails},
      {{"-p", "-1", "-q"}, 1, "Attach process id=-1\n" + attachFails}, {{"-?"}, 0, ""}, {{"/h", "-p", "1"}, 0, ""}};
  for (const auto& [args, exitCode, afterUsage] : rows) {
    crashtest::Child run = RunSentrel(args);
    EXPECT_EQ(run.End(10000), exitCode) << afterUsage;
    const std::string out = run.Out();  // the usage, its first and last line checked, then the options' effect
    EXPECT_TRUE(out.starts_with("Usage:\n  " + std::string(kSentrel) + " [<process name>] \t\tdefault:quillon\n") &&
                out.ends_with(" will be called after dumpped.\n" + afterUsage)) << out;
  }
}

// A host taken by name, by id or started traced faults; the dump script runs (or fails).
// The output's end has PID, TID and ADDR filled in; a display no toolkit can open still prints the box.
struct DumpCase {
  const char* name;
  std::string way;  // "name", "-p" or "-n"
  std::vector<std::string> options;
  bool scriptFails;
  std::string ending;
  const char* display = nullptr;
};

class WatchdogDump : public Watchdog, public ::testing::WithParamInterface<DumpCase> {};

TEST_P(WatchdogDump, ReportsTheInitialBreakpointThenTheFaultAndRunsTheDumpScript) {
  const DumpCase& c = GetParam();
  const std::string unique = "xqhost" + std::to_string(getpid());
  if (c.scriptFails) crashtest::PutScript(m_work + "Crashkit.sh", "exit 1\n");
  crashtest::PutScript(m_work + "again.sh", "echo restarted > restarted.txt\n");
  std::vector<std::string> args{"-n", crashtest::TestBinary("crash_fault_host") + " - null"};
  crashtest::Child host;
  if (c.way == "name") {
    for (const char* suffix : {"one", "two"}) {
      fs::copy_file(crashtest::TestBinary("crash_fault_host"), m_work + unique + suffix);
      host = StartIdleHost(m_work + unique + suffix);
    }
    args = {"XQHOST" + std::to_string(getpid())};
  } else if (c.way == "-p") {
    host = StartIdleHost();
    args = {"-p", std::to_string(host.pid)};
  }
  args.insert(args.end(), c.options.begin(), c.options.end());
  if (c.display) setenv("DISPLAY", c.display, 1);
  crashtest::Child run = RunSentrel(args);
  ASSERT_TRUE(run.WaitForOutput(kBreakpoint, 10000)) << run.Out();
  WriteFile(m_work + "trigger", "");
  ASSERT_EQ(run.End(30000), 0) << run.Out();
  const std::string out = run.Out();

  std::smatch m;
  std::string pid = std::to_string(host.pid);
  if (c.way == "-n") {
    ASSERT_TRUE(std::regex_search(out, m, std::regex("\nExecute " + args[1] + " pid=([0-9]+)\n"))) << out;
    pid = m[1];
  }
  if (c.way == "name") {  // both listed, the last one taken
    const auto row = [](const std::string& id) { return std::string(4 - std::min<size_t>(4, id.size()), ' ') + id; };
    EXPECT_NE(out.find("\nsearch process " + unique + " ...\n-----------------Search Process---------------------\n"
                       "PID    NAME\n" + row(std::to_string(m_hosts[0].pid)) + "   " + unique + "one\n" + row(pid) +
                       "   " + unique + "two\n" + std::string(52, '-') + "\n\n"),
              std::string::npos) << out;
  }
  EXPECT_TRUE(std::regex_search(out, std::regex("Attach process\\(pid=" + pid + "\\) to debug.\n\nWaiting for debug "
                                                "event...(\\[QUIET MODE\\])?\n" + pid +
                                                ":Break in [0-9a-f]{8,},exception code=80000003\n"))) << out;
  // The host announces its faulting thread and function (a started one on the watchdog's output).
  const std::string hostOut = c.way == "-n" ? out : host.Out();
  ASSERT_TRUE(std::regex_search(hostOut, m, std::regex("tid=([0-9a-f]+) fn=([0-9a-f]+)"))) << hostOut;
  const std::string tid = m[1];
  const unsigned long fn = std::stoul(m[2], nullptr, 16);
  ASSERT_TRUE(std::regex_search(out, m, std::regex(std::to_string(std::stol(tid, nullptr, 16)) +
                                                   ":Break in ([0-9a-f]+),exception code=c0000005\n"))) << out;
  const std::string addr = m[1];
  EXPECT_TRUE(std::stoul(addr, nullptr, 16) >= fn && std::stoul(addr, nullptr, 16) < fn + 64) << addr;
  EXPECT_NE(out.find(m.str() + "The thread attempted to read from or write to a virtual address for which it does "
                     "not have the appropriate access. \n----------------------\nBelow script execute:\n"
                     "\"./Crashkit.sh\" " + pid + " " + tid + " " + addr + "\n\n"), std::string::npos) << out;
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
  if (c.way != "-n") {  // untraced, the host dies of its own fault
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
        DumpCase{"StartedUnreachableDisplay", "-n", {}, true,
                 kBox + "Can not start the dump process, retry?]\n\"./Crashkit.sh\" PID TID ADDR\n", ":4093"},
        DumpCase{"StartedQuiet", "-n", {"-q"}, false, std::string("\nUnknown Exception:\n") + kDumped},
        DumpCase{"FailingScriptQuietRestart", "-p", {"-q", "-r", "./again.sh"}, true,
                 "\nCan not start the dump process. Quit.\n"}),
    [](const auto& test) { return std::string(test.param.name); });

// The thread check, then Ctrl-C while attached: the target runs on untraced and dies of its own fault.
TEST_F(Watchdog, ThreadCheckAndAnInterruptedAttachLeaveTheTargetRunning) {
  crashtest::Child host = StartIdleHost();
  const std::string pid = std::to_string(host.pid), hostOut = host.Out();
  std::smatch threads;
  ASSERT_TRUE(std::regex_search(hostOut, threads, std::regex("busy=([0-9a-f]+) idle=([0-9a-f]+)")));
  crashtest::Child check = RunSentrel({"-s", pid, "500", "10"});
  EXPECT_EQ(check.End(10000), 0);
  const std::string out = check.Out();
  EXPECT_NE(out.find("\nProcess[" + pid + "]:Check all the (3) threads. (wait tick=500, delta CS=10)\n"
                     "TID\tDCS\tDKT\tDUT\tContexSwitches\n"), std::string::npos) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex("\n" + threads[1].str() + "\t[0-9]+\t[0-9]+\t[0-9]+\t[0-9]+\t\t~\n")))
      << out;
  EXPECT_EQ(out.find("\n" + threads[2].str() + "\t"), std::string::npos) << out;
  crashtest::Child run = RunSentrel({"-p", pid});
  ASSERT_TRUE(run.WaitForOutput(kBreakpoint, 10000)) << run.Out();
  kill(run.pid, SIGINT);
  EXPECT_EQ(run.End(10000), crashtest::Child::kBySignal + SIGINT);
  WriteFile(m_work + "trigger", "");
  EXPECT_EQ(host.End(10000), crashtest::Child::kBySignal + SIGSEGV);
}

}  // namespace
