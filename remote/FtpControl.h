#pragma once
// Internal to remote/ (and its tests and fuzz target): the blocking socket steps under the
// FTP client: address lookup, socket time-outs, and the control connection's reply reader
// and command sender. Every call runs on the caller's thread and blocks.
#include <netinet/in.h>

namespace remote {

// The send/receive time-out of client sockets (10000 ms) and the wait for the server's
// active-mode data connection (5000 ms). Test seam: tests shorten them instead of sitting
// them out; 0 restores the default.
int FtpSocketTimeoutMs();
int FtpAcceptWaitMs();
void SetFtpTimeoutsForTest(int socketTimeoutMs, int acceptWaitMs);

// Sets both time-outs of a socket to FtpSocketTimeoutMs.
void SetClientSocketTimeouts(int socket);

// A dotted address, else a host-name lookup; a failed lookup logs "gethostbyname(%s) failed.".
bool ResolveIPv4(const char* host, in_addr* address);

// The runtime's text for an error number.
const char* ErrorText(int error, char* buffer, int size);

// Reads one line byte by byte into buffer (zero-terminated, cut at capacity - 1): 0, or -2
// after logging "read %s\n" when a receive fails, times out or meets the end of the stream.
int FtpReadLine(int socket, char* buffer, int capacity);

// Reads and logs one (possibly multi-line) reply: its class (0 to 9) or -2.
int FtpReadReply(int socket);

// Sends "command[ argument]\r\n" and reads the reply: its class or -2.
int FtpSendCommand(int socket, const char* command, const char* argument);

}  // namespace remote
