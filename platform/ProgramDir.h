#pragma once
// The program file and the process-wide directories set once at start-up. Directories
// always end in "/".
#include <string>

namespace platform {

// Full path of the running executable (/proc/self/exe).
std::string ExecutablePath();
// Directory of a path including its trailing "/"; "" when the path has no "/".
std::string DirectoryOf(const std::string& path);
// Converts "\" separators of names from lists and settings into "/".
std::string ToLocalPath(std::string path);

// The program directory: where the program's own files are addressed from.
const std::string& ProgramDirectory();
void SetProgramDirectory(const std::string& dir);  // appends "/" when missing

// Where the converter, its seed files and the port-mapping tool live.
const std::string& ConvertorDirectory();
void SetConvertorDirectory(const std::string& dir);  // appends "/" when missing

}  // namespace platform
