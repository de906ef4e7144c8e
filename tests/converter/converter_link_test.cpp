#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "converter/ConverterLink.h"

namespace converter {
namespace {

// The program takes the output late: more than the socket buffers hold must wait, not fail.
TEST(ConverterLinkTest, GreetsLittleEndianAndWaitsForASlowReader) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(addr);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), length), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length), 0);
  CConverterLink link;
  std::string error;
  ASSERT_TRUE(link.Open("127.0.0.1", ntohs(addr.sin_port), 0x020304 | kAudioSessionKeyBit, 2000, &error)) << error;
  const int peer = accept(listener, nullptr, nullptr);
  close(listener);
  ASSERT_GE(peer, 0);

  std::vector<uint8_t> sent(32 << 20), received;
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7 % 251);
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<uint8_t> chunk(1 << 16);
    for (ssize_t n; (n = recv(peer, chunk.data(), chunk.size(), 0)) > 0;)
      received.insert(received.end(), chunk.data(), chunk.data() + n);
  });
  EXPECT_TRUE(link.SendAll(sent.data(), sent.size(), 5000)) << strerror(errno);
  link.Close();
  reader.join();
  close(peer);
  ASSERT_EQ(received.size(), sent.size() + 4);
  EXPECT_EQ(std::vector<uint8_t>(received.begin(), received.begin() + 4), (std::vector<uint8_t>{4, 3, 2, 1}));
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), received.begin() + 4));
}

}  // namespace
}  // namespace converter
