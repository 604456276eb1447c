#include "pipe_server.h"

#include <cstdint>
#include <cstdio>

#include "log_writer.h"
#include "platform/msgpipe.h"
#include "platform/thread.h"

namespace {

LockedLogWriter* g_writer = nullptr;
bool g_client_threads_started = false;

// Owns one connected instance until its client goes away or a write fails.
void LogThread(void* argument) {
  platform::PipeEnd instance{reinterpret_cast<intptr_t>(argument)};
  char buffer[platform::kMaxMessage];
  for (;;) {
    int length = 0;
    if (!platform::ReadPipeMessage(instance, buffer, platform::kMaxMessage, &length)) {
      std::printf("LogThread: ReadFile failed\n");
      std::fflush(stdout);
      break;
    }
    if (length == 0) continue;
    if (!g_writer->WriteAll(buffer, length)) {
      // Flushed, like the read message: the process usually ends without flushing, and
      // a failed write that nobody hears of is a silent loss.
      std::printf("LogThread: WriteAll failed\n");
      std::fflush(stdout);
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
