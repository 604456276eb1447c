// The asynchronous client's callers' side: put under the lock, wake the sender only when it
// waits for what they bring, flush, close.
#include "client/async.h"

#include <stdlib.h>
#include <string.h>

namespace client {

namespace {

// Room for one message of the largest size with a drop notice before it.
constexpr size_t kLongestNotice = 96;
constexpr size_t kSmallestRing = RecordBytes(platform::kMaxMessage) + kLongestNotice;

// "tobrin: N messages dropped while the log buffer was full\n" into `text`; its length.
size_t FormatNotice(uint64_t count, char* text) {
  static const char kStart[] = "tobrin: ";
  static const char kEnd[] = " messages dropped while the log buffer was full\n";
  char digits[20];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + count % 10);
    count /= 10;
  } while (count > 0);
  size_t length = sizeof(kStart) - 1;
  memcpy(text, kStart, length);
  while (n > 0) text[length++] = digits[--n];
  memcpy(text + length, kEnd, sizeof(kEnd) - 1);
  return length + sizeof(kEnd) - 1;
}

size_t NoticeBytes(const Async* async) {
  if (async->unreported == 0) return 0;
  char text[kLongestNotice];
  return RecordBytes(FormatNotice(async->unreported, text));
}

void PutNotice(Async* async) {
  char text[kLongestNotice];
  Put(&async->ring, text, FormatNotice(async->unreported, text));
  ++async->accepted;
  async->unreported = 0;
}

// Wakes the sender if it waits for something that is there now; true when the caller must
// signal it (after letting the lock go).
bool TakeSenderOut(Async* async, bool room_wanted) {
  bool wake =
      async->state == SenderState::kIdle
          ? async->ring.used > 0
          : async->state == SenderState::kDue && (room_wanted || async->ring.used >= kWakeBytes);
  if (wake) async->state = SenderState::kBusy;
  return wake;
}

// Room for a message taking `bytes`, with the drop notice before it when one is due.
// TOBRIN_E_DROPPED when the ring is full in TOBRIN_DROP mode; in TOBRIN_WAIT mode it waits,
// behind any call that waited first, so that no message comes between a batch's parts.
int MakeRoom(Async* async, size_t bytes, const void* caller) {
  for (;;) {
    bool my_turn = async->room_owner == nullptr || async->room_owner == caller;
    size_t notice = NoticeBytes(async);
    if (my_turn && Fits(&async->ring, notice + bytes)) {
      if (notice > 0) PutNotice(async);
      return 0;
    }
    if (async->options.when_full == TOBRIN_DROP) return TOBRIN_E_DROPPED;
    if (async->room_owner == nullptr) async->room_owner = caller;
    if (TakeSenderOut(async, true)) Signal(&async->wake);
    ++async->room_waiters;
    Wait(&async->room, &async->lock);
    --async->room_waiters;
  }
}

void CountDropped(Async* async, const tobrin_message* messages, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (messages[i].length == 0) continue;
    ++async->dropped;
    if (async->options.drop_notice) ++async->unreported;
  }
}

int StartSender(Async* async, int* error) {
  if (!StartThread(&async->thread, RunSender, async, error)) return TOBRIN_E_NO_MEMORY;
  async->running = true;
  return 0;
}

void InitWaiting(Async* async) {
  InitLock(&async->lock);
  InitCondition(&async->wake);
  InitCondition(&async->room);
  InitCondition(&async->delivered);
}

void FreeAsync(Async* async) {
  FreeCondition(&async->delivered);
  FreeCondition(&async->room);
  FreeCondition(&async->wake);
  FreeLock(&async->lock);
  FreeRing(&async->ring);
  free(async->pack);
  free(async);
}

}  // namespace

Async* OpenAsync(const char* pipe_name, const tobrin_options& options, int* error) {
  Async* async = static_cast<Async*>(calloc(1, sizeof(Async)));
  if (async == nullptr) return nullptr;
  size_t capacity = options.buffer_bytes < kSmallestRing ? kSmallestRing : options.buffer_bytes;
  bool have_ring = InitRing(&async->ring, capacity);
  async->pack = static_cast<char*>(malloc(platform::kMaxMessage));
  if (!have_ring || async->pack == nullptr) {
    free(async->ring.bytes);
    free(async->pack);
    free(async);
    return nullptr;
  }
  async->options = options;
  async->pipe_name = pipe_name;
  async->end = platform::PipeEnd();
  InitWaiting(async);
  if (StartSender(async, error) != 0) {
    FreeAsync(async);
    return nullptr;
  }
  return async;
}

int PutMessages(Async* async, const tobrin_message* messages, size_t count, size_t* put,
                int* error) {
  Acquire(&async->lock);
  int result = async->running ? 0 : StartSender(async, error);
  size_t i = 0;
  for (; result == 0 && i < count; ++i) {
    size_t length = messages[i].length;
    if (length == 0) continue;
    result = MakeRoom(async, RecordBytes(length), &i);
    if (result != 0) break;
    Put(&async->ring, messages[i].data, length);
    ++async->accepted;
  }
  if (result == TOBRIN_E_DROPPED) CountDropped(async, messages + i, count - i);
  if (async->room_owner == &i) {
    async->room_owner = nullptr;
    if (async->room_waiters > 0) Broadcast(&async->room);
  }
  bool wake = TakeSenderOut(async, false);
  Release(&async->lock);
  if (wake) Signal(&async->wake);
  *put = i;
  return result;
}

bool WaitUntilSent(Async* async, uint64_t target, long long deadline) {
  if (async->sent >= target) return true;
  if (async->flush_target < target) async->flush_target = target;
  if (async->state != SenderState::kBusy) {
    async->state = SenderState::kBusy;
    Signal(&async->wake);
  }
  ++async->flush_waiters;
  for (long long now = NowMilliseconds(); async->sent < target && now < deadline;
       now = NowMilliseconds())
    WaitFor(&async->delivered, &async->lock, deadline - now);
  --async->flush_waiters;
  return async->sent >= target;
}

int FlushAsync(Async* async, int timeout_ms) {
  long long deadline = NowMilliseconds() + (timeout_ms > 0 ? timeout_ms : 0);
  Acquire(&async->lock);
  bool sent = WaitUntilSent(async, async->accepted, deadline);
  Release(&async->lock);
  return sent ? 0 : TOBRIN_E_TIMEOUT;
}

uint64_t DroppedSoFar(Async* async) {
  Acquire(&async->lock);
  uint64_t dropped = async->dropped;
  Release(&async->lock);
  return dropped;
}

uint64_t PendingSoFar(Async* async) {
  Acquire(&async->lock);
  uint64_t pending = async->accepted - async->sent;
  Release(&async->lock);
  return pending;
}

// The sender is stopped whatever the server does: a send in progress gives up within a step
// (see SendPipeMessageBounded), and a pause ends at the signal.
void CloseAsync(Async* async) {
  long long deadline = NowMilliseconds() + async->options.connect_timeout_ms;
  Acquire(&async->lock);
  size_t notice = NoticeBytes(async);
  if (notice > 0 && Fits(&async->ring, notice)) PutNotice(async);
  if (async->running) WaitUntilSent(async, async->accepted, deadline);
  async->stopping = true;
  Release(&async->lock);
  if (async->running) {
    Signal(&async->wake);
    JoinThread(&async->thread);
  }
  if (async->end.IsOpen()) platform::ClosePipe(async->end);
  FreeAsync(async);
}

// The child's only thread is the one that forked; every other thread of the parent, the
// sender among them, is gone, and may have left the locks held and the ring half written.
void ForgetParentsState(Async* async) {
  InitWaiting(async);
  Empty(&async->ring);
  async->accepted = async->sent = async->flush_target = 0;
  async->dropped = async->unreported = 0;
  async->room_waiters = async->flush_waiters = 0;
  async->room_owner = nullptr;
  async->state = SenderState::kBusy;
  async->stopping = false;
  async->running = false;
  if (async->end.IsOpen()) platform::ClosePipe(async->end);
  async->end = platform::PipeEnd();
  async->pack_length = async->pack_messages = async->pause_ms = 0;
}

}  // namespace client
