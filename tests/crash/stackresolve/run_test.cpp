// Runs the built stackresolve in both modes in a scratch folder and compares its output
// byte for byte, exit code included.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/crash/host/ChildRun.h"

namespace {

namespace fs = std::filesystem;
using testfiles::ReadFile;
using testfiles::WriteFile;

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class StackresolveRun : public ::testing::Test {
 protected:
  void SetUp() override {
    m_root = testfiles::MakeTempDir("stackresolve-");
    m_work = m_root + "work/";
    fs::create_directory(m_work);
  }
  void TearDown() override { fs::remove_all(m_root); }

  RunResult Run(const std::vector<std::string>& args) {
    std::vector<std::string> argv{VT_BIN_DIR "/stackresolve"};
    argv.insert(argv.end(), args.begin(), args.end());
    crashtest::Child child = crashtest::Spawn(argv, m_work, m_root + "out", m_root + "err");
    const int status = child.Wait(10000);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, child.Out(), ReadFile(m_root + "err")};
  }

  std::string m_root;
  std::string m_work;
};

const char kDebuggerLog[] =
    "> modules\n"
    "start    end        module name\n"
    "00400000 0044f000   main   (deferred)\n"
    "7c900000 7c9af000   ntdll      (symbols)\n"
    "10000000 1000ffff   helper\n"
    "\n"
    "Unloaded modules:\n"
    "71ab0000 71ac7000   ws2help.dll\n"
    "> stack\n"
    "0012f5c4  00401234 7c90e920 00000000 0044f000\n"
    "0012f5d4  00401234 00000fff 10000000 71ab1234\n"
    "0012f5e4  0000f00d 0044f001 7c9af000 1000ffff\n"
    "> quit\n"
    "0012f5f4  10001000 10001000 10001000 10001000\n"
    "quit:\n";

const char kExpectedScript[] =
    "*Dump main   (deferred)\nU 0x00401234 L-30;U 0x00401234 L30\n"
    "*Dump ntdll      (symbols)\nU 0x7c90e920 L-30;U 0x7c90e920 L30\n"
    "*Dump main   (deferred)\nU 0x0044f000 L-30;U 0x0044f000 L30\n"
    "*Dump main   (deferred)\n* 0x00401234 L-30;U 0x00401234 L30\n"
    "*Dump helper\nU 0x10000000 L-30;U 0x10000000 L30\n"
    "*Dump ntdll      (symbols)\nU 0x7c9af000 L-30;U 0x7c9af000 L30\n"
    "*Dump helper\nU 0x1000ffff L-30;U 0x1000ffff L30\n"
    "q\n";

// The layout Crashkit.sh writes for a 64-bit process.
const char kDebuggerLog64[] =
    "> modules\n"
    "start            end                module name\n"
    "00005611eac5a000 00005611eac5f000   crash_fault_host\n"
    "00007f616281e000 00007f61629f3000   libc.so.6\n"
    "\n"
    "> stack\n"
    "00007ffc71088b28  00005611eac5b2e8 0000000000000000 00007f616284524a 00005611eac5a000\n"
    "00007ffc71088b48  00007f616284524a 0000000000000fff 00007f61629f3001 00005611eac5f000\n"
    "quit:\n";

const char kExpectedScript64[] =
    "*Dump crash_fault_host\nU 0x00005611eac5b2e8 L-30;U 0x00005611eac5b2e8 L30\n"
    "*Dump libc.so.6\nU 0x00007f616284524a L-30;U 0x00007f616284524a L30\n"
    "*Dump crash_fault_host\nU 0x00005611eac5a000 L-30;U 0x00005611eac5a000 L30\n"
    "*Dump libc.so.6\n* 0x00007f616284524a L-30;U 0x00007f616284524a L30\n"
    "*Dump crash_fault_host\nU 0x00005611eac5f000 L-30;U 0x00005611eac5f000 L30\n"
    "q\n";

TEST_F(StackresolveRun, CommandScriptModeWritesTheScriptAndExitsWithOne) {
  std::string crlf;  // the same log with Windows line ends reads the same
  for (char c : std::string(kDebuggerLog)) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const std::pair<std::string, const char*> logs[] = {
      {kDebuggerLog, kExpectedScript}, {crlf, kExpectedScript}, {kDebuggerLog64, kExpectedScript64}};
  for (const auto& [log, expected] : logs) {
    WriteFile(m_work + "debugger.log", log);
    WriteFile(m_work + "script.txt", std::string(4096, '#'));  // emptied, not overwritten in place
    const RunResult run = Run({"debugger.log", "script.txt"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(ReadFile(m_work + "script.txt"), expected);
    EXPECT_EQ(run.out + run.err, "");
  }
}

TEST_F(StackresolveRun, CommandScriptModeFailuresAreReportedAndEndWithZero) {
  WriteFile(m_work + "debugger.log", kDebuggerLog);
  fs::create_directory(m_work + "adir");
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {{"missing.log", "script.txt"}, "stackresolve: cannot open missing.log: No such file or directory\n"},
      {{"adir", "script.txt"}, "stackresolve: cannot read adir: Is a directory\n"},
      {{"debugger.log", "/dev/full"}, "stackresolve: cannot write /dev/full: No space left on device\n"},
      // The script file is missing: nothing is read or written.
      {{"debugger.log"}, "stackresolve: no command-script file given after debugger.log\nusage: "},
  };
  for (const auto& [args, err] : rows) {
    const RunResult run = Run(args);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.substr(0, err.size()), err);
  }
  EXPECT_FALSE(fs::exists(m_work + "script.txt"));
}

TEST_F(StackresolveRun, ConsoleModePrintsEveryHitInModuleOrder) {
  WriteFile(m_work + "modules.ini",
            "main.exe\t00400000-0044f000\tC:\\app\\main.exe\n"
            "Loaded:  7c900000 7c9af000   C:\\WINDOWS\\system32\\ntdll.dll\n"
            "broken\tnot-an-address\t\n");
  WriteFile(m_work + "stack.ini", "0012f5c4  00401234 7c90e920 00000000\n0x401234 0044f000\n");
  RunResult run = Run({});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "main.exe [00400000-0044f000] - 0x00401234\n"
            "  ntdll.dll [7c900000-7c9af000] - 0x7c90e920\n"
            "broken [00000000-00000000] - 0x00000000\n"
            "broken [00000000-00000000] - 0x00000000\n"
            "main.exe [00400000-0044f000] - 0x0044f000\n");

  fs::remove(m_work + "modules.ini");
  fs::remove(m_work + "stack.ini");
  run = Run({});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "Can not find [modules.ini].\nCan not find [stack.ini].\n");
  EXPECT_EQ(run.err,
            "stackresolve: cannot open modules.ini: No such file or directory\n"
            "stackresolve: cannot open stack.ini: No such file or directory\n");
}

}  // namespace
