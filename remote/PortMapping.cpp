#include "remote/PortMapping.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "infra/Logger.h"
#include "platform/ProgramDir.h"
#include "remote/HostIdentity.h"
#include "remote/ProcessRunner.h"

void AddRedirectPort(unsigned port) {
  uint32_t address = 0;
  if (!GetLocalAddress(&address)) return;
  const std::string& directory = platform::ConvertorDirectory();
  // VTCAM_PORT_MAPPER names a stand-in for tests and demos: the real tool multicasts
  // discovery onto the local network.
  const char* standIn = std::getenv("VTCAM_PORT_MAPPER");
  const std::string program = standIn && *standIn ? std::string(standIn) : directory + "upnpc-shared";
  // A directory with blanks in its name is quoted, or the tool would see the pieces of its
  // own path as arguments.
  const bool quote = program.find_first_of(" \t") != std::string::npos;
  char commandLine[1024];
  std::snprintf(commandLine, sizeof(commandLine), "%s%s%s -a %u.%u.%u.%u %u %u TCP", quote ? "\"" : "",
                program.c_str(), quote ? "\"" : "", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                address & 0xFF, port, port);
  RunProcess(commandLine, 2000, program);
  Log("AddRedirectPort run upnp: %s", commandLine);
}
