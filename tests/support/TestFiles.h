#pragma once
// File helpers shared by the unit tests.
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace testfiles {

// The whole file as bytes; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A fresh directory "/tmp/<prefix>XXXXXX/", with the trailing slash; empty on failure.
inline std::string MakeTempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "XXXXXX";
  return mkdtemp(pattern.data()) != nullptr ? pattern + "/" : std::string();
}

}  // namespace testfiles
