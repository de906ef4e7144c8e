#pragma once
// A host whose adapters and drives a test sets.
#include <cstring>
#include <map>
#include <vector>

#include "remote/HostInfoSource.h"

struct FakeHostInfo : IHostInfoSource {
  bool ReadAdapters(std::vector<AdapterRecord>* adapters) override {
    if (readable) *adapters = list;
    return readable;
  }
  bool IdentifyDrive(int drive, uint8_t block[kIdentifyBlockSize]) override {
    const auto it = disks.find(drive);
    if (it != disks.end()) std::memcpy(block, it->second.data(), kIdentifyBlockSize);
    return it != disks.end();
  }
  bool readable = true;
  std::vector<AdapterRecord> list;
  std::map<int, std::vector<uint8_t>> disks;
};
