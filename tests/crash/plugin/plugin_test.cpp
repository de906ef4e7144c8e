// The crash plug-in loaded into the fault host: the dump script's arguments for each kind of
// fault, one script at a time, the fallback script, the end by the fault's own signal, the
// shipped script's stack log; and the load-time work (cache cleanup, a bare path).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <regex>

#include "crash/plugin/CrashHandler.h"
#include "crash/plugin/DumpCache.h"
#include "tests/crash/host/ChildRun.h"

namespace {

namespace fs = std::filesystem;
using testfiles::ReadFile;
using testfiles::WriteFile;

// Records its arguments and working directory under the thread id, and the order of runs.
const char kRecordingScript[] =
    "echo \"start $2\" >> order.log\nprintf '%s\\n' \"$@\" > \"args.$2\"\npwd > \"cwd.$2\"\nsleep 0.2\n"
    "echo \"end $2\" >> order.log\n";

class CrashPlugin : public ::testing::Test {
 protected:
  void SetUp() override {
    m_root = testfiles::MakeTempDir("crashkit-");
    m_prog = m_root + "prog";
    fs::create_directory(m_prog);
    fs::copy_file(VT_BIN_DIR "/CrashkitPlugin.so", m_prog + "/CrashkitPlugin.so");
  }
  void TearDown() override { fs::remove_all(m_root); }

  // Runs the host to its end; returns how it ended. The host's "tid=<hex> fn=<hex>"
  // lines name the faulting threads and functions.
  int RunHost(const std::string& mode) {
    m_host = crashtest::Spawn({crashtest::TestBinary("crash_fault_host"), m_prog + "/CrashkitPlugin.so", mode},
                              m_root, m_root + "host.out");
    const int ended = m_host.End(60000);
    const std::string out = m_host.Out();
    static const std::regex kLine("tid=([0-9a-f]+) fn=([0-9a-f]+)");
    for (std::sregex_iterator it(out.begin(), out.end(), kLine), end; it != end; ++it)
      m_faulting.push_back({(*it)[1], std::stoull((*it)[2], nullptr, 16)});
    return ended;
  }

  std::string m_root, m_prog;
  crashtest::Child m_host;
  std::vector<std::pair<std::string, uint64_t>> m_faulting;
};

// The script lies below the test root, beside the library or in the fallback; threads faulting
// at once run their scripts one after the other.
struct FaultCase { const char* mode; int signal; const char* code; const char* scriptDir; size_t threads = 1; };

class CrashPluginFault : public CrashPlugin, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(CrashPluginFault, ScriptGetsTheFaultAndTheHostEndsWithItsSignal) {
  const FaultCase& c = GetParam();
  const std::string toolDir = m_root + c.scriptDir;
  fs::create_directories(toolDir);
  crashtest::PutScript(toolDir + "/Crashkit.sh", kRecordingScript);
  ASSERT_EQ(RunHost(c.mode), crashtest::Child::kBySignal + c.signal) << m_host.Out();

  const std::string out = m_host.Out();
  EXPECT_NE(out.find("clear " + m_prog + "/output/cache/\n"), std::string::npos) << out;
  ASSERT_EQ(m_faulting.size(), c.threads) << out;
  for (const auto& [tid, fn] : m_faulting) {
    // pid, tid, ip, sp and the one token, whose eip and esp repeat ip and sp.
    std::string args = ReadFile(toolDir + "/args." + tid);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(args, m, std::regex(std::to_string(m_host.pid) + "\n" + tid +
                                                     "\n([0-9a-f]+)\n([0-9a-f]+)\nerr_" + c.code +
                                                     "#eax_[0-9a-f]+#ebx_[0-9a-f]+#ecx_[0-9a-f]+#edx_[0-9a-f]+"
                                                     "#esi_[0-9a-f]+#edi_[0-9a-f]+#ebp_[0-9a-f]+#eip_\\1#esp_\\2\n")))
        << args;
    const uint64_t at = std::stoull(m[1], nullptr, 16);
    EXPECT_TRUE(c.signal == SIGABRT || (at >= fn && at < fn + 64)) << at;  // abort() faults in the C library
    EXPECT_EQ(ReadFile(toolDir + "/cwd." + tid), toolDir + "\n");
    std::replace(args.begin(), args.end(), '\n', ' ');
    args.back() = '\n';
    EXPECT_NE(out.find(std::string("errCode=") + c.code + ")\n\"" + toolDir + "/Crashkit.sh\" " + args),
              std::string::npos) << out;
  }
  std::string pattern;  // whole runs, one after the other
  for (size_t i = 1; i <= c.threads; ++i) pattern += "start (\\w+)\nend \\" + std::to_string(i) + "\n";
  const std::string order = ReadFile(toolDir + "/order.log");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(order, m, std::regex(pattern))) << order;
  EXPECT_TRUE(c.threads == 1 || m[1] != m[2]);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CrashPluginFault,
    ::testing::Values(FaultCase{"null", SIGSEGV, "c0000005", "prog"}, FaultCase{"div", SIGFPE, "c0000094", "prog"},
                      FaultCase{"ill", SIGILL, "c0000096", "prog"}, FaultCase{"abort", SIGABRT, "c0000409", "prog"},
                      FaultCase{"null", SIGSEGV, "c0000005", "DebugTools"},
                      FaultCase{"two", SIGSEGV, "c0000005", "prog", 2}));

// The shipped script's stack.log becomes a stackresolve script that names first the
// return address gdb shows for main, and a library's too.
TEST_F(CrashPlugin, DefaultScriptsStackLogFeedsStackresolve) {
  fs::copy_file(VT_BIN_DIR "/Crashkit.sh", m_prog + "/Crashkit.sh");
  ASSERT_EQ(RunHost("null"), crashtest::Child::kBySignal + SIGSEGV) << m_host.Out();
  std::string dump;
  for (const auto& entry : fs::directory_iterator(m_prog + "/output"))
    if (entry.path().filename().string().starts_with(std::to_string(m_host.pid) + "-")) dump = entry.path();
  ASSERT_FALSE(dump.empty());
  std::smatch m;
  const std::string backtrace = ReadFile(dump + "/backtrace.txt");
  ASSERT_TRUE(std::regex_search(backtrace, m, std::regex("#[0-9]+ +0x([0-9a-f]{16}) in main \\("))) << backtrace;
  crashtest::Child run =
      crashtest::Spawn({VT_BIN_DIR "/stackresolve", dump + "/stack.log", "script.txt"}, m_root, m_root + "sr.out");
  EXPECT_EQ(run.End(10000), 1) << run.Out();
  const std::string script = ReadFile(m_root + "script.txt");
  EXPECT_TRUE(script.starts_with("*Dump crash_fault_host\nU 0x" + m[1].str() + " L-30;U 0x" + m[1].str() + " L30\n"))
      << script << ReadFile(dump + "/stack.log");
  EXPECT_NE(script.find("*Dump libc.so.6\nU 0x"), std::string::npos) << script;
}

// Each folder holds a dump; a file directly in the cache goes whatever its date.
TEST_F(CrashPlugin, CacheCleanupKeepsOnlyFoldersOfTodaysDayOfMonth) {
  const std::string cache = m_prog + "/output/cache/";
  const time_t now = time(nullptr);
  struct tm earlier {};  // the same day four years back (a 29 February has one there too)
  localtime_r(&now, &earlier);
  earlier.tm_year -= 4;
  earlier.tm_isdst = -1;
  for (const auto& [name, when] : {std::pair<std::string, time_t>{"today", now}, {"month-ago", mktime(&earlier)},
                                   {"yesterday", now - 86400}}) {
    fs::create_directories(cache + name + "/inner");
    WriteFile(cache + name + "/inner/a.dmp", "x");
    const timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (cache + name).c_str(), times, 0), 0) << name;
  }
  WriteFile(cache + "today.dmp", "x");
  crashkit::ClearDumpCache(m_prog);
  for (const auto& [path, kept] : {std::pair<std::string, bool>{"today.dmp", false}, {"today/inner/a.dmp", true},
                                   {"month-ago/inner/a.dmp", true}, {"yesterday", false}})
    EXPECT_EQ(fs::exists(cache + path), kept) << path;
}

TEST(CrashPluginStartUp, LibraryPathWithoutDirectoryInstallsNothing) {
  struct sigaction before {}, after {};
  sigaction(SIGSEGV, nullptr, &before);
  EXPECT_FALSE(crashkit::StartUp("CrashkitPlugin.so"));
  EXPECT_STREQ(crashkit::ToolDirectory(), "");
  sigaction(SIGSEGV, nullptr, &after);
  EXPECT_EQ(after.sa_sigaction, before.sa_sigaction);
}

}  // namespace
