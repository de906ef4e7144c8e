#include "remote/HostIdentity.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "infra/Logger.h"
#include "platform/FixedText.h"
#include "remote/LinuxHostInfoSource.h"

namespace {

std::atomic<IHostInfoSource*> g_source{nullptr};

std::mutex g_macLock;
std::array<uint8_t, 6> g_mac{};

// Four decimal numbers 0 to 255 separated by dots, nothing else.
bool ParseDotted(const std::string& text, uint32_t* value) {
  uint32_t result = 0;
  size_t p = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (p >= text.size() || text[p] != '.') return false;
      ++p;
    }
    const size_t start = p;
    uint32_t number = 0;
    while (p < text.size() && text[p] >= '0' && text[p] <= '9' && p - start < 3) {
      number = number * 10 + static_cast<uint32_t>(text[p] - '0');
      ++p;
    }
    if (p == start || number > 255) return false;
    result = result * 256 + number;
  }
  if (p != text.size()) return false;
  *value = result;
  return true;
}

int QualifyingAdapter(int /*nID*/, const AdapterRecord& adapter, void* context) {
  uint32_t ip = 0;
  uint32_t mask = 0;
  uint32_t gateway = 0;
  if (!ParseDotted(adapter.ipAddress, &ip) || !ParseDotted(adapter.ipMask, &mask) ||
      !ParseDotted(adapter.gateway, &gateway)) {
    return 1;
  }
  if (ip == 0 || (gateway == 0 && !adapter.dhcpEnabled)) return 1;
  *static_cast<uint32_t*>(context) = ip;
  return 0;
}

int FirstAdapterMac(int nID, const AdapterRecord& adapter, void* /*context*/) {
  if (nID != 0) return 0;
  const uint32_t length = adapter.hardwareAddressLength < 6 ? adapter.hardwareAddressLength : 6;
  std::lock_guard<std::mutex> hold(g_macLock);
  std::memcpy(g_mac.data(), adapter.hardwareAddress, length);
  return 0;
}

}  // namespace

void SetHostInfoSource(IHostInfoSource* source) { g_source.store(source); }

IHostInfoSource& GetHostInfoSource() {
  static CLinuxHostInfoSource linuxSource;
  IHostInfoSource* source = g_source.load();
  return source != nullptr ? *source : linuxSource;
}

int EnumAdaptersInfo(AdapterVisitor visitor, void* context) {
  std::vector<AdapterRecord> adapters;
  if (!GetHostInfoSource().ReadAdapters(&adapters)) {
    Log("EnumAdaptersInfo cannot GetAdaptersInfo. err=%u", static_cast<unsigned>(errno));
    return 0;
  }
  if (adapters.empty()) return 0;
  for (size_t i = 0; i < adapters.size(); ++i) {
    const AdapterRecord& a = adapters[i];
    Log("EnumAdaptersInfo enum nID=%d, dhcp=%d, ip=%s, mask=%s, gw=%s", static_cast<int>(i), a.dhcpEnabled ? 1 : 0,
        a.ipAddress.c_str(), a.ipMask.c_str(), a.gateway.c_str());
  }
  for (size_t i = 0; i < adapters.size(); ++i) {
    const AdapterRecord& a = adapters[i];
    Log("EnumAdaptersInfo find nID=%d, dhcp=%d, ip=%s, mask=%s, gw=%s", static_cast<int>(i), a.dhcpEnabled ? 1 : 0,
        a.ipAddress.c_str(), a.ipMask.c_str(), a.gateway.c_str());
    if (visitor(static_cast<int>(i), a, context) == 0) break;
  }
  return 1;
}

bool GetLocalAddress(uint32_t* address) {
  uint32_t found = 0;
  if (EnumAdaptersInfo(&QualifyingAdapter, &found) == 0 || found == 0) return false;
  *address = found;
  return true;
}

uint32_t GetLocalAddressOrLoopback() {
  uint32_t address = 0;
  return GetLocalAddress(&address) ? address : 0x7F000001u;
}

std::array<uint8_t, 6> GetMacAddress() {
  EnumAdaptersInfo(&FirstAdapterMac, nullptr);
  std::lock_guard<std::mutex> hold(g_macLock);
  return g_mac;
}

std::string GetMacAddressText() {
  const std::array<uint8_t, 6> mac = GetMacAddress();
  char text[13];
  std::snprintf(text, sizeof(text), "%02x%02x%02x%02x%02x%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

std::string BuildDiskIdentity() {
  constexpr size_t kBudget = 1024;
  constexpr size_t kSerialOffset = 20, kSerialLength = 20;
  constexpr size_t kModelOffset = 54, kModelLength = 40;
  std::string identity;
  auto appendTrimmed = [&](const uint8_t* field, size_t length) {
    while (length > 0 && field[length - 1] == ' ') --length;
    identity.append(reinterpret_cast<const char*>(field), length);
  };
  IHostInfoSource& source = GetHostInfoSource();
  for (int drive = 0; drive < 4; ++drive) {
    if (kBudget - identity.size() < 20) break;
    uint8_t block[IHostInfoSource::kIdentifyBlockSize] = {};
    if (!source.IdentifyDrive(drive, block)) continue;
    appendTrimmed(block + kSerialOffset, kSerialLength);
    appendTrimmed(block + kModelOffset, kModelLength);
  }
  return identity;
}

void GetSerialID(char* out, int capacity) {
  if (out == nullptr || capacity <= 0) return;
  const std::string identity = BuildDiskIdentity();
  if (identity.empty()) {
    platform::CopyCut(out, static_cast<size_t>(capacity), GetMacAddressText());
    return;
  }
  // Undo the drive's byte order two bytes at a time, dropping blanks. The bytes behind the
  // identity count as zero, so an odd-length identity ends before its last byte.
  const size_t limit = static_cast<size_t>(capacity) - 1;
  size_t n = 0;
  auto byteAt = [&](size_t i) { return i < identity.size() ? identity[i] : '\0'; };
  bool ended = false;
  for (size_t i = 0; i < identity.size() && !ended && n < limit; i += 2) {
    for (const char c : {byteAt(i + 1), byteAt(i)}) {
      if (c == '\0') {
        ended = true;
        break;
      }
      if (c == ' ') continue;
      out[n++] = c;
      if (n >= limit) break;
    }
  }
  out[n] = '\0';
}
