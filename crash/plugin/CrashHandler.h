#pragma once
// The process-wide handler of the fatal signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT).
//
// The faulting thread does only async-signal-safe work: it copies the registers into a
// preallocated slot, wakes the dispatcher thread (started at load, before any fault) by
// writing the slot's index into a pipe, and waits on a futex for at most 180 s. The
// dispatcher starts one handler thread per fault; handler threads run the dump script
// "Crashkit.sh" one at a time, from the tool directory, through /bin/sh -c. Then the
// faulting thread restores the default action and the process ends with its own signal.

namespace crashkit {

// The plug-in's start-up, given the path of the library file: the tool directory becomes
// the library's directory, the dump cache is cleared and the handler installed. A path
// without a directory leaves the tool directory empty, installs nothing, returns false.
bool StartUp(const char* libraryPath);

const char* ToolDirectory();

}  // namespace crashkit
