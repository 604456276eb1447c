/* tobrin/client.h: writing messages into a Tobrin log server's pipe.

   A log server reads messages from one local pipe: a SOCK_SEQPACKET Unix-domain socket at a
   path on Linux, a message-mode named pipe such as \\.\pipe\app-log on Windows. Each message
   the server takes is written to its log as it was sent, byte for byte; it adds nothing, not
   even a line feed, so a message that is meant to be a line ends in one.

   Usage:

     tobrin_client* log = tobrin_connect("/run/app/log.sock", 5000);
     if (!log) { report tobrin_last_error(); }
     tobrin_send(log, "started\n", 8);
     tobrin_close(log);

   What the library promises:
   - Each message reaches the server whole or not at all, and a client's messages arrive in
     the order it sent them. Several threads may share one client; each message stays whole.
   - A message longer than TOBRIN_MAX_MESSAGE bytes is refused before anything is sent, and
     the connection stays usable for the next one.
   - When the server has gone away (its manager restarted it), the next send connects again,
     trying for up to the connect time-out, and sends its message once more.
   - No call raises SIGPIPE.

   What it cannot promise:
   - Nothing is acknowledged. A message counts as sent once the system has taken it; one the
     system took just before the server died goes with the server, and no call reports it.
   - A send waits while the server is behind (the system's buffer for the connection is
     full); a server that has stopped reading can hold a sender up indefinitely.
   - The server may refuse the connection or drop it for its own reasons (its count of
     clients, a failed write); messages sent meanwhile are lost as above.

   Return values: 0 on success, a negative TOBRIN_E_* code on failure. tobrin_last_error()
   then gives the system's own error code (errno on Linux, GetLastError() on Windows) of the
   calling thread's last failure, 0 when the library itself refused. */
#ifndef TOBRIN_CLIENT_H
#define TOBRIN_CLIENT_H

#include <stddef.h>

#if defined(_WIN32) && !defined(TOBRIN_STATIC)
#ifdef TOBRIN_BUILDING_DLL
#define TOBRIN_API __declspec(dllexport)
#else
#define TOBRIN_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define TOBRIN_API __attribute__((visibility("default")))
#else
#define TOBRIN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** The longest message the server takes, in bytes. */
#define TOBRIN_MAX_MESSAGE 32768

/** An argument is missing or out of range (a null client or data pointer, a bad name). */
#define TOBRIN_E_INVALID (-1)
/** The message is longer than TOBRIN_MAX_MESSAGE; nothing was sent. */
#define TOBRIN_E_TOO_LONG (-2)
/** No server could be reached within the connect time-out; the message was not sent. */
#define TOBRIN_E_NO_SERVER (-3)
/** The system refused the send for another reason; see tobrin_last_error(). */
#define TOBRIN_E_SEND (-4)
/** Out of memory. */
#define TOBRIN_E_NO_MEMORY (-5)

/** One connection to a log server's pipe, opaque to its user. */
typedef struct tobrin_client tobrin_client;

/** One message of a batch for tobrin_send_many. */
typedef struct tobrin_message {
  const void* data;
  size_t length;
} tobrin_message;

/** Connects to the pipe `pipe_name`, retrying for up to `timeout_ms` milliseconds while it
    is not there yet, between two instances or busy (a server that is starting or restarting).
    The time-out also bounds every later reconnection. Returns the client, or NULL when no
    server could be reached in time; tobrin_last_error() then says why. */
TOBRIN_API tobrin_client* tobrin_connect(const char* pipe_name, int timeout_ms);

/** Sends `length` bytes at `data` as one message (0 bytes is a valid, empty message, which
    the server skips). Returns 0 once the system has taken it whole; TOBRIN_E_TOO_LONG
    without sending anything for more than TOBRIN_MAX_MESSAGE bytes; TOBRIN_E_NO_SERVER
    when the server had gone and none came back within the connect time-out (the next send
    tries again); TOBRIN_E_SEND or TOBRIN_E_INVALID otherwise. Thread-safe. */
TOBRIN_API int tobrin_send(tobrin_client* client, const void* data, size_t length);

/** Sends `count` messages in order as tobrin_send would, with as few system calls as the
    system allows (one per 64 messages on Linux; one per message on Windows). No other
    thread's message comes between them. If any message is too long, none is sent and the
    result is TOBRIN_E_TOO_LONG. `*sent` (when `sent` is not NULL) is set to how many went
    whole: `count` when the result is 0, fewer on failure. Thread-safe. */
TOBRIN_API int tobrin_send_many(tobrin_client* client, const tobrin_message* messages, size_t count,
                                size_t* sent);

/** Closes the connection and frees the client; NULL is allowed. Messages the system has
    taken are still delivered while the server runs. The client must not be in use. */
TOBRIN_API void tobrin_close(tobrin_client* client);

/** The system's error code of this thread's last failed call, 0 when the library refused
    by itself (TOBRIN_E_TOO_LONG, TOBRIN_E_INVALID). */
TOBRIN_API int tobrin_last_error(void);

/** A short English text for a TOBRIN_E_* code (or 0); never NULL. */
TOBRIN_API const char* tobrin_strerror(int code);

#ifdef __cplusplus
}
#endif

#endif /* TOBRIN_CLIENT_H */
