#pragma once
// RunProcess: how the program starts outside programs (the converter, the port mapper).
// The child is never waited for beyond the given time and is always reaped.
//
// Any thread may call RunProcess. SetProcessWindowShown belongs to start-up.
#include <cstdint>
#include <string>

// The "ShowConvertorWindow" setting: shown children share our stdout/stderr, hidden ones
// write to /dev/null. Shown until start-up says otherwise (the setting's default is 1).
void SetProcessWindowShown(bool shown);

// What happens to a child still running when the wait is over.
enum class OnWaitOver { kLeave, kKill };

// Starts the command line (split with the C runtime's rules) and waits up to waitMs for it
// to end (0: no wait). program, when given, is the file to run; argv still comes from the
// command line. Returns the process id, 0 when it could not be started.
uint32_t RunProcess(const std::string& commandLine, uint32_t waitMs, const std::string& program = "",
                    OnWaitOver over = OnWaitOver::kLeave);
