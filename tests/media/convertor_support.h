#pragma once
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "media/ConvertorPort.h"
#include "media/FLVStreamDataBuffer.h"
#include "media/StreamConvertor.h"
#include "media/StreamConvertorSession.h"
#include "tests/net/NetTestSupport.h"

namespace convertortest {

inline uint16_t ArmConvertorListener() {
  static uint16_t port = [] {
    if (ConvertorListener().Listen(0, INADDR_LOOPBACK) != 1) return uint16_t{0};
    const uint16_t chosen = nettest::LocalPort(ConvertorListener().GetSocket());
    SetConvertorListenPort(chosen);
    ArmConvertorSessions();
    return chosen;
  }();
  return port;
}

inline int Greet(uint16_t port, uint32_t key, int receiveBuffer = 0) {
  const int fd = nettest::ConnectBlocking(port, receiveBuffer);
  if (fd < 0) return fd;
  std::string greeting(4, '\0');
  for (int i = 0; i < 4; ++i) greeting[i] = static_cast<char>((key >> (8 * i)) & 0xFF);
  nettest::SendAll(fd, greeting);
  return fd;
}

class CKeyedConvertor : public CStreamConvertor {
 public:
  CKeyedConvertor(int type, uint32_t key) : CStreamConvertor(type, 10, 1), m_key(key) {}
  ~CKeyedConvertor() override = default;
  int Open() override {
    if (m_pStream == nullptr) {
      m_pStream = new CFLVStreamDataBuffer();
      m_pStream->SetSize(kStreamCapacity, kStreamHeadroom);
    }
    ++m_nOpens;
    RegisterProcess(m_key, m_nType >= 0x20000 && m_nType < 0x30000);
    m_framePacer.Start(m_nFrameRate);
    return 1;
  }
  int Opens() const { return m_nOpens; }

 private:
  uint32_t m_key;
  std::atomic<int> m_nOpens{0};
};

}  // namespace convertortest
