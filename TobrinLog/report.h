// The server's lines on standard output and standard error. One thread per stream writes
// them, in the order they were reported, so that a manager that does not read a stream
// holds up that stream's thread alone: no client thread, and nobody holding the writer's lock.
#pragma once

/// The most bytes of lines that wait for one stream: far more than a manager that reads,
/// however busily, lets pile up. A line that finds them full is dropped and counted, and
/// once there is room, one line in their place says how many.
inline constexpr int kReportBacklogBytes = 1 << 20;

/// How long the server, as it ends, gives the waiting lines to be written.
inline constexpr int kEndFlushMilliseconds = 250;

/// Starts the threads that write the reported lines. Before a stream's thread runs, or when
/// it cannot be started, its lines are written by the caller at once.
void StartReportThreads();

/// Hands `line` to standard output without waiting for the stream.
void Report(const char* line);

/// Hands the printf-formatted text to standard error without waiting for the stream.
void ReportError(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// Waits at most `timeout_ms` until every line reported so far has been written and flushed.
/// False when the time ran out (the manager is not reading).
bool FlushReports(int timeout_ms);

/// Writes `line` to standard error behind every line reported there, if that is done and the
/// stream takes it at once; otherwise it is dropped. Never waits: for the last words.
void ReportErrorWithoutWaiting(const char* line);
