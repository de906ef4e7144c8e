#pragma once
// Housekeeping of the dump cache under the tool directory, run once when the plug-in loads.
#include <string>

namespace crashkit {

// Empties "<toolDirectory>/output/cache/": plain files go whatever their age; a
// sub-directory stays only when it was last written on today's day of the month (month
// and year are not compared). The cache directory itself stays.
void ClearDumpCache(const std::string& toolDirectory);

// Removes a directory with everything inside; single failures are skipped. Symbolic links
// are removed, never followed.
void RemoveDirectoryTree(const std::string& path);

}  // namespace crashkit
