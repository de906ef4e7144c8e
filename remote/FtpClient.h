#pragma once
// The FTP upload client: stores one local file under a generated name in one remote
// directory over plain blocking IPv4 sockets. Every call blocks (seconds to a minute with a
// dead server), so none may run on a thread that has to stay responsive.
//
// Result codes of the internal steps, as logged by FtpPutFile: 0 stored and QUIT answered,
// -1 lookup/file/PASV failure, -2 transport or protocol failure, -3 socket not created or
// not connected, -4 USER or PASS refused, -5 settings refused (a control character in the
// server address, user name, password or remote path: nothing is sent), -6 STOR refused,
// -7 no memory for the chunk.
#include "camera_config/CameraInfo.h"

namespace remote {

// Connects to ftp.serverAddr at port % 50000 and logs in with type I. Returns the control
// socket (>= 0) or a failure code.
int FtpConnectAndLogin(const FTPConfig& ftp);

// Stores localPath as record_YYYY_MM_DD_hh_mm_ss.flv, three attempts 3000 ms apart on fresh
// logins. Always leaves controlSocket closed. True when the server confirmed the store and
// answered QUIT.
bool FtpPutFile(int controlSocket, const FTPConfig& ftp, const char* localPath);

// Same, under the given remote name (a spooled clip keeps the name of its first try).
bool FtpPutFileAs(int controlSocket, const FTPConfig& ftp, const char* localPath, const char* remoteName);

// Closes the socket when it is not negative.
void FtpCloseControl(int socket);

// An IPv4 TCP socket with 10 s send and receive time-outs, or a negative value.
int CreateClientSocket();

// Resolves host (dotted address or name) and connects; never closes the socket.
bool ConnectSocketTo(int socket, const char* host, const char* port);

}  // namespace remote
