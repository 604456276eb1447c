// The server's lines on standard output. One thread writes them, in the order they were
// reported, so that a manager that does not read them holds up that thread alone.
#pragma once

/// The most lines that wait for standard output. A line reported while that many wait
/// waits for room as long as lines are being written; once no line has gone out for
/// kReportStallMilliseconds (the manager is not reading), it is dropped and counted, and
/// once there is room, one line in their place says how many.
inline constexpr int kReportBacklog = 1024;
inline constexpr int kReportStallMilliseconds = 1000;

/// How long the server, as it ends, gives the waiting lines to be written.
inline constexpr int kEndFlushMilliseconds = 250;

/// Starts the thread that writes the reported lines. Before it runs, or when it cannot be
/// started, Report writes each line itself.
void StartReportThread();

/// Hands `line`, a text that lasts as long as the process, to standard output without
/// waiting for the stream.
void Report(const char* line);

/// Waits at most `timeout_ms` until every line reported so far has been written and flushed.
/// False when the time ran out (the manager is not reading).
bool FlushReports(int timeout_ms);
