// The built stackresolve in both modes in a scratch folder, its output compared byte for byte,
// exit code included: the file handling around the rules test's line rules.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/crash/host/ChildRun.h"

namespace {

namespace fs = std::filesystem;
using testfiles::ReadFile;
using testfiles::WriteFile;

const char kLog[] =
    "> modules\nstart    end        module name\n00400000 0044f000   main   (deferred)\n\n"
    "0012f5c4  00401234 7c90e920 00000000 0044f000\nquit:\n";
const char kScript[] =
    "*Dump main   (deferred)\nU 0x00401234 L-30;U 0x00401234 L30\n"
    "*Dump main   (deferred)\nU 0x0044f000 L-30;U 0x0044f000 L30\nq\n";
const char kMissing[] = ": No such file or directory\n";
const char kStale[] = "stale script";

struct RunCase {
  std::vector<std::string> args;
  int exitCode;
  std::string out, err;            // of err its beginning; "" = nothing on standard error
  std::string script = kStale;     // script.txt afterwards: a failed run leaves it alone
  bool withoutInputs = false;      // modules.ini and stack.ini missing
};

class StackresolveRun : public ::testing::TestWithParam<RunCase> {};

TEST_P(StackresolveRun, ExitCodeOutputAndScript) {
  const RunCase& c = GetParam();
  const std::string work = testfiles::MakeTempDir("stackresolve-");
  WriteFile(work + "debugger.log", kLog);
  WriteFile(work + "crlf.log", std::regex_replace(kLog, std::regex("\n"), "\r\n"));  // Windows line ends read the same
  WriteFile(work + "script.txt", kStale);
  if (!c.withoutInputs) {
    WriteFile(work + "modules.ini", "main.exe\t00400000-0044f000\tC:\\app\\main.exe\n"
                                    "Loaded:  7c900000 7c9af000   C:\\WINDOWS\\system32\\ntdll.dll\n");
    WriteFile(work + "stack.ini", "0012f5c4  00401234 7c90e920\n0044f000\n");
  }
  std::vector<std::string> argv{VT_BIN_DIR "/stackresolve"};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  crashtest::Child child = crashtest::Spawn(argv, work, work + "out", work + "err");
  EXPECT_EQ(child.End(10000), c.exitCode);
  EXPECT_EQ(child.Out(), c.out);
  const std::string err = ReadFile(work + "err");
  EXPECT_EQ(c.err.empty() ? err : err.substr(0, c.err.size()), c.err);
  EXPECT_EQ(ReadFile(work + "script.txt"), c.script);
  fs::remove_all(work);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StackresolveRun,
    ::testing::Values(
        RunCase{{"debugger.log", "script.txt"}, 1, "", "", kScript},
        RunCase{{"crlf.log", "script.txt"}, 1, "", "", kScript},
        RunCase{{"missing.log", "script.txt"}, 0, "", std::string("stackresolve: cannot open missing.log") + kMissing},
        RunCase{{".", "script.txt"}, 0, "", "stackresolve: cannot read .: Is a directory\n"},
        RunCase{{"debugger.log", "/dev/full"}, 0, "",
                "stackresolve: cannot write /dev/full: No space left on device\n"},
        // The script file is missing: nothing is read or written.
        RunCase{{"debugger.log"}, 0, "", "stackresolve: no command-script file given after debugger.log\nusage: "},
        RunCase{{}, 0,
                "main.exe [00400000-0044f000] - 0x00401234\n  ntdll.dll [7c900000-7c9af000] - 0x7c90e920\n"
                "main.exe [00400000-0044f000] - 0x0044f000\n",
                ""},
        RunCase{{}, 0, "Can not find [modules.ini].\nCan not find [stack.ini].\n",
                std::string("stackresolve: cannot open modules.ini") + kMissing +
                    "stackresolve: cannot open stack.ini" + kMissing,
                kStale, true}));

}  // namespace
