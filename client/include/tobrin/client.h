/* tobrin/client.h: writing messages into a Tobrin log server's pipe.

   A log server reads messages from one local pipe: a SOCK_SEQPACKET Unix-domain socket at a
   path on Linux, a message-mode named pipe such as \\.\pipe\app-log on Windows. Each message
   the server takes is written to its log as it was sent, byte for byte; it adds nothing, not
   even a line feed, so a message that is meant to be a line ends in one.

   A client works in one of two modes, chosen when it is made.

   Synchronous (tobrin_connect): each send is one system call in the caller's thread, and
   returns once the system has taken the message.

     tobrin_client* log = tobrin_connect("/run/app/log.sock", 5000);
     if (!log) { report tobrin_last_error(); }
     tobrin_send(log, "started\n", 8);
     tobrin_close(log);

   Asynchronous (tobrin_open): a send copies the message into a bounded buffer in the process
   and returns; one sender thread per client takes the buffered messages out in order, packs
   consecutive whole messages into pipe messages of at most TOBRIN_MAX_MESSAGE bytes, and
   sends them. The server writes each pipe message unchanged, so the log holds exactly the
   bytes that separate sends would give. The sender connects, and connects again whenever the
   server has gone, pausing between tries (from a few milliseconds, growing to one second)
   for as long as the client lives; the caller never waits for that.

     tobrin_options options;
     tobrin_options_init(&options);               (TOBRIN_DROP: a send never waits)
     tobrin_client* log = tobrin_open("/run/app/log.sock", &options);
     tobrin_send(log, "started\n", 8);            (0: in the buffer)
     tobrin_flush(log, 1000);                     (0: the system has taken it)
     tobrin_close(log);                           (flushes, then frees)

   What both modes promise:
   - Each message reaches the server whole or not at all, and a client's messages arrive in
     the order it sent them. Several threads may share one client; each message stays whole.
   - A message longer than TOBRIN_MAX_MESSAGE bytes is refused before anything is buffered or
     sent; the client goes on with the next one.
   - No call raises SIGPIPE.
   - A name that is not a pipe (a file, a device, a path outside \\.\pipe\ on Windows; a file
     that is not a socket on Linux) is refused: nothing is ever written into it.

   What the synchronous mode promises beyond that, and what it cannot:
   - When the server has gone away (its manager restarted it), the next send connects again,
     trying for up to the connect time-out, and sends its message once more. When that
     reconnection found no server for the whole time-out, the sends of the next second fail
     at once with TOBRIN_E_NO_SERVER instead of each waiting the time-out again; the first
     send after that second tries again.
   - Connecting never waits longer than the time-out, also when the server is stopped or its
     queue of connections is full.
   - A send waits while the server is behind (the system's buffer for the connection is
     full); a server that has stopped reading can hold a sender up indefinitely.

   What the asynchronous mode promises beyond that, and what it cannot:
   - A send never waits for the server in TOBRIN_DROP mode (the default): it waits only for the
     client's lock, which no one holds for longer than a copy. When the buffer is full, the
     message is dropped and counted (tobrin_dropped), and when a message is buffered again
     after drops, the line "tobrin: N messages dropped while the log buffer was full\n" goes
     before it into the log as one message of the client's own, so a reader sees the gap (see
     drop_notice). In TOBRIN_WAIT mode a send waits for room instead, for as long as the
     server takes to make it: choose it only where the application may be held up.
   - A message waits at most about flush_ms milliseconds in the buffer while a server is there
     to take it; a full pipe message's worth is sent at once.
   - Across a restart of the server, every message stays whole and in order: a pipe message
     whose send failed because the server went is sent again whole to the next server.
   - What a crash loses: what is still in the buffer (at most buffer_bytes) and the pipe
     message the sender is sending (at most TOBRIN_MAX_MESSAGE bytes). Call tobrin_flush where
     a message must have left the process before going on (before a risky step, before
     exiting without tobrin_close, before a fork whose parent may exit soon).
   - Nothing is acknowledged here either: "taken by the system" is the most any call can say.
     Pipe messages the system took just before the server died (at most the system's buffer
     for one connection, some hundreds of kilobytes on Linux, 32 KiB on Windows) go with the
     server, and no call reports them.

   Fork (Linux): a child may use every client it inherited as soon as it exists. In the
   child, each client's locks are new, its connection to the server is closed (the next send
   connects again), and an asynchronous client's buffer starts empty with its dropped count
   at 0: messages the parent had buffered are the parent's to deliver, never sent twice. An
   asynchronous client starts the child's own sender thread at the child's first send.

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

/** An argument is missing or out of range (a null client or data pointer, bad options), or
    the name is not a pipe. */
#define TOBRIN_E_INVALID (-1)
/** The message is longer than TOBRIN_MAX_MESSAGE; nothing was sent or buffered. */
#define TOBRIN_E_TOO_LONG (-2)
/** No server could be reached within the connect time-out; the message was not sent. */
#define TOBRIN_E_NO_SERVER (-3)
/** The system refused the send for another reason; see tobrin_last_error(). */
#define TOBRIN_E_SEND (-4)
/** Out of memory, or the system could not start the sender thread. */
#define TOBRIN_E_NO_MEMORY (-5)
/** The buffer was full in TOBRIN_DROP mode: the message was dropped and counted. */
#define TOBRIN_E_DROPPED (-6)
/** tobrin_flush's time-out passed before everything buffered was taken by the system. */
#define TOBRIN_E_TIMEOUT (-7)

/** when_full: a send waits for room in the buffer. */
#define TOBRIN_WAIT 0
/** when_full: a send that finds the buffer full drops its message, counts it and returns
    TOBRIN_E_DROPPED. */
#define TOBRIN_DROP 1

/** One connection to a log server's pipe, opaque to its user. */
typedef struct tobrin_client tobrin_client;

/** One message of a batch for tobrin_send_many. */
typedef struct tobrin_message {
  const void* data;
  size_t length;
} tobrin_message;

/** How tobrin_open makes a client. Fill it with tobrin_options_init, then change what you
    need. Fields are only ever added at the end; `size` tells the library which ones a
    caller's struct holds, and the others take their defaults, so a program built against
    an older header keeps working. */
typedef struct tobrin_options {
  /** sizeof(tobrin_options) as the caller was built; at least the first five fields. */
  size_t size;
  /** Synchronous: how long a connect or reconnect keeps trying. Asynchronous: how long
      tobrin_close keeps flushing. Milliseconds; negative counts as 0. Default 5000. */
  int connect_timeout_ms;
  /** Room for buffered messages, each taking its length plus 4 bytes; at least one message
      of TOBRIN_MAX_MESSAGE bytes always fits. 0 makes a synchronous client, exactly as
      tobrin_connect. Default 1048576. */
  size_t buffer_bytes;
  /** The longest a message waits in the buffer before the sender sends what is there, in
      milliseconds; 0 sends at once. Default 100. */
  int flush_ms;
  /** TOBRIN_DROP (the default) or TOBRIN_WAIT: what a send does when the buffer is full. */
  int when_full;
  /** 1 (the default): after drops, the count line goes into the log before the next
      message. 0: no line, for logs whose lines must all be the application's; the count is
      still kept (tobrin_dropped). */
  int drop_notice;
} tobrin_options;

/** Sets `size` and every field to its default. */
TOBRIN_API void tobrin_options_init(tobrin_options* options);

/** Connects to the pipe `pipe_name`, retrying for up to `timeout_ms` milliseconds while it
    is not there yet, between two instances, busy or not accepting (a server that is starting,
    restarting or stopped). The time-out also bounds every later reconnection. Returns a
    synchronous client, or NULL: with tobrin_last_error() set when no server could be reached
    in time, 0 when the name is not a pipe or memory ran out. */
TOBRIN_API tobrin_client* tobrin_connect(const char* pipe_name, int timeout_ms);

/** Makes a client for the pipe `pipe_name` as `options` say (NULL: the defaults). With
    buffer_bytes 0 this is tobrin_connect(pipe_name, connect_timeout_ms). Otherwise it makes
    an asynchronous client and returns at once, whether or not a server is there; the sender
    thread does the connecting. NULL only when the name is not a pipe or the options are bad
    (TOBRIN_E_INVALID: tobrin_last_error() 0), or when memory or a thread could not be had. */
TOBRIN_API tobrin_client* tobrin_open(const char* pipe_name, const tobrin_options* options);

/** Sends `length` bytes at `data` as one message (0 bytes is a valid, empty message, which
    adds nothing to the log). Thread-safe.
    Synchronous: 0 once the system has taken it whole; TOBRIN_E_NO_SERVER when the server had
    gone and none came back within the connect time-out (or in the second after such a
    failure); TOBRIN_E_SEND otherwise.
    Asynchronous: 0 once the message is in the buffer; when the buffer is full, TOBRIN_WAIT
    waits for room and TOBRIN_DROP returns TOBRIN_E_DROPPED. TOBRIN_E_NO_MEMORY when a forked
    child's sender thread could not be started (nothing buffered).
    Both: TOBRIN_E_TOO_LONG, nothing sent or buffered, for more than TOBRIN_MAX_MESSAGE
    bytes; TOBRIN_E_INVALID for a null client, or null data with a length. */
TOBRIN_API int tobrin_send(tobrin_client* client, const void* data, size_t length);

/** Sends `count` messages in order as tobrin_send would, and no other thread's message comes
    between them. If any message is too long or invalid, none is sent and the result says
    why. `*sent` (when `sent` is not NULL) is set to how many of the first messages went:
    Synchronous: with as few system calls as the system allows (one per 64 messages on Linux,
    one per message on Windows); messages [0, *sent) were taken whole by the system: `count`
    when the result is 0, fewer on failure.
    Asynchronous: messages [0, *sent) are in the buffer. In TOBRIN_DROP mode, when the buffer
    has no room for message *sent, it and every message after it are dropped and counted,
    and the result is TOBRIN_E_DROPPED. Thread-safe. */
TOBRIN_API int tobrin_send_many(tobrin_client* client, const tobrin_message* messages, size_t count,
                                size_t* sent);

/** Asynchronous: wakes the sender and waits until every message buffered before the call has
    been taken by the system. 0 then; TOBRIN_E_TIMEOUT once `timeout_ms` milliseconds have
    passed first (0 or less: 0 only if nothing is left, without waiting); the messages stay
    buffered and the sender goes on. Synchronous: 0 at once, as every message sent has been
    taken. TOBRIN_E_INVALID for a null client. Thread-safe. */
TOBRIN_API int tobrin_flush(tobrin_client* client, int timeout_ms);

/** How many messages the client has dropped because its buffer was full (counting from the
    fork for a forked child's client); 0 for a synchronous client or NULL. */
TOBRIN_API unsigned long long tobrin_dropped(tobrin_client* client);

/** How many messages the client holds that the system has not taken yet: buffered, or in the
    pipe message being sent (drop count lines included); 0 for a synchronous client or NULL.
    After a tobrin_flush that timed out, this is what tobrin_close would lose. */
TOBRIN_API unsigned long long tobrin_pending(tobrin_client* client);

/** Ends the client and frees it; NULL is allowed. The client must not be in use.
    Asynchronous: first puts the count line of drops not yet reported into the buffer (where
    drop_notice is on and the buffer has room), then flushes for at most the connect time-out,
    then stops the sender thread, whatever the server does (stopped, gone, not reading): what
    the system has not taken by then is lost. It never waits much longer than the time-out.
    Messages the system has taken are still delivered while the server runs. */
TOBRIN_API void tobrin_close(tobrin_client* client);

/** The system's error code of this thread's last failed call, 0 when the library refused
    by itself (TOBRIN_E_TOO_LONG, TOBRIN_E_INVALID, TOBRIN_E_DROPPED, TOBRIN_E_TIMEOUT). */
TOBRIN_API int tobrin_last_error(void);

/** A short English text for a TOBRIN_E_* code (or 0); never NULL. */
TOBRIN_API const char* tobrin_strerror(int code);

#ifdef __cplusplus
}
#endif

#endif /* TOBRIN_CLIENT_H */
