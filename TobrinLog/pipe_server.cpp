#include "pipe_server.h"

#include <chrono>
#include <thread>

#include "log_writer.h"
#include "message_reader.h"
#include "platform/msgpipe.h"
#include "platform/thread.h"
#include "report.h"
#include "server_messages.h"

namespace {

LockedLogWriter* g_writer = nullptr;

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
  platform::DisconnectAndCloseServerEnd(instance);
}

// Threads or instances that cannot be had now come back as connected clients leave; until
// then, retrying at once would only spin.
void PauseForResources() {
  std::this_thread::sleep_for(std::chrono::milliseconds(kResourcePauseMilliseconds));
}

}  // namespace

// Only the first instance can fail because someone else holds the name; any later failure
// is a shortage that one client caused or met, and must not end the server for the others.
void ServePipe(LockedLogWriter* writer) {
  g_writer = writer;
  bool name_created = false;
  for (;;) {
    platform::PipeEnd instance;
    if (!platform::CreatePipeInstance(writer->Settings().PipeName(), &instance)) {
      Report(kCreatePipeFailed);
      if (!name_created) return;
      PauseForResources();
      continue;
    }
    name_created = true;
    if (!platform::ConnectPipeClient(&instance)) {
      platform::CloseUnconnectedServerEnd(instance);
      continue;
    }
    if (!platform::StartDetachedThread(LogThread, platform::PipeEndToThreadArgument(instance),
                                       TOBRIN_CLIENT_STACK_BYTES)) {
      platform::CloseUnconnectedServerEnd(instance);
      Report(kCreateThreadFailed);
      PauseForResources();
    }
  }
}
