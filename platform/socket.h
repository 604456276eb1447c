// TCP over IPv4: the control client's connection to the manager, and a loopback listener
// for the tests and the development tools that stand in for the manager.
#pragma once

#include <cstdint>

namespace platform {

/// An open socket. `native` is the backend's own handle; kNoSocket means none is open.
struct Socket {
  intptr_t native;
};
inline constexpr Socket kNoSocket{-1};
inline bool IsOpen(Socket socket) { return socket.native != kNoSocket.native; }

/// The value ParseIpv4Address gives for text it does not accept, and for 255.255.255.255.
inline constexpr uint32_t kNoAddress = 0xffffffffu;

/// Starts the socket library (Winsock 2.2 on Windows; nothing to do on POSIX). False when
/// it cannot be started. Every successful call is matched by one StopSockets.
bool StartSockets();

/// Stops the socket library; sockets still open are closed by it on Windows.
void StopSockets();

/// The socket library's last error code (WSAGetLastError on Windows, errno on POSIX).
int LastSocketError();

/// Converts dotted IPv4 text exactly as inet_addr does, including its shortened and
/// numeric forms, to an address in network byte order. Host names are not looked up.
/// kNoAddress when the text is not accepted.
uint32_t ParseIpv4Address(const char* text);

/// Creates a TCP socket for IPv4, not inherited by child processes. kNoSocket on failure,
/// with the reason in LastSocketError.
Socket CreateTcpSocket();

/// Connects `socket` to `address` (network byte order) and `port` (host byte order).
/// False on failure, with the reason in LastSocketError.
bool ConnectSocket(Socket socket, uint32_t address, uint16_t port);

/// Sends up to `size` bytes with one call. Returns the bytes sent, or -1 on failure with the
/// reason in LastSocketError. Never raises a signal when the peer has gone.
int SendOnce(Socket socket, const void* data, int size);

/// Receives up to `capacity` bytes with one call. Returns the bytes received, 0 when the
/// peer has closed its side, or -1 on failure. On POSIX the last error is cleared first, so
/// after a 0 it reads 0, as it does on Windows when no socket error has happened.
int ReceiveOnce(Socket socket, void* buffer, int capacity);

/// Waits at most `timeout_ms` (forever when negative) until `socket` has data, end-of-file
/// or a pending connection to accept. 1 when it has, 0 on time-out, -1 on failure.
int WaitReadable(Socket socket, int timeout_ms);

/// Ends our sending direction: the peer reads end-of-file, and we can still receive.
void ShutdownSending(Socket socket);

/// Closes the socket.
void CloseSocket(Socket socket);

// Server side, for tests and tools.

/// Listens on 127.0.0.1 at `port` (0: any free port). Sets `*listener` and `*bound_port`
/// (the port actually bound, in host byte order). False on failure, with the reason in
/// LastSocketError.
bool ListenOnLoopback(uint16_t port, Socket* listener, uint16_t* bound_port);

/// Waits at most `timeout_ms` (forever when negative) for a connection on `listener` and
/// accepts it into `*connection`, not inherited by child processes. False on time-out or
/// failure.
bool AcceptConnection(Socket listener, int timeout_ms, Socket* connection);

}  // namespace platform
