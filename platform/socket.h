// TCP over IPv4: the control client's connection to the manager.
#pragma once

#include <cstdint>

#include "platform/error.h"
#include "platform/handle.h"

namespace platform {

/// An open socket, or none (kNoSocket).
using Socket = Handle<struct SocketKind>;
inline constexpr Socket kNoSocket{};

/// The value ParseIpv4Address gives for text it does not accept, and for 255.255.255.255.
inline constexpr uint32_t kNoAddress = 0xffffffffu;

/// Starts the socket library (Winsock 2.2 on Windows; nothing to do on Linux). False when
/// it cannot be started. Every successful call is matched by one StopSockets.
bool StartSockets(std::error_code* error = nullptr);

/// Stops the socket library; sockets still open are closed by it on Windows.
void StopSockets();

/// Converts dotted IPv4 text exactly as inet_addr does, including its shortened and
/// numeric forms, to an address in network byte order. Host names are not looked up.
/// kNoAddress when the text is not accepted.
uint32_t ParseIpv4Address(const char* text);

/// Creates a TCP socket for IPv4, not inherited by child processes. kNoSocket on failure.
Socket CreateTcpSocket(std::error_code* error = nullptr);

/// Connects `socket` to `address` (network byte order) and `port` (host byte order).
/// False on failure.
bool ConnectSocket(Socket socket, uint32_t address, uint16_t port,
                   std::error_code* error = nullptr);

/// Bounds every later receive on `socket` to `timeout_ms` (more than 0): a receive that gets
/// nothing in that time fails with the system's own time-out code (EAGAIN on Linux,
/// WSAETIMEDOUT on Windows). False when the bound cannot be set.
bool SetReceiveTimeout(Socket socket, int timeout_ms, std::error_code* error = nullptr);

/// Sends up to `size` bytes with one call. Returns the bytes sent, or -1 on failure. Never
/// raises a signal when the peer has gone.
int SendOnce(Socket socket, const void* data, int size, std::error_code* error = nullptr);

/// Receives up to `capacity` bytes with one call. Returns the bytes received, 0 when the
/// peer has closed its side (`*error` then holds no error), or -1 on failure.
int ReceiveOnce(Socket socket, void* buffer, int capacity, std::error_code* error = nullptr);

/// Closes the socket.
void CloseSocket(Socket socket);

}  // namespace platform
