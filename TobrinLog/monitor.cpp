#include "monitor.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "log_writer.h"
#include "platform/lock.h"
#include "platform/msgpipe.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "report.h"
#include "server_messages.h"

namespace {

constexpr int kDiscardBufferSize = 256;
constexpr size_t kMonitorStackBytes = 64 * 1024;

LockedLogWriter* g_writer = nullptr;

// How the process is to end: the last words on standard error (or none), and the stop signal
// that asked for the end (0: the manager has gone, status 1).
struct Ending {
  const char* message = nullptr;
  int stop_signal = 0;
};
Ending g_ending;

// Never destroyed: whichever of the monitor and the deadline comes first ends the process
// while holding it, and the other waits here until the process is gone.
platform::Lock& EndLock() {
  static platform::Lock* lock = new platform::Lock;
  return *lock;
}

[[noreturn]] void Finish() {
  EndLock().Acquire();
  if (g_ending.message) ReportErrorWithoutWaiting(g_ending.message);
  if (g_ending.stop_signal != 0) platform::EndBySignal(g_ending.stop_signal);
  platform::TerminateProcessNow(1);
}

// A write that does not finish in time is stuck; the process then ends all the same.
void EndAtDeadline(void*) {
  std::this_thread::sleep_for(std::chrono::milliseconds(kEndWaitForWriteMilliseconds));
  Finish();
}

// Waiting lines get a moment to reach whoever still reads them, and the last words follow
// them if the stream takes them at once; the end never waits on a stream that nobody reads.
// The writer's lock, once taken, is never given back: a process that ends while another
// thread is inside a write keeps only part of that write, whatever the file system. Without
// a thread to bound the wait, the end comes at once, as it would after a stuck write.
[[noreturn]] void EndProcess(const char* message, int stop_signal) {
  platform::RemovePipeName();
  FlushReports(kEndFlushMilliseconds);
  g_ending.message = message;
  g_ending.stop_signal = stop_signal;
  if (g_writer && platform::StartDetachedThread(EndAtDeadline, nullptr, kMonitorStackBytes))
    g_writer->StopWriting();
  Finish();
}

void MonitorThread(void*) {
  if (!platform::HasStandardInputHandle()) EndProcess(kNoStdinHandle, 0);
  char discarded[kDiscardBufferSize];
  int stop_signal = platform::WaitForStopRequest(discarded, kDiscardBufferSize);
  // A stop signal ends the process without a word, as it always has.
  EndProcess(stop_signal != 0 ? nullptr : kManagerExit, stop_signal);
}

}  // namespace

// The stop signals are caught before the thread runs, so that none that comes meanwhile
// ends the process inside a write.
bool StartMonitorThread(LockedLogWriter* writer) {
  g_writer = writer;
  platform::CatchStopSignals();
  return platform::StartDetachedThread(MonitorThread, nullptr, kMonitorStackBytes);
}

void WriteReadyByte() {
  std::fputc(0x01, stderr);
  std::fflush(stderr);
}
