#include "pipe_server.h"

#include <cstdlib>

#include "log_writer.h"
#include "platform/lock.h"
#include "platform/msgpipe.h"
#include "platform/thread.h"
#include "report.h"

namespace {

// Messages that a client has already queued are read and written together. The slots for
// them come from a small shared pool that grows on demand, so that only threads that are
// busy hold that memory. A thread that gets a batch area before it waits receives the next
// message and everything queued behind it in one call; but an area waited with may sit with
// an idle client for long, so only some of the areas may be held that way, and a thread
// that gets none waits for one message in its own buffer and then looks for an area to
// take the queued rest. A thread that finds the pool empty writes its one message alone.
constexpr int kQueuedPerRead = kMaxBlocksPerWrite - 1;
constexpr int kBatchAreas = 16;
constexpr int kAreasHeldWhileWaiting = kBatchAreas / 2;

struct BatchArea {
  char slots[kQueuedPerRead][platform::kMaxMessage];
};

LockedLogWriter* g_writer = nullptr;
bool g_client_threads_started = false;
platform::Lock g_pool_lock;
BatchArea* g_free_areas[kBatchAreas];
int g_free_count = 0;
int g_areas_made = 0;
int g_areas_waiting = 0;

BatchArea* TakeBatchArea(bool to_wait) {
  g_pool_lock.Acquire();
  BatchArea* area = nullptr;
  if (to_wait && g_areas_waiting >= kAreasHeldWhileWaiting) {
    // Leave the rest to threads that already have messages in hand.
  } else if (g_free_count > 0) {
    area = g_free_areas[--g_free_count];
  } else if (g_areas_made < kBatchAreas) {
    // Never freed: the pool lives as long as the process.
    area = static_cast<BatchArea*>(std::malloc(sizeof(BatchArea)));
    if (area) ++g_areas_made;
  }
  if (area && to_wait) ++g_areas_waiting;
  g_pool_lock.Release();
  return area;
}

void ReturnBatchArea(BatchArea* area, bool waited) {
  if (!area) return;
  g_pool_lock.Acquire();
  if (waited) --g_areas_waiting;
  g_free_areas[g_free_count++] = area;
  g_pool_lock.Release();
}

// Waits for the next message and reads it with those already queued behind it, as far as
// there is room: all in one call when `*area` was had before waiting, else the first into
// `buffer` and the rest into an area taken afterwards. Returns how many entries `lengths`
// holds (entry 0 in `buffer`, entry i in slot i-1 of the area); 0 when the client has gone.
int ReadBatch(platform::PipeEnd instance, char* buffer, BatchArea** area, bool* waited,
              int* lengths, bool* read_failed) {
  *read_failed = false;
  // Where reads take one message at a time, no area would ever be filled.
  bool batches = platform::QueuedReadLimit() >= kQueuedPerRead;
  *area = batches ? TakeBatchArea(true) : nullptr;
  *waited = *area != nullptr;
  if (*area)
    return platform::ReadPipeMessages(instance, buffer, (*area)->slots[0], kQueuedPerRead, lengths,
                                      read_failed);
  if (!platform::ReadPipeMessage(instance, buffer, platform::kMaxMessage, &lengths[0])) return 0;
  *area = batches ? TakeBatchArea(false) : nullptr;
  if (!*area) return 1;
  return 1 + platform::ReadQueuedMessages(instance, (*area)->slots[0], kQueuedPerRead, lengths + 1,
                                          read_failed);
}

// Owns one connected instance until its client goes away or a write fails.
void LogThread(void* argument) {
  platform::PipeEnd instance = platform::PipeEndFromThreadArgument(argument);
  char buffer[platform::kMaxMessage];
  int lengths[1 + kQueuedPerRead];
  Block blocks[1 + kQueuedPerRead];
  for (;;) {
    BatchArea* area = nullptr;
    bool waited = false;
    bool read_failed = false;
    int read = ReadBatch(instance, buffer, &area, &waited, lengths, &read_failed);
    if (read == 0) {
      ReturnBatchArea(area, waited);
      Report("LogThread: ReadFile failed\n");
      break;
    }
    int count = 0;
    for (int i = 0; i < read; ++i) {
      if (lengths[i] > 0) blocks[count++] = Block{i == 0 ? buffer : area->slots[i - 1], lengths[i]};
    }
    int written = count == 0 || g_writer->WriteBlocksLocked(blocks, count);
    ReturnBatchArea(area, waited);
    if (!written) {
      Report("LogThread: WriteAll failed\n");
      break;
    }
    if (read_failed) {
      Report("LogThread: ReadFile failed\n");
      break;
    }
  }
  platform::ClosePipeInstance(instance);
}

}  // namespace

void ServePipe(LockedLogWriter* writer) {
  g_writer = writer;
  for (;;) {
    platform::PipeEnd instance;
    if (!platform::CreatePipeInstance(writer->PipeName(), &instance)) {
      Report("CreatePipe failed\n");
      return;
    }
    if (!platform::ConnectPipeClient(&instance)) {
      platform::DiscardPipeInstance(instance);
      continue;
    }
    if (!platform::StartDetachedThread(LogThread, platform::PipeEndToThreadArgument(instance),
                                       TOBRIN_CLIENT_STACK_BYTES)) {
      platform::DiscardPipeInstance(instance);
      Report("CreateThread failed");
      return;
    }
    g_client_threads_started = true;
  }
}

bool ClientThreadsStarted() { return g_client_threads_started; }
