#pragma once
// The running processes as /proc lists them, in ascending process id order.
#include <sys/types.h>

#include <string>
#include <vector>

namespace sentrel {

struct ProcessEntry {
  pid_t pid = 0;
  std::string fileName;  // the executable's file name; the kernel's name when it has none
};

std::vector<ProcessEntry> ListProcesses();

}  // namespace sentrel
