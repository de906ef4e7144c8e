#pragma once
// How the remote services describe this computer: its primary local IPv4 address, the
// hardware address of its first adapter, and a serial id made from the disks' identify
// data (the MAC text when no disk answers).
//
// Any thread may call these. Addresses are 32-bit numbers in host byte order, a.b.c.d being
// ((a * 256 + b) * 256 + c) * 256 + d.
#include <array>
#include <cstdint>
#include <string>

#include "remote/HostInfoSource.h"

// Offered each adapter in list order with its position (nID); return 0 to stop.
using AdapterVisitor = int (*)(int nID, const AdapterRecord& adapter, void* context);

// 1 when the adapter list could be read (and is not empty), 0 otherwise.
int EnumAdaptersInfo(AdapterVisitor visitor, void* context);

// The first adapter with an address and either a gateway or DHCP; false when none.
bool GetLocalAddress(uint32_t* address);
// GetLocalAddress, or 127.0.0.1 when it fails.
uint32_t GetLocalAddressOrLoopback();

// The hardware address of adapter 0 (up to six bytes of it); zero until first found, and
// the previous value when the list cannot be read.
std::array<uint8_t, 6> GetMacAddress();
// GetMacAddress as twelve lower-case hexadecimal digits.
std::string GetMacAddressText();

// Writes the serial id text, at most capacity - 1 characters and a terminating zero.
void GetSerialID(char* out, int capacity);

// The serial and model fields of every disk that answers, in the drives' own byte order,
// trailing blanks removed. Rebuilt on each call.
std::string BuildDiskIdentity();
