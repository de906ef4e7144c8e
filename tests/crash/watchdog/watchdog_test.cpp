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
    ASSERT_FALSE(m_work.empty());
    PutScript("Crashkit.sh", "printf '%s\\n' \"$@\" > args.txt\n");
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

  void Trigger() { WriteFile(m_work + "trigger", ""); }

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
  const int status = run.Wait(10000);
  ASSERT_TRUE(status != -1 && WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), GetParam().exitCode);
  EXPECT_EQ(run.Out(), Usage() + GetParam().afterUsage);
}

const char kAttachFails[] = "Can not attach process, DebugActiveProcess(pid=-1) failed.\nNo such process\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, WatchdogCommandLine,
    ::testing::Values(CommandLineCase{{}, 1, kAttachFails},
                      CommandLineCase{{"-q", "-r"}, 1, std::string("Script [./restart.sh] will be called after dumped.\n") + kAttachFails},
                      CommandLineCase{{"-r", "a.sh", "b.sh"}, 1, std::string("Script [b.sh] will be called after dumped.\n") + kAttachFails},
                      CommandLineCase{{"-p", "-1", "-q"}, 1, std::string("Attach process id=-1\n") + kAttachFails},
                      CommandLineCase{{"-h"}, 0, ""}, CommandLineCase{{"-?"}, 0, ""},
                      CommandLineCase{{"/h", "-p", "1"}, 0, ""}, CommandLineCase{{"-q", "/?"}, 0, ""},
                      CommandLineCase{{"-s"}, 1, kAttachFails}));

// Taking a running host, by name or by id: the attach stop, then its fault and the dump.
class WatchdogAttach : public Watchdog, public ::testing::WithParamInterface<bool> {};

TEST_P(WatchdogAttach, ReportsTheAttachStopThenTheFaultAndRunsTheDumpScript) {
  const bool byName = GetParam();
  const std::string unique = "xqhost" + std::to_string(getpid());
  std::vector<std::string> args;
  crashtest::Child host;
  if (byName) {
    for (const char* suffix : {"one", "two"}) {
      fs::copy_file(crashtest::TestBinary("crash_fault_host"), m_work + unique + suffix);
      host = StartIdleHost(m_work + unique + suffix);
    }
    args = {"XQHOST" + std::to_string(getpid())};
  } else {
    host = StartIdleHost();
    args = {"-p", std::to_string(host.pid)};
  }
  crashtest::Child run = RunSentrel(args);
  ASSERT_TRUE(run.WaitForOutput("Waiting for debug event...\n", 10000)) << run.Out();
  ASSERT_TRUE(run.WaitForOutput("A breakpoint(caused by int3) was encountered. \n", 10000)) << run.Out();
  Trigger();
  const int status = run.Wait(30000);
  const std::string out = run.Out();
  ASSERT_TRUE(status != -1 && WIFEXITED(status)) << out;
  EXPECT_EQ(WEXITSTATUS(status), 0) << out;

  const std::string pid = std::to_string(host.pid);
  if (byName) {
    const std::string first = std::to_string(m_hosts[0].pid);
    EXPECT_NE(out.find("\nsearch process " + unique + " ...\n-----------------Search Process---------------------\n"
                       "PID    NAME\n"),
              std::string::npos);
    EXPECT_NE(out.find(std::string(4 - std::min<size_t>(4, first.size()), ' ') + first + "   " + unique + "one\n"),
              std::string::npos) << out;
    EXPECT_NE(out.find(pid + "   " + unique + "two\n----------------------------------------------------\n\n"),
              std::string::npos) << out;
  }
  EXPECT_NE(out.find("Attach process(pid=" + pid + ") to debug.\n"), std::string::npos) << out;
  const std::regex attachStop(pid + ":Break in [0-9a-f]{8,},exception code=80000003\n");
  EXPECT_TRUE(std::regex_search(out, attachStop)) << out;

  std::smatch announced;
  const std::string hostOut = host.Out();
  ASSERT_TRUE(std::regex_search(hostOut, announced, std::regex("tid=([0-9a-f]+) fn=([0-9a-f]+)"))) << hostOut;
  const std::string script = ReadFile(m_work + "args.txt");
  std::smatch recorded;
  ASSERT_TRUE(std::regex_match(script, recorded, std::regex(pid + "\n" + announced[1].str() + "\n([0-9a-f]+)\n")))
      << script;
  const unsigned long address = std::stoul(recorded[1], nullptr, 16);
  const unsigned long fn = std::stoul(announced[2], nullptr, 16);
  EXPECT_TRUE(address >= fn && address < fn + 64) << recorded[1];
  const std::string faultTid = std::to_string(std::stol(announced[1], nullptr, 16));
  EXPECT_NE(out.find(faultTid + ":Break in " + recorded[1].str() + ",exception code=c0000005\n" + kAccessViolationText +
                     "----------------------\nBelow script execute:\n\"./Crashkit.sh\" " + pid + " " +
                     announced[1].str() + " " + recorded[1].str() + "\n\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("MessageBox (no screen to show it): [Unknown Exception]\nUnknown Exception code=c0000005(pid=" +
                     pid + ", tid=" + announced[1].str() + " eip=" + recorded[1].str() + " ).\r\n"),
            std::string::npos)
      << out;
  // Untraced, the host dies of its own fault.
  const int hostStatus = host.Wait(10000);
  EXPECT_TRUE(hostStatus != -1 && WIFSIGNALED(hostStatus) && WTERMSIG(hostStatus) == SIGSEGV) << hostStatus;
}

INSTANTIATE_TEST_SUITE_P(Target, WatchdogAttach, ::testing::Values(true, false),
                         [](const auto& test) { return test.param ? "ByName" : "ById"; });

TEST_F(Watchdog, StartedProgramFaultsAndTheQuietDumpIsPrinted) {
  const std::string host = crashtest::TestBinary("crash_fault_host");
  crashtest::Child run = RunSentrel({"-n", host + " - null", "-q"});
  const int status = run.Wait(30000);
  const std::string out = run.Out();
  ASSERT_TRUE(status != -1 && WIFEXITED(status)) << out;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::smatch started;
  ASSERT_TRUE(std::regex_search(out, started, std::regex("Execute " + host + " - null pid=([0-9]+)\n"))) << out;
  const std::string pid = started[1];
  EXPECT_NE(out.find("Attach process(pid=" + pid + ") to debug.\n\nWaiting for debug event...[QUIET MODE]\n" + pid +
                     ":Break in "),
            std::string::npos)
      << out;
  const std::string recorded = ReadFile(m_work + "args.txt");
  std::smatch args;
  ASSERT_TRUE(std::regex_match(recorded, args, std::regex(pid + "\n([0-9a-f]+)\n([0-9a-f]+)\n"))) << recorded;
  EXPECT_NE(out.find(std::string(kAccessViolationText) + "----------------------\nBelow script execute:\n\"./Crashkit.sh\" " +
                     pid + " " + args[1].str() + " " + args[2].str() + "\n\n\nUnknown Exception:\nUnknown Exception code=c0000005(pid=" +
                     pid + ", tid=" + args[1].str() + " eip=" + args[2].str() +
                     " ).\r\nThe information is dumped into ./output/.\r\nPlease send it to developement team.\r\n"
                     "The application will be terminated.\n"),
            std::string::npos)
      << out;
}

TEST_F(Watchdog, FailingDumpScriptInQuietModeQuitsAndStartsTheRestartScript) {
  PutScript("Crashkit.sh", "exit 1\n");
  PutScript("again.sh", "echo restarted > restarted.txt\n");
  // "-r" leaves the mode at the restart script, so the target comes from "-p", not "-n".
  crashtest::Child host = StartIdleHost();
  crashtest::Child run = RunSentrel({"-p", std::to_string(host.pid), "-q", "-r", "./again.sh"});
  ASSERT_TRUE(run.WaitForOutput("A breakpoint(caused by int3) was encountered. \n", 10000)) << run.Out();
  Trigger();
  const int status = run.Wait(30000);
  const std::string out = run.Out();
  ASSERT_TRUE(status != -1 && WIFEXITED(status)) << out;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(out.find("Script [./again.sh] will be called after dumped.\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\n\n\nCan not start the dump process. Quit.\n"), std::string::npos) << out;
  for (int waited = 0; waited < 10000 && !fs::exists(m_work + "restarted.txt"); waited += 10) usleep(10000);
  EXPECT_EQ(ReadFile(m_work + "restarted.txt"), "restarted\n");
}

TEST_F(Watchdog, ThreadCheckListsTheBusyThreadAndNotTheIdleOne) {
  crashtest::Child host = StartIdleHost();
  std::smatch threads;
  const std::string hostOut = host.Out();
  ASSERT_TRUE(std::regex_search(hostOut, threads, std::regex("busy=([0-9a-f]+) idle=([0-9a-f]+)")));
  crashtest::Child run = RunSentrel({"-s", std::to_string(host.pid), "500", "10"});
  const int status = run.Wait(10000);
  const std::string out = run.Out();
  ASSERT_TRUE(status != -1 && WIFEXITED(status)) << out;
  EXPECT_EQ(WEXITSTATUS(status), 0);
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
  const int status = run.Wait(10000);
  EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
  usleep(200000);
  int hostStatus = 0;
  EXPECT_EQ(waitpid(host.pid, &hostStatus, WNOHANG), 0) << "the host ended";
  Trigger();  // still running, untraced: it faults and dies
  hostStatus = host.Wait(10000);
  EXPECT_TRUE(hostStatus != -1 && WIFSIGNALED(hostStatus) && WTERMSIG(hostStatus) == SIGSEGV) << hostStatus;
}

}  // namespace
