#pragma once
// Named threads. The name (at most 15 characters are kept by the kernel) shows in
// /proc/<pid>/task/*/comm and in debuggers; worker names begin with "t".
#include <functional>
#include <string>
#include <thread>

namespace platform {

// Names the calling thread.
void SetCurrentThreadName(const std::string& name);

// Starts a thread that names itself before running fn.
std::thread StartNamedThread(std::string name, std::function<void()> fn);

// The kernel's id of the calling thread (what log records print).
int CurrentThreadId();

}  // namespace platform
