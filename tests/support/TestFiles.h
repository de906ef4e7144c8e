#pragma once
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace testfiles {

inline std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string MakeTempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "XXXXXX";
  return mkdtemp(pattern.data()) != nullptr ? pattern + "/" : std::string();
}

}  // namespace testfiles
