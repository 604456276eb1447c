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

// The first instance could not be created, so no client thread exists and the normal exit
// may destroy the writer. A line stuck on its way to a stream that the normal exit would
// wait to flush must not hold the process, so then it ends without running destructors;
// nothing is lost by that, as every block is in the file or the command's pipe.
int EndAfterServeFailure() {
  platform::RemovePipeName();
  if (!FlushReports(kEndFlushMilliseconds)) platform::TerminateProcessNow(0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  platform::PrepareServerProcess();
  std::error_code error;
  if (!platform::ProgramArguments(&argc, &argv, &error)) {
    std::fprintf(stderr, kCannotReadArgumentsFormat, error.value());
    return 1;
  }
  if (!ParseArgs(argv, argc, &g_log_writer.Settings())) return 1;
  if (!g_log_writer.OpenOutput()) return 1;
  if (!StartMonitorThread(&g_log_writer)) {
    std::fputs(kCreateMonitorFailed, stderr);
    return 0;
  }
  StartReportThreads();
  WriteReadyByte();
  ServePipe(&g_log_writer);
  return EndAfterServeFailure();
}
