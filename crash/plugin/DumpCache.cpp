#include "crash/plugin/DumpCache.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <cstring>

namespace crashkit {

namespace {

bool IsDotEntry(const char* name) { return strcmp(name, ".") == 0 || strcmp(name, "..") == 0; }

int DayOfMonth(time_t when) {
  struct tm local {};
  localtime_r(&when, &local);
  return local.tm_mday;
}

}  // namespace

void RemoveDirectoryTree(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    if (IsDotEntry(entry->d_name)) continue;
    const std::string child = path + "/" + entry->d_name;
    struct stat info {};
    if (lstat(child.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      RemoveDirectoryTree(child);
    } else {
      unlink(child.c_str());
    }
  }
  closedir(dir);
  rmdir(path.c_str());
}

void ClearDumpCache(const std::string& toolDirectory) {
  const std::string cache = toolDirectory + "/output/cache/";
  printf("clear %s\n", cache.c_str());
  fflush(stdout);  // a crash later on must not take the line with it
  const int today = DayOfMonth(time(nullptr));
  DIR* dir = opendir(cache.c_str());
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    if (IsDotEntry(entry->d_name)) continue;
    const std::string child = cache + entry->d_name;
    struct stat info {};
    if (lstat(child.c_str(), &info) != 0) continue;
    if (!S_ISDIR(info.st_mode)) {
      unlink(child.c_str());
    } else if (DayOfMonth(info.st_mtime) != today) {
      RemoveDirectoryTree(child);
    }
  }
  closedir(dir);
}

}  // namespace crashkit
