// CrashkitPlugin.so exports nothing: loading it is all it takes.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "crash/plugin/CrashHandler.h"

namespace {

__attribute__((constructor)) void CrashkitLoad() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&CrashkitLoad), &info) || !info.dli_fname) return;
  // The script runs after a change of directory, so the tool directory must be absolute.
  char path[2 * PATH_MAX + 2];
  char cwd[PATH_MAX];
  if (info.dli_fname[0] != '/' && strchr(info.dli_fname, '/') && getcwd(cwd, sizeof cwd)) {
    snprintf(path, sizeof path, "%s/%s", cwd, info.dli_fname);
  } else {
    snprintf(path, sizeof path, "%s", info.dli_fname);
  }
  crashkit::StartUp(path);
}

}  // namespace
