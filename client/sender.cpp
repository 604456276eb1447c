// The asynchronous client's sender thread: wait for work, take a pipe message's worth of
// whole messages, send it, count it; after a failure, pause and send the same pipe message
// again, so that every message arrives whole and in order across a restart of the server.
#include "client/async.h"

namespace client {

namespace {

constexpr int kFirstPauseMs = 2;
constexpr int kLongestPauseMs = 1000;

// True when there is something to send now: a pipe message to send again, a full one's
// worth, a flush, callers waiting for room, or messages whose flush deadline has come.
// False once the client stops.
bool WaitForWork(Async* async) {
  long long due = -1;
  for (;;) {
    if (async->stopping) return false;
    if (async->pack_length > 0 || async->ring.used >= kWakeBytes ||
        async->flush_target > async->sent || (async->room_waiters > 0 && async->ring.used > 0))
      return true;
    if (async->ring.used == 0) {
      async->state = SenderState::kIdle;
      Wait(&async->wake, &async->lock);
      due = -1;
    } else {
      long long now = NowMilliseconds();
      if (due < 0) due = now + async->options.flush_ms;
      if (now >= due) return true;
      async->state = SenderState::kDue;
      WaitFor(&async->wake, &async->lock, due - now);
    }
    async->state = SenderState::kBusy;
  }
}

// The copy runs without the lock, so that callers go on putting meanwhile.
void TakePack(Async* async) {
  size_t head = async->ring.head;
  size_t used = async->ring.used;
  Release(&async->lock);
  size_t taken = Pack(&async->ring, head, used, async->pack, platform::kMaxMessage,
                      &async->pack_length, &async->pack_messages);
  Acquire(&async->lock);
  GiveBack(&async->ring, taken);
  if (async->room_waiters > 0) Broadcast(&async->room);
}

bool KeepWaiting(void* context) {
  Async* async = static_cast<Async*>(context);
  Acquire(&async->lock);
  bool keep = !async->stopping;
  Release(&async->lock);
  return keep;
}

// Connects if need be (one try: the pause between tries is the loop's) and sends the pipe
// message; without the lock.
bool Deliver(Async* async) {
  if (!async->end.IsOpen() &&
      platform::ConnectPipe(async->pipe_name, 0, platform::PipeWaits::kBounded, &async->end) !=
          platform::Connected::kYes)
    return false;
  if (platform::SendPipeMessageBounded(async->end, async->pack, async->pack_length, KeepWaiting,
                                       async) == platform::Sent::kYes)
    return true;
  platform::ClosePipe(async->end);
  async->end = platform::PipeEnd();
  return false;
}

void CountSent(Async* async) {
  async->sent += static_cast<uint64_t>(async->pack_messages);
  async->pack_length = 0;
  async->pack_messages = 0;
  async->pause_ms = 0;
  if (async->flush_waiters > 0) Broadcast(&async->delivered);
}

// A growing pause, so that a server that stays away costs little, capped so that one that
// is back is found within a second.
void PauseBeforeRetry(Async* async) {
  int pause = async->pause_ms * 2;
  async->pause_ms = pause < kFirstPauseMs     ? kFirstPauseMs
                    : pause > kLongestPauseMs ? kLongestPauseMs
                                              : pause;
  if (async->stopping) return;
  async->state = SenderState::kPausing;
  WaitFor(&async->wake, &async->lock, async->pause_ms);
  async->state = SenderState::kBusy;
}

}  // namespace

void RunSender(void* argument) {
  Async* async = static_cast<Async*>(argument);
  Acquire(&async->lock);
  while (WaitForWork(async)) {
    if (async->pack_length == 0) TakePack(async);
    Release(&async->lock);
    bool sent = Deliver(async);
    Acquire(&async->lock);
    if (sent)
      CountSent(async);
    else
      PauseBeforeRetry(async);
  }
  Release(&async->lock);
}

}  // namespace client
