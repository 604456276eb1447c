// The server's lines on standard output and standard error. One thread per stream writes
// them, in the order they were reported, so that a manager that does not read a stream
// holds up that stream's thread alone: no client thread, and nobody holding the writer's lock.
#pragma once

#include <cstdarg>

/// The most bytes of lines that wait for one stream: far more than a manager that reads,
/// however busily, lets pile up. A line that finds them full is dropped and counted, and
/// once there is room, one line in their place says how many.
inline constexpr int kReportBacklogBytes = 1 << 20;

/// How long the server, as it ends, gives the waiting lines to be written.
inline constexpr int kEndFlushMilliseconds = 250;

/// Lines waiting for one stream, in order, within a fixed store of bytes; not locked.
class LineQueue {
 public:
  /// Keeps its lines in `capacity` bytes at `store`, which must outlive it; the count of
  /// dropped lines is written with `dropped_format` (one %u).
  LineQueue(char* store, int capacity, const char* dropped_format)
      : store_(store), capacity_(capacity), dropped_format_(dropped_format) {}

  /// Queues the printf-formatted text. False when it is dropped instead: it does not fit,
  /// or lines dropped earlier are still waiting for their count to fit.
  bool Push(const char* format, va_list arguments);
  /// True when no line waits.
  bool Empty() const { return lines_ == 0; }
  /// The oldest line and its length; it keeps its bytes until Pop.
  const char* Front(int* length) const;
  /// Removes the oldest line; the count of lines dropped meanwhile goes in as soon as it fits.
  void Pop();

 private:
  /// Where a line of `length` bytes can go, or -1.
  int Reserve(int length);
  /// Queues the count of dropped lines if it fits; true when none is left to count.
  bool PushDroppedCount();
  bool Append(const char* format, va_list arguments);
  bool AppendFormatted(const char* format, ...);
  int FirstLine() const;

  char* store_;
  int capacity_;
  const char* dropped_format_;
  int first_ = 0;  // where the oldest line starts (or a mark that it starts at 0)
  int end_ = 0;    // where the next line goes
  int lines_ = 0;
  unsigned dropped_ = 0;
};

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
