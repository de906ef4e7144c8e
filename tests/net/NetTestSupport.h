#pragma once
#include <cstdlib>
#include <fstream>
#include <string>

#include "infra/Logger.h"
#include "net/IOCPSocket.h"
#include "tests/support/LoopbackPeers.h"
#include "tests/support/TestFiles.h"

namespace nettest {

class LogCapture {
 public:
  static LogCapture& Instance() {
    static LogCapture capture;
    return capture;
  }
  size_t Mark() { return Text().size(); }
  std::string Since(size_t mark) {
    const std::string text = Text();
    return mark < text.size() ? text.substr(mark) : std::string();
  }
  static int Count(const std::string& text, const std::string& what) {
    int count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
  }

 private:
  LogCapture() {
    char pattern[] = "/tmp/vt_net_test_XXXXXX";
    m_dir = mkdtemp(pattern);
    std::ofstream(m_dir + "/config.ini") << "[Log]\nlog_path=" << m_dir << "\nlog_level=10\n";
    GetLogger().SetExecutablePath(m_dir + "/nettest");
    InitLog(0);
    m_path = GetLogger().LogPath();
  }
  std::string Text() { return testfiles::ReadFile(m_path); }
  std::string m_dir;
  std::string m_path;
};

class Listener : public CIOCPSocket {
 public:
  Listener() { m_ok = Listen(0, INADDR_LOOPBACK) == 1; }
  bool Ok() const { return m_ok; }
  uint16_t Port() const { return LocalPort(GetSocket()); }

 private:
  bool m_ok = false;
};

}  // namespace nettest
