#include "crash/plugin/DumpCommand.h"

#include <cstdio>

namespace crashkit {

bool FormatDumpCommand(char* out, size_t size, const char* scriptPath, const FaultContext& f) {
  const uint64_t* r = f.regs;
  const int length = snprintf(
      out, size,
      "\"%s\" %d %x %lx %lx err_%x#eax_%lx#ebx_%lx#ecx_%lx#edx_%lx#esi_%lx#edi_%lx#ebp_%lx#eip_%lx#esp_%lx",
      scriptPath, static_cast<int>(f.pid), static_cast<unsigned>(f.tid), r[kRip], r[kRsp], f.code, r[kRax],
      r[kRbx], r[kRcx], r[kRdx], r[kRsi], r[kRdi], r[kRbp], r[kRip], r[kRsp]);
  return length >= 0 && static_cast<size_t>(length) < size;
}

}  // namespace crashkit
