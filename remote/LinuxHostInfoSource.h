#pragma once
// CLinuxHostInfoSource: the host facts read from Linux. Adapters come from getifaddrs (one
// per interface that is up and not loopback, in interface index order, with its first IPv4 address and its
// link-layer address), the gateway from the default routes in /proc/net/route, and "DHCP
// enabled" from netlink: an address with a finite valid lifetime was leased. Disks answer
// HDIO_GET_IDENTITY on /dev/sda to /dev/sdd where the driver supports it (ATA and SATA).
//
// Internal to remote/: use it through IHostInfoSource. Stateless, so any thread may call.
#include "remote/HostInfoSource.h"

class CLinuxHostInfoSource : public IHostInfoSource {
 public:
  bool ReadAdapters(std::vector<AdapterRecord>* adapters) override;
  bool IdentifyDrive(int drive, uint8_t block[kIdentifyBlockSize]) override;
};
