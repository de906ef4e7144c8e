#include "remote/LinuxHostInfoSource.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/hdreg.h>
#include <linux/if_packet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <utility>

namespace {

std::string Dotted(in_addr address) {
  char text[INET_ADDRSTRLEN] = "0.0.0.0";
  inet_ntop(AF_INET, &address, text, sizeof(text));
  return text;
}

// Default routes through a gateway, by interface; the first listed wins.
std::map<std::string, std::string> ReadGateways() {
  std::map<std::string, std::string> gateways;
  std::ifstream routes("/proc/net/route");
  std::string line;
  std::getline(routes, line);  // column titles
  while (std::getline(routes, line)) {
    std::istringstream fields(line);
    std::string iface;
    std::string destination;
    std::string gateway;
    std::string flags;
    if (!(fields >> iface >> destination >> gateway >> flags)) continue;
    const unsigned long flagBits = std::strtoul(flags.c_str(), nullptr, 16);
    if (destination != "00000000" || (flagBits & 0x2) == 0 || gateways.count(iface) != 0) continue;
    // The kernel prints the address as the host-order view of its network-order bytes.
    in_addr address{};
    address.s_addr = static_cast<in_addr_t>(std::strtoul(gateway.c_str(), nullptr, 16));
    gateways[iface] = Dotted(address);
  }
  return gateways;
}

// (interface index, address) of every IPv4 address whose valid lifetime is finite, that
// is, one handed out by a lease rather than configured for good.
std::set<std::pair<int, uint32_t>> ReadLeasedAddresses() {
  std::set<std::pair<int, uint32_t>> leased;
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return leased;
  struct {
    nlmsghdr header;
    ifaddrmsg message;
  } request{};
  request.header.nlmsg_len = sizeof(request);
  request.header.nlmsg_type = RTM_GETADDR;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = 1;
  request.message.ifa_family = AF_INET;
  if (send(fd, &request, sizeof(request), 0) < 0) {
    close(fd);
    return leased;
  }
  alignas(nlmsghdr) char buffer[16384];
  bool done = false;
  while (!done) {
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    size_t offset = 0;
    while (offset + sizeof(nlmsghdr) <= static_cast<size_t>(n)) {
      auto* header = reinterpret_cast<nlmsghdr*>(buffer + offset);
      if (header->nlmsg_len < sizeof(nlmsghdr) || offset + header->nlmsg_len > static_cast<size_t>(n)) break;
      offset += NLMSG_ALIGN(header->nlmsg_len);
      if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) {
        done = true;
        break;
      }
      if (header->nlmsg_type != RTM_NEWADDR || header->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) continue;
      auto* message = static_cast<ifaddrmsg*>(NLMSG_DATA(header));
      uint32_t address = 0;
      bool finite = false;
      // Attributes follow the message, each a length-prefixed record aligned to 4 bytes.
      size_t at = NLMSG_LENGTH(sizeof(ifaddrmsg));
      const size_t end = header->nlmsg_len;
      while (at + sizeof(rtattr) <= end) {
        auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(header) + at);
        if (attribute->rta_len < sizeof(rtattr) || at + attribute->rta_len > end) break;
        const size_t payload = attribute->rta_len - sizeof(rtattr);
        const bool isAddress = attribute->rta_type == IFA_LOCAL || (attribute->rta_type == IFA_ADDRESS && address == 0);
        if (isAddress && payload >= sizeof(uint32_t)) {
          std::memcpy(&address, RTA_DATA(attribute), sizeof(address));
        } else if (attribute->rta_type == IFA_CACHEINFO && payload >= sizeof(ifa_cacheinfo)) {
          ifa_cacheinfo info{};
          std::memcpy(&info, RTA_DATA(attribute), sizeof(info));
          finite = info.ifa_valid != 0xFFFFFFFFu;
        }
        at += RTA_ALIGN(attribute->rta_len);
      }
      if (finite) leased.insert({static_cast<int>(message->ifa_index), address});
    }
  }
  close(fd);
  return leased;
}

}  // namespace

bool CLinuxHostInfoSource::ReadAdapters(std::vector<AdapterRecord>* adapters) {
  adapters->clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;

  struct Entry {
    AdapterRecord record;
    bool haveAddress = false;
    in_addr address{};
  };
  std::map<unsigned, Entry> byIndex;  // adapter order: interface index
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    // Loopback is no adapter, and neither is an interface that is switched off (such as
    // the kernel's ifb helpers): its hardware address would stand for the machine otherwise.
    if (entry->ifa_addr == nullptr || (entry->ifa_flags & IFF_LOOPBACK) != 0 || (entry->ifa_flags & IFF_UP) == 0) {
      continue;
    }
    const int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_PACKET) continue;
    const unsigned index = if_nametoindex(entry->ifa_name);
    if (index == 0) continue;
    Entry& e = byIndex[index];
    e.record.name = entry->ifa_name;
    if (family == AF_PACKET) {
      const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
      const uint32_t length = link->sll_halen < 8 ? link->sll_halen : 8;
      e.record.hardwareAddressLength = length;
      std::memcpy(e.record.hardwareAddress, link->sll_addr, length);
    } else if (!e.haveAddress) {
      e.haveAddress = true;
      e.address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
      e.record.ipAddress = Dotted(e.address);
      if (entry->ifa_netmask != nullptr) {
        e.record.ipMask = Dotted(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr);
      }
    }
  }
  freeifaddrs(list);

  const auto gateways = ReadGateways();
  const auto leased = ReadLeasedAddresses();
  for (auto& [index, e] : byIndex) {
    if (const auto g = gateways.find(e.record.name); g != gateways.end()) e.record.gateway = g->second;
    e.record.dhcpEnabled = e.haveAddress && leased.count({static_cast<int>(index), e.address.s_addr}) != 0;
    adapters->push_back(std::move(e.record));
  }
  return true;
}

bool CLinuxHostInfoSource::IdentifyDrive(int drive, uint8_t block[kIdentifyBlockSize]) {
  if (drive < 0 || drive > 3) return false;
  char path[16];
  std::snprintf(path, sizeof(path), "/dev/sd%c", 'a' + drive);
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ioctl(fd, HDIO_GET_IDENTITY, block) == 0;
  close(fd);
  if (!ok) return false;
  // The driver hands the text fields out in reading order; the identify layout keeps the
  // drive's order, with the two bytes of every word swapped. Serial: bytes 20..39, firmware
  // revision: 46..53, model: 54..93.
  for (const auto& [from, to] : {std::pair{20, 40}, std::pair{46, 94}}) {
    for (int i = from; i < to; i += 2) std::swap(block[i], block[i + 1]);
  }
  return true;
}
