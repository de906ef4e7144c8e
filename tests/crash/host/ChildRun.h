#pragma once
// Starts a built program for the crash tests, its output in a file, and waits for it with
// a bound, so that a hang fails the test instead of blocking it.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestFiles.h"

namespace crashtest {

struct Child {
  pid_t pid = -1;
  std::string outPath;

  std::string Out() const { return testfiles::ReadFile(outPath); }

  // How it ended: its exit code, kBySignal + the signal that ended it, or -1 when it did
  // not end in time (it is killed then).
  static constexpr int kBySignal = 1000;
  int End(int timeoutMs) {
    int status = 0;
    for (int waited = 0; waitpid(pid, &status, WNOHANG) != pid; waited += 10) {
      if (waited >= timeoutMs) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : kBySignal + WTERMSIG(status);
  }

  bool WaitForOutput(const std::string& text, int timeoutMs) const {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
      if (Out().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
};

// stdout goes to outPath, stderr too unless errPath is given; stdin is /dev/null.
inline Child Spawn(const std::vector<std::string>& args, const std::string& cwd, const std::string& outPath,
                   const std::string& errPath = "") {
  const Child child{fork(), outPath};
  if (child.pid != 0) return child;
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = errPath.empty() ? out : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0 || err < 0 || dup2(open("/dev/null", O_RDONLY), 0) != 0 || chdir(cwd.c_str()) != 0) _exit(126);
  dup2(out, 1);
  dup2(err, 2);
  execv(argv[0], argv.data());
  _exit(127);
}

inline std::string TestBinary(const std::string& name) { return std::string(VT_TESTS_DIR) + "/" + name; }

inline void PutScript(const std::string& path, const std::string& body) {
  testfiles::WriteFile(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), 0755);
}

}  // namespace crashtest
