// Runs the built stackresolve in both modes in a scratch folder and compares its output
// byte for byte, exit code included.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>
#include "tests/support/TestFiles.h"

namespace {

using testfiles::ReadFile;
using testfiles::WriteFile;

namespace fs = std::filesystem;

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};



class StackresolveRun : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "stackresolve-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_root = pattern;
    m_work = m_root / "work";
    fs::create_directory(m_work);
  }
  void TearDown() override { fs::remove_all(m_root); }

  // Runs in m_work; stdout and stderr go to files outside it.
  RunResult Run(const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
      std::vector<char*> argv{const_cast<char*>(VT_BIN_DIR "/stackresolve")};
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      if (chdir(m_work.c_str()) != 0 ||
          !freopen((m_root / "out").c_str(), "w", stdout) ||
          !freopen((m_root / "err").c_str(), "w", stderr)) {
        _exit(127);
      }
      execv(argv[0], argv.data());
      _exit(127);
    }
    int status = 0;
    RunResult result;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
      result.exitCode = WEXITSTATUS(status);
    }
    result.out = ReadFile(m_root / "out");
    result.err = ReadFile(m_root / "err");
    return result;
  }

  fs::path m_root;
  fs::path m_work;
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

TEST_F(StackresolveRun, CommandScriptModeWritesTheScriptAndExitsWithOne) {
  WriteFile(m_work / "debugger.log", kDebuggerLog);
  WriteFile(m_work / "script.txt", std::string(4096, '#'));  // emptied, not overwritten in place
  RunResult run = Run({"debugger.log", "script.txt"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(ReadFile(m_work / "script.txt"), kExpectedScript);
  EXPECT_EQ(run.out + run.err, "");

  // The same log with Windows line ends reads the same.
  std::string crlf;
  for (char c : std::string(kDebuggerLog)) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  WriteFile(m_work / "debugger-crlf.log", crlf);
  EXPECT_EQ(Run({"debugger-crlf.log", "crlf.txt"}).exitCode, 1);
  EXPECT_EQ(ReadFile(m_work / "crlf.txt"), kExpectedScript);
}

TEST_F(StackresolveRun, CommandScriptModeFailuresAreReportedAndEndWithZero) {
  RunResult run = Run({"missing.log", "script.txt"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "stackresolve: cannot open missing.log: No such file or directory\n");
  EXPECT_FALSE(fs::exists(m_work / "script.txt"));

  fs::create_directory(m_work / "adir");
  run = Run({"adir", "script.txt"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "stackresolve: cannot read adir: Is a directory\n");

  WriteFile(m_work / "debugger.log", kDebuggerLog);
  run = Run({"debugger.log", "/dev/full"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "stackresolve: cannot write /dev/full: No space left on device\n");

  run = Run({"debugger.log"});  // the script file is missing: nothing is read or written
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("stackresolve: no command-script file given after debugger.log\nusage: ", 0), 0u)
      << run.err;
  EXPECT_FALSE(fs::exists(m_work / "script.txt"));
  EXPECT_EQ(std::distance(fs::directory_iterator(m_work), fs::directory_iterator()), 2);
}

TEST_F(StackresolveRun, ConsoleModePrintsEveryHitInModuleOrder) {
  WriteFile(m_work / "modules.ini",
           "main.exe\t00400000-0044f000\tC:\\app\\main.exe\n"
           "Loaded:  7c900000 7c9af000   C:\\WINDOWS\\system32\\ntdll.dll\n"
           "Loaded:  10000000 1000ffff   C:\\app\\helper.dll\n"
           "broken\tnot-an-address\t\n"
           "lowmod\t00000000 00001fff\t\n");
  WriteFile(m_work / "stack.ini",
           "0012f5c4  00401234 7c90e920 00000000 0044f000\n"
           "0x401234 00000fff 1000ffff\n");
  RunResult run = Run({});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "main.exe [00400000-0044f000] - 0x00401234\n"
            "  ntdll.dll [7c900000-7c9af000] - 0x7c90e920\n"
            "broken [00000000-00000000] - 0x00000000\n"
            "lowmod [00000000-00001fff] - 0x00000000\n"
            "main.exe [00400000-0044f000] - 0x0044f000\n"
            "broken [00000000-00000000] - 0x00000000\n"
            "lowmod [00000000-00001fff] - 0x00000000\n"
            "lowmod [00000000-00001fff] - 0x00000fff\n"
            "  helper.dll [10000000-1000ffff] - 0x1000ffff\n");

  fs::remove(m_work / "modules.ini");
  run = Run({});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "Can not find [modules.ini].\n");
  EXPECT_EQ(run.err, "stackresolve: cannot open modules.ini: No such file or directory\n");

  fs::remove(m_work / "stack.ini");
  run = Run({});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "Can not find [modules.ini].\nCan not find [stack.ini].\n");
  EXPECT_EQ(run.err,
            "stackresolve: cannot open modules.ini: No such file or directory\n"
            "stackresolve: cannot open stack.ini: No such file or directory\n");
}

}  // namespace
