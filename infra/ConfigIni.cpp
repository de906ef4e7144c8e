#include "infra/ConfigIni.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

bool CanOpenForReading(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

}  // namespace

std::string FindConfigIni(const std::string& exeDir) {
  for (const std::string& candidate : {exeDir + "/config.ini", std::string("./config.ini"), std::string("../config.ini")})
    if (CanOpenForReading(candidate)) return candidate;
  return "config.ini";
}
