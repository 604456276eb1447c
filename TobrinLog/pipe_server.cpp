#include "pipe_server.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "log_writer.h"
#include "platform/lock.h"
#include "platform/msgpipe.h"
#include "platform/thread.h"

namespace {

// Messages that a client has already queued are read and written together. The slots for
// them come from a small shared pool, so that only threads that are busy right now hold
// that memory; a thread that finds the pool empty writes its one message alone.
constexpr int kQueuedPerRead = 32;
constexpr int kBatchAreas = 4;

struct BatchArea {
  char slots[kQueuedPerRead][platform::kMaxMessage];
};

LockedLogWriter* g_writer = nullptr;
bool g_client_threads_started = false;
platform::Lock g_pool_lock;
BatchArea* g_free_areas[kBatchAreas];
int g_free_count = 0;
int g_areas_made = 0;

BatchArea* TakeBatchArea() {
  g_pool_lock.Acquire();
  BatchArea* area = nullptr;
  if (g_free_count > 0) {
    area = g_free_areas[--g_free_count];
  } else if (g_areas_made < kBatchAreas) {
    // Never freed: the pool lives as long as the process.
    area = static_cast<BatchArea*>(std::malloc(sizeof(BatchArea)));
    if (area) ++g_areas_made;
  }
  g_pool_lock.Release();
  return area;
}

void ReturnBatchArea(BatchArea* area) {
  if (!area) return;
  g_pool_lock.Acquire();
  g_free_areas[g_free_count++] = area;
  g_pool_lock.Release();
}

// Reports on standard output, flushed at once: the process usually ends without flushing,
// and a failure that nobody hears of is a silent loss.
void Report(const char* line) {
  std::fputs(line, stdout);
  std::fflush(stdout);
}

// Adds the messages queued behind the first one to `blocks`; empty ones are skipped.
int AddQueuedMessages(platform::PipeEnd instance, BatchArea* area, Block* blocks,
                      bool* read_failed) {
  int lengths[kQueuedPerRead];
  int read =
      platform::ReadQueuedMessages(instance, area->slots[0], kQueuedPerRead, lengths, read_failed);
  int added = 0;
  for (int i = 0; i < read; ++i) {
    if (lengths[i] > 0) blocks[added++] = Block{area->slots[i], lengths[i]};
  }
  return added;
}

// Owns one connected instance until its client goes away or a write fails.
void LogThread(void* argument) {
  platform::PipeEnd instance{reinterpret_cast<intptr_t>(argument)};
  char buffer[platform::kMaxMessage];
  Block blocks[1 + kQueuedPerRead];
  for (;;) {
    int length = 0;
    if (!platform::ReadPipeMessage(instance, buffer, platform::kMaxMessage, &length)) {
      Report("LogThread: ReadFile failed\n");
      break;
    }
    if (length == 0) continue;
    blocks[0] = Block{buffer, length};
    int count = 1;
    bool read_failed = false;
    BatchArea* area = TakeBatchArea();
    if (area) count += AddQueuedMessages(instance, area, blocks + 1, &read_failed);
    int written = g_writer->WriteBlocksLocked(blocks, count);
    ReturnBatchArea(area);
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
      std::printf("CreatePipe failed\n");
      return;
    }
    if (!platform::ConnectPipeClient(&instance)) {
      platform::DiscardPipeInstance(instance);
      continue;
    }
    if (!platform::StartDetachedThread(LogThread, reinterpret_cast<void*>(instance.native),
                                       TOBRIN_CLIENT_STACK_BYTES)) {
      platform::DiscardPipeInstance(instance);
      std::printf("CreateThread failed");
      return;
    }
    g_client_threads_started = true;
  }
}

bool ClientThreadsStarted() { return g_client_threads_started; }
