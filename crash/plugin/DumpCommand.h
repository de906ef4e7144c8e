#pragma once
// The dump script's command line: the quoted script path, the process id, the faulting
// thread, its instruction and stack pointers, and one token with the exception code and
// the registers ("err_%x#eax_%x#...#esp_%x"; the 32-bit labels carry the 64-bit values).
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace crashkit {

struct FaultContext {
  pid_t pid = 0;
  pid_t tid = 0;
  uint32_t code = 0;
  // rax, rbx, rcx, rdx, rsi, rdi, rbp, rip, rsp: the order of the token's labels.
  uint64_t regs[9] = {};
};

enum FaultRegister { kRax, kRbx, kRcx, kRdx, kRsi, kRdi, kRbp, kRip, kRsp };

// Room for the longest tool directory and all values in full.
constexpr size_t kDumpCommandSize = 4096 + 512;

// false when the line does not fit (it is cut then, still terminated).
bool FormatDumpCommand(char* out, size_t size, const char* scriptPath, const FaultContext& fault);

}  // namespace crashkit
