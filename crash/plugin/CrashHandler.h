#pragma once
// The process-wide handler of the fatal signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT).
//
// The faulting thread does only async-signal-safe work: it copies the registers into a
// preallocated slot, wakes the slot's handler thread (one per slot, started at load, before
// any fault) through a futex, and waits on another for at most 180 s. Nothing is started at
// fault time: a fault inside dlopen holds the loader's lock that creating a thread needs.
// Handler threads run the dump script "Crashkit.sh" one at a time, from the tool directory,
// through /bin/sh -c. Then the faulting thread restores the default action and the process
// ends with its own signal.

namespace crashkit {

// The plug-in's start-up, given the path of the library file: the tool directory becomes
// the library's directory, the dump cache is cleared and the handler installed. A path
// without a directory leaves the tool directory empty, installs nothing, returns false.
bool StartUp(const char* libraryPath);

const char* ToolDirectory();

}  // namespace crashkit
