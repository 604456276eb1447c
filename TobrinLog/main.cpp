// TobrinLogger: the log server. The manager starts it; local processes write log text into
// its pipe, and it appends every message whole to a rotated log file or into a command.
#include <cstdio>

#include "args.h"
#include "log_writer.h"
#include "monitor.h"
#include "pipe_server.h"
#include "platform/msgpipe.h"
#include "platform/process.h"
#include "report.h"
#include "server_messages.h"

namespace {

// The one writer of the process; it lives until normal process exit.
LockedLogWriter g_log_writer;

// The accept loop has failed. Client threads may still be writing; the writer must not be
// destroyed under them, so the process then ends without running destructors. Nothing is
// lost by that: every block is in the file or the command's pipe when WriteAll returns.
// The same holds while a line is stuck on its way to a stream that the normal exit would
// wait to flush.
int EndAfterServeFailure() {
  platform::RemovePipeName();
  bool flushed = FlushReports(kEndFlushMilliseconds);
  if (ClientThreadsStarted() || !flushed) platform::TerminateProcessNow(0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  platform::PrepareServerProcess();
  if (!ParseArgs(argv, argc, &g_log_writer.Settings())) return 1;
  if (!g_log_writer.OpenOutput()) return 1;
  if (!StartMonitorThread()) {
    std::fputs(kCreateMonitorFailed, stderr);
    return 0;
  }
  StartReportThreads();
  WriteReadyByte();
  ServePipe(&g_log_writer);
  return EndAfterServeFailure();
}
