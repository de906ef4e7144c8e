#include "media/ConvertorPort.h"

#include <atomic>

namespace {
std::atomic<uint32_t> g_port{7535};
}

uint32_t GetConvertorListenPort() { return g_port.load(std::memory_order_relaxed); }
void SetConvertorListenPort(uint32_t port) { g_port.store(port, std::memory_order_relaxed); }
