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

// The line rules are the rules test's; here the file handling around them.
const char kDebuggerLog[] =
    "> modules\n"
    "start    end        module name\n"
    "00400000 0044f000   main   (deferred)\n"
    "\n"
    "0012f5c4  00401234 7c90e920 00000000 0044f000\n"
    "quit:\n";

const char kExpectedScript[] =
    "*Dump main   (deferred)\nU 0x00401234 L-30;U 0x00401234 L30\n"
    "*Dump main   (deferred)\nU 0x0044f000 L-30;U 0x0044f000 L30\n"
    "q\n";

TEST_F(StackresolveRun, CommandScriptModeWritesTheScriptAndExitsWithOne) {
  std::string crlf;  // the same log with Windows line ends reads the same
  for (char c : std::string(kDebuggerLog)) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  for (const std::string& log : {std::string(kDebuggerLog), crlf}) {
    WriteFile(m_work + "debugger.log", log);
    WriteFile(m_work + "script.txt", std::string(4096, '#'));  // emptied, not overwritten in place
    const RunResult run = Run({"debugger.log", "script.txt"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(ReadFile(m_work + "script.txt"), kExpectedScript);
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
            "Loaded:  7c900000 7c9af000   C:\\WINDOWS\\system32\\ntdll.dll\n");
  WriteFile(m_work + "stack.ini", "0012f5c4  00401234 7c90e920\n0044f000\n");
  RunResult run = Run({});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "main.exe [00400000-0044f000] - 0x00401234\n"
            "  ntdll.dll [7c900000-7c9af000] - 0x7c90e920\n"
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
