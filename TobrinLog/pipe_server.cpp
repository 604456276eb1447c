#include "pipe_server.h"

#include "log_writer.h"
#include "message_reader.h"
#include "platform/msgpipe.h"
#include "platform/thread.h"
#include "report.h"
#include "server_messages.h"

namespace {

LockedLogWriter* g_writer = nullptr;
bool g_client_threads_started = false;

// Hands the client's messages to the writer until the client ends or a write fails.
void ServeClient(platform::PipeEnd instance) {
  MessageReader reader(instance);
  for (;;) {
    const MessageBatch& batch = reader.ReadNext();
    if (batch.client_ended) return Report(kReadFileFailed);
    if (batch.count > 0 && !g_writer->WriteBlocksLocked(batch.blocks, batch.count))
      return Report(kWriteAllFailed);
    if (batch.read_failed) return Report(kReadFileFailed);
  }
}

// Owns one connected instance until its client goes away or a write fails.
void LogThread(void* argument) {
  platform::PipeEnd instance = platform::PipeEndFromThreadArgument(argument);
  ServeClient(instance);
  platform::ClosePipeInstance(instance);
}

}  // namespace

void ServePipe(LockedLogWriter* writer) {
  g_writer = writer;
  for (;;) {
    platform::PipeEnd instance;
    if (!platform::CreatePipeInstance(writer->Settings().PipeName(), &instance)) {
      Report(kCreatePipeFailed);
      return;
    }
    if (!platform::ConnectPipeClient(&instance)) {
      platform::DiscardPipeInstance(instance);
      continue;
    }
    if (!platform::StartDetachedThread(LogThread, platform::PipeEndToThreadArgument(instance),
                                       TOBRIN_CLIENT_STACK_BYTES)) {
      platform::DiscardPipeInstance(instance);
      Report(kCreateThreadFailed);
      return;
    }
    g_client_threads_started = true;
  }
}

bool ClientThreadsStarted() { return g_client_threads_started; }
