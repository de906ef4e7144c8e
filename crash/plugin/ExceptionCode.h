#pragma once
// The fatal signals as the exception codes that the dump scripts and their readers know.
// Shared by the plug-in (its own process) and the watchdog (a traced one).
#include <signal.h>

#include <cstdint>

namespace crashkit {

constexpr uint32_t kAccessViolation = 0xC0000005;
constexpr uint32_t kBreakpoint = 0x80000003;
constexpr uint32_t kMisalignment = 0x80000002;
constexpr uint32_t kSingleStep = 0x80000004;
constexpr uint32_t kArrayBounds = 0xC000008C;
constexpr uint32_t kFltDenormal = 0xC000008D;
constexpr uint32_t kFltDivideByZero = 0xC000008E;
constexpr uint32_t kFltInexact = 0xC000008F;
constexpr uint32_t kFltInvalid = 0xC0000090;
constexpr uint32_t kFltOverflow = 0xC0000091;
constexpr uint32_t kFltUnderflow = 0xC0000093;
constexpr uint32_t kIntDivideByZero = 0xC0000094;
constexpr uint32_t kIntOverflow = 0xC0000095;
constexpr uint32_t kPrivInstruction = 0xC0000096;
// abort() ends a process like the runtime's fail-fast report does.
constexpr uint32_t kFailFast = 0xC0000409;
constexpr uint32_t kCtrlC = 0x40010005;

// 0 for a signal that is no exception (the caller passes it on untouched).
constexpr uint32_t ExceptionCodeFor(int signo, int siCode) {
  switch (signo) {
    case SIGSEGV: return kAccessViolation;
    case SIGBUS: return kMisalignment;
    case SIGILL: return kPrivInstruction;
    case SIGABRT: return kFailFast;
    case SIGINT: return kCtrlC;
    case SIGTRAP: return siCode == TRAP_TRACE ? kSingleStep : kBreakpoint;
    case SIGFPE:
      switch (siCode) {
        case FPE_INTOVF: return kIntOverflow;
        case FPE_FLTDIV: return kFltDivideByZero;
        case FPE_FLTOVF: return kFltOverflow;
        case FPE_FLTUND: return kFltUnderflow;
        case FPE_FLTRES: return kFltInexact;
        case FPE_FLTINV: return kFltInvalid;
        case FPE_FLTSUB: return kArrayBounds;
        default: return kIntDivideByZero;  // FPE_INTDIV, and a SIGFPE sent by kill
      }
    default: return 0;
  }
}

}  // namespace crashkit
