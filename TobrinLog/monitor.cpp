#include "monitor.h"

#include <cstdio>

#include "platform/msgpipe.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "report.h"
#include "server_messages.h"

namespace {

constexpr int kDiscardBufferSize = 256;
constexpr size_t kMonitorStackBytes = 64 * 1024;

// Waiting lines get a moment to reach whoever still reads them, and the last words follow
// them if the stream takes them at once; the end never waits on a stream that nobody reads.
[[noreturn]] void EndProcess(const char* message) {
  platform::RemovePipeName();
  FlushReports(kEndFlushMilliseconds);
  ReportErrorWithoutWaiting(message);
  platform::TerminateProcessNow(1);
}

// Every block that WriteAll returned from is already in the file or the command's pipe,
// so ending at once, even in the middle of another client's write, loses nothing that a
// client was told was written.
void MonitorThread(void*) {
  if (!platform::HasStandardInputHandle()) EndProcess(kNoStdinHandle);
  char discarded[kDiscardBufferSize];
  while (platform::ReadStandardInput(discarded, kDiscardBufferSize) > 0) {
  }
  EndProcess(kManagerExit);
}

}  // namespace

bool StartMonitorThread() {
  return platform::StartDetachedThread(MonitorThread, nullptr, kMonitorStackBytes);
}

void WriteReadyByte() {
  std::fputc(0x01, stderr);
  std::fflush(stderr);
}
