#pragma once
// AddRedirectPort: asks the home router, through the port-mapping tool "upnpc-shared" in the
// convertor directory, to forward a TCP port to this computer's local address. The tool's
// outcome is not examined; without a local address nothing is asked.
//
// Called once by the camera HTTP server's start-up, on its thread; blocks up to 2 s.
void AddRedirectPort(unsigned port);
