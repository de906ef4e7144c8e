#pragma once
// Completion-callback socket I/O: the stand-in for the system thread pool's I/O completion
// callbacks, written on epoll.
//
// Who may include it: the socket framework in net/ (and its tests/benchmarks). Everything
// above net/ talks to sockets through CIOCPSocket, not through this header.
//
// Model. A socket is bound once to a completion routine. Every operation posted on it
// (accept-with-first-data, connect-with-data, receive, send) either fails at once (the
// call returns an errno value, no completion follows) or is accepted (the call returns 0)
// and then completes exactly once by a call of the routine on one of the pool's worker
// threads, never inside the posting call. The routine gets a Win32-style status, the byte
// count and the caller's Overlapped record, which must stay alive until that call.
//
// Threads. A fixed pool of threads waits on epoll, performs the non-blocking system calls
// and runs the routines. Completions of one socket are delivered one at a time, in the
// order the operations finished (sends finish in the order they were posted), so a
// routine never runs twice at once for the same socket. Routines may post, cancel and
// close freely, also on their own socket; they must not wait for another
// completion. Every function below may be called from any thread.
//
// Closing. A bound socket must be closed with CloseSocket, never with close(2): it
// completes every outstanding operation, and every completion not yet delivered, with
// kStatusCancelled, exactly once, then closes the descriptor, so a descriptor number
// reused by the system never receives a stale operation.
#include <netinet/in.h>

#include <cstdint>

namespace platform::completion {

// Completion statuses, with the values the socket framework was written against.
inline constexpr uint32_t kStatusSuccess = 0;
inline constexpr uint32_t kStatusUnsuccessful = 0xC0000001;
inline constexpr uint32_t kStatusInsufficientResources = 0xC000009A;
inline constexpr uint32_t kStatusIoTimeout = 0xC00000B5;
inline constexpr uint32_t kStatusCancelled = 0xC0000120;
inline constexpr uint32_t kStatusLocalDisconnect = 0xC000013B;
inline constexpr uint32_t kStatusRemoteDisconnect = 0xC000013C;
inline constexpr uint32_t kStatusInvalidConnection = 0xC0000140;
inline constexpr uint32_t kStatusConnectionReset = 0xC000020D;
inline constexpr uint32_t kStatusConnectionRefused = 0xC0000236;
inline constexpr uint32_t kStatusNetworkUnreachable = 0xC000023C;
inline constexpr uint32_t kStatusHostUnreachable = 0xC000023D;
inline constexpr uint32_t kStatusConnectionAborted = 0xC0000241;

// Value of GetConnectTime for a socket that is not connected.
inline constexpr uint32_t kNotConnected = 0xFFFFFFFF;

// The caller's per-operation record. It carries nothing the proactor needs; its address
// is what the completion routine gets back, so callers derive their own record from it.
// One record may be posted again as soon as its previous operation was delivered.
struct Overlapped {};

using CompletionRoutine = void (*)(uint32_t status, uint32_t bytes, Overlapped* overlapped);

// Binds a socket to a routine and makes it non-blocking. Binding again only replaces the
// routine. Returns false with errno set (EBADF for a descriptor that is not open).
bool BindIoCompletionCallback(int fd, CompletionRoutine routine);

// Waits on the bound listening socket for one connection, moves it into acceptFd (which
// must be an open, unconnected socket, bound or not; its descriptor number is kept) and
// completes when the first bytes arrived in buffer[0, receiveLength), or with 0 bytes when
// the peer closed first. Behind the receive area it stores the local and the remote
// address (sockaddr_in) in areas of localAddressLength and remoteAddressLength bytes, each
// at least 32; read them with GetAcceptExSockaddrs. A receiveLength of 0 completes as soon
// as the connection is accepted. The completion runs the listener's routine.
int AcceptEx(int listenFd, int acceptFd, void* buffer, uint32_t receiveLength,
             uint32_t localAddressLength, uint32_t remoteAddressLength, Overlapped* overlapped);

// Reads the two addresses that AcceptEx stored behind the receive area.
void GetAcceptExSockaddrs(const void* buffer, uint32_t receiveLength, uint32_t localAddressLength,
                          uint32_t remoteAddressLength, sockaddr_in* local, sockaddr_in* remote);

// Connects the bound socket and then sends data[0, length) as one write; completes with
// the number of data bytes sent (0 when there are none). Sends posted while it runs queue
// behind it.
int ConnectEx(int fd, const sockaddr_in& target, const void* data, uint32_t length,
              Overlapped* overlapped);

// Receives at most length (> 0) bytes into buffer; completes with the count, 0 meaning the
// peer closed its side. Receives complete in the order they were posted.
int Recv(int fd, void* buffer, uint32_t length, Overlapped* overlapped);

// Sends the whole of data[0, length) (> 0); the bytes must stay valid until completion.
// Sends on one socket go out and complete in the order they were posted.
int Send(int fd, const void* data, uint32_t length, Overlapped* overlapped);

// Completes every outstanding operation of the socket with kStatusCancelled. The socket
// stays open and bound. Returns 0 or an errno value.
int CancelIo(int fd);

// Cancels as CancelIo does, turns completions not yet delivered into kStatusCancelled,
// unbinds and closes the descriptor. Also closes sockets that were never bound.
int CloseSocket(int fd);

// Seconds since the socket was connected (ConnectEx) or accepted (AcceptEx), measured on
// platform::GetTickCount(); kNotConnected before that. Returns 0 or an errno value.
int GetConnectTime(int fd, uint32_t* seconds);

// Posting one buffer to many sockets from a thread outside the pool: while a batch is open
// on this thread, the completions of operations that finish inside its posting calls are
// held back and handed to the pool together when the last open batch closes, with one
// wake-up instead of one per socket. Pool threads batch like this already. The thread
// must not wait for any completion while a batch is open: it would wait for itself.
class PostBatch {
 public:
  PostBatch();
  ~PostBatch();
  PostBatch(const PostBatch&) = delete;
  PostBatch& operator=(const PostBatch&) = delete;
};

// Counters for leak checks in tests: sockets known to the proactor and operations not yet
// delivered.
struct Stats {
  int sockets = 0;
  int operations = 0;
};
Stats GetStats();

}  // namespace platform::completion
