// stackresolve: relates the raw words of a dumped stack to the modules of the crashed
// process.
//   stackresolve <debugger-log> <command-script>
//       reads the debugger's module list and stack dump (8- or 16-digit words), writes a
//       debugger script that unassembles around every word pointing into a module; exit
//       code 1 when written.
//   stackresolve
//       reads modules.ini and stack.ini from the current folder and prints a line for
//       every stack word inside a module; exit code 0.
// Exit code 0 otherwise: callers of the script mode take only 1 as "script written", so
// an unreadable file and a wrong command line both end with 0.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "crash/stackresolve/CommandScript.h"
#include "crash/stackresolve/ConsoleReport.h"
#include "crash/stackresolve/DebuggerLogReader.h"
#include "crash/stackresolve/TextFile.h"

namespace {

constexpr int kExitScriptWritten = 1;
constexpr int kExitOther = 0;

void ReportFileError(const std::string& path, const stackresolve::FileError& error) {
  std::fflush(stdout);  // keep the report after anything already printed
  std::fprintf(stderr, "stackresolve: %s\n", stackresolve::DescribeFileError(path, error).c_str());
}

int RunCommandScriptMode(const std::string& logPath, const std::string& scriptPath) {
  stackresolve::CDebuggerLogReader reader;
  stackresolve::FileError error = stackresolve::ReadTextLines(
      logPath, [&reader](std::string_view line) { return reader.FeedLine(line); });
  if (error) {
    ReportFileError(logPath, error);
    return kExitOther;
  }
  std::string script =
      stackresolve::BuildCommandScript(reader.Modules(), reader.StackLines(), reader.WordDigits());
  error = stackresolve::WriteTextFile(scriptPath, script);
  if (error) {
    ReportFileError(scriptPath, error);
    return kExitOther;
  }
  return kExitScriptWritten;
}

int RunConsoleMode() {
  const std::string modulesPath = "modules.ini";
  const std::string stackPath = "stack.ini";

  std::vector<stackresolve::ModuleRange> modules;
  stackresolve::FileError error = stackresolve::ReadTextLines(
      modulesPath, [&modules](std::string_view line) {
        modules.push_back(stackresolve::ParseModulesIniLine(line));
        return true;
      });
  if (error) {
    ReportFileError(modulesPath, error);
    std::printf("Can not find [%s].\n", modulesPath.c_str());
    modules.clear();  // a half-read list would name the wrong modules
  }

  // Without modules the stack is still read, so a bad stack.ini is reported either way.
  error = stackresolve::ReadTextLines(stackPath, [&modules](std::string_view line) {
    std::string report = stackresolve::ReportStackIniLine(line, modules);
    std::fwrite(report.data(), 1, report.size(), stdout);
    return true;
  });
  if (error) {
    ReportFileError(stackPath, error);
    std::printf("Can not find [%s].\n", stackPath.c_str());
  }
  return kExitOther;
}

void PrintUsage() {
  std::fputs(
      "usage: stackresolve <debugger-log> <command-script>\n"
      "       stackresolve            (reads modules.ini and stack.ini in the current folder)\n",
      stderr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) return RunConsoleMode();
  if (argc == 3) return RunCommandScriptMode(argv[1], argv[2]);
  // One argument is a script run missing its output file; guessing a name could overwrite
  // something, so nothing is read or written.
  if (argc == 2) {
    std::fprintf(stderr, "stackresolve: no command-script file given after %s\n", argv[1]);
  } else {
    std::fprintf(stderr, "stackresolve: too many arguments\n");
  }
  PrintUsage();
  return kExitOther;
}
