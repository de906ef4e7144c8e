#pragma once
// Internal to update/: libcurl set-up shared by the HTTP and FTP downloaders.
#include <string>

namespace curlsupport {

// An easy handle with the agent name, a progress check that ends a transfer when the
// update engine is asked to cancel, and libcurl's own proxy handling (http_proxy,
// ftp_proxy, no_proxy, ... from the environment). nullptr on failure.
void* NewHandle(const char* agent);
// Percent-escapes every path segment, keeping the "/" between them.
std::string EscapePath(const std::string& path);

}  // namespace curlsupport
