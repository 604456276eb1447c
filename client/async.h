// The asynchronous client: callers copy their messages into a Ring under the client's lock
// and return; one sender thread (sender.cpp) takes them out in pipe messages of whole
// messages, sends them, and connects again whenever the server has gone.
#pragma once

#include <stdint.h>

#include "client/buffer.h"
#include "client/pipe.h"
#include "client/system.h"
#include "tobrin/client.h"

namespace client {

/// Callers wake a sender that waits with a pending flush deadline once this many bytes wait:
/// a full pipe message's worth.
inline constexpr size_t kWakeBytes = platform::kMaxMessage;

/// What the sender is doing, so that callers wake it only when it waits for them.
enum class SenderState {
  kBusy,     ///< Taking or sending; it looks at the buffer again before it waits.
  kIdle,     ///< Waiting for a first message in an empty buffer.
  kDue,      ///< Waiting for the flush deadline, or for a full pipe message's worth.
  kPausing,  ///< Waiting before it tries the server again; only flush and close cut it short.
};

struct Async {
  Lock lock;
  Condition wake;       ///< The sender waits here.
  Condition room;       ///< Callers in TOBRIN_WAIT wait here for room.
  Condition delivered;  ///< tobrin_flush and tobrin_close wait here.
  tobrin_options options;
  const char* pipe_name;  ///< The client's.

  // Guarded by the lock.
  Ring ring;
  uint64_t accepted;      ///< Messages put into the ring so far, drop notices included.
  uint64_t sent;          ///< Of those, how many the system has taken.
  uint64_t flush_target;  ///< The sender sends at once until `sent` reaches it.
  uint64_t dropped;       ///< Messages dropped because the ring was full.
  uint64_t unreported;    ///< Drops that no notice in the ring reports yet.
  int room_waiters;
  int flush_waiters;
  const void* room_owner;  ///< The call that waits for room first; others queue behind it.
  SenderState state;
  bool stopping;  ///< tobrin_close's time is up: the sender ends.
  bool running;   ///< The sender thread has been started (and not in this forked child).
  Thread thread;

  // The sender thread's own.
  platform::PipeEnd end;
  char* pack;         ///< kMaxMessage bytes: the pipe message being sent.
  int pack_length;    ///< 0 when no pipe message is waiting to be sent.
  int pack_messages;  ///< How many messages the pipe message holds.
  int pause_ms;       ///< The pause after the last failed try; 0 after a success.
};

/// An asynchronous client of `pipe_name` (which must outlive it) with its sender started.
/// Null when memory or the thread cannot be had; the system's error in `*error`.
Async* OpenAsync(const char* pipe_name, const tobrin_options& options, int* error);

/// Puts `count` valid messages into the ring, in order and with no other call's messages
/// between them, as tobrin_send_many promises. `*put` says how many went in.
int PutMessages(Async* async, const tobrin_message* messages, size_t count, size_t* put,
                int* error);

/// Waits until every message put before the call has been sent, for at most `timeout_ms`.
int FlushAsync(Async* async, int timeout_ms);

uint64_t DroppedSoFar(Async* async);
/// Messages put but not yet taken by the system.
uint64_t PendingSoFar(Async* async);

/// Flushes for at most the connect time-out, stops the sender and frees the client.
void CloseAsync(Async* async);

/// In a forked child: new locks, no connection, no buffered messages, no sender yet.
void ForgetParentsState(Async* async);

/// Waits until `sent` reaches `target` or `deadline` (NowMilliseconds) passes, waking the
/// sender first; true when it did. The caller holds the lock.
bool WaitUntilSent(Async* async, uint64_t target, long long deadline);

/// The sender thread: runs until tobrin_close stops it.
void RunSender(void* async);

}  // namespace client
