#pragma once
// IHostInfoSource: where the host identity gets its raw facts, the adapter list and the
// ATA identify blocks of the disks. The Linux source reads the system; tests install a
// source of their own with SetHostInfoSource.
//
// Included by remote/HostIdentity.cpp, remote/LinuxHostInfoSource.* and tests. Sources are
// called on the threads of the host identity's callers and must be safe for that.
#include <cstdint>
#include <string>
#include <vector>

// One adapter as the platform's adapter list reports it. Address texts are dotted quads,
// "0.0.0.0" when the adapter has none.
struct AdapterRecord {
  std::string name;  // interface name, for the reader's benefit only
  bool dhcpEnabled = false;
  std::string ipAddress = "0.0.0.0";
  std::string ipMask = "0.0.0.0";
  std::string gateway = "0.0.0.0";
  uint32_t hardwareAddressLength = 0;
  uint8_t hardwareAddress[8] = {};
};

class IHostInfoSource {
 public:
  static constexpr int kIdentifyBlockSize = 512;

  virtual ~IHostInfoSource() = default;
  // False (errno set) when the list cannot be read at all; an empty list is true.
  virtual bool ReadAdapters(std::vector<AdapterRecord>* adapters) = 0;
  // The 512-byte ATA identify block of drive 0 to 3, strings in the drive's own order
  // (the two bytes of every 16-bit word swapped); false when the drive does not answer.
  virtual bool IdentifyDrive(int drive, uint8_t block[kIdentifyBlockSize]) = 0;
};

// Installs the source the host identity uses; null restores the Linux source. Start-up or
// test code only, while no lookup runs.
void SetHostInfoSource(IHostInfoSource* source);
IHostInfoSource& GetHostInfoSource();
