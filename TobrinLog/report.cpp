#include "report.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/lock.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "server_messages.h"

namespace {

// Lines waiting for one stream, in order, within a fixed store of bytes; not locked.
// A line is kept as its length, its bytes and a terminating zero, in one piece: a line that
// does not fit before the end of the store goes to its start, and a mark (or too little
// room for one) says so.
class LineQueue {
 public:
  // Keeps its lines in `capacity` bytes at `store`, which must outlive it; the count of
  // dropped lines is written with `dropped_format` (one %u).
  LineQueue(char* store, int capacity, const char* dropped_format)
      : store_(store), capacity_(capacity), dropped_format_(dropped_format) {}

  // Queues the printf-formatted text. False when it is dropped instead: it does not fit,
  // or lines dropped earlier are still waiting for their count to fit.
  bool Push(const char* format, va_list arguments);
  // True when no line waits.
  bool Empty() const { return lines_ == 0; }
  // The oldest line and its length; it keeps its bytes until Pop.
  const char* Front(int* length) const;
  // Removes the oldest line; the count of lines dropped meanwhile goes in as soon as it fits.
  void Pop();

 private:
  // Where `size` bytes for one line, with its length and its end, can go, or -1.
  int Reserve(int size);
  // Queues the count of dropped lines if it fits; true when none is left to count.
  bool PushDroppedCount();
  bool Append(const char* format, va_list arguments);
  bool AppendFormatted(const char* format, ...);

  char* store_;
  int capacity_;
  const char* dropped_format_;
  int first_ = 0;  // where the oldest line starts
  int end_ = 0;    // where the next line goes
  int lines_ = 0;
  unsigned dropped_ = 0;
};

constexpr int kHeader = static_cast<int>(sizeof(int));
constexpr int kWrapMark = -1;

int ReadHeader(const char* at) {
  int value;
  std::memcpy(&value, at, sizeof(value));
  return value;
}

void WriteHeader(char* at, int value) { std::memcpy(at, &value, sizeof(value)); }

bool LineQueue::Push(const char* format, va_list arguments) {
  if (PushDroppedCount() && Append(format, arguments)) return true;
  ++dropped_;
  // Only a line longer than the whole store is dropped with none waiting; no Pop would
  // then bring its count.
  if (lines_ == 0) PushDroppedCount();
  return false;
}

const char* LineQueue::Front(int* length) const {
  *length = ReadHeader(store_ + first_);
  return store_ + first_ + kHeader;
}

void LineQueue::Pop() {
  first_ += kHeader + ReadHeader(store_ + first_) + 1;
  if (--lines_ == 0) {
    first_ = end_ = 0;
  } else if (capacity_ - first_ < kHeader || ReadHeader(store_ + first_) == kWrapMark) {
    first_ = 0;
  }
  PushDroppedCount();
}

// While the lines wrap around, the free bytes lie between the newest and the oldest;
// otherwise behind the newest, or else before the oldest.
int LineQueue::Reserve(int size) {
  if (lines_ > 0 && end_ <= first_) return first_ - end_ >= size ? end_ : -1;
  if (capacity_ - end_ >= size) return end_;
  if (first_ < size) return -1;
  if (capacity_ - end_ >= kHeader) WriteHeader(store_ + end_, kWrapMark);
  return 0;
}

bool LineQueue::Append(const char* format, va_list arguments) {
  va_list measure;
  va_copy(measure, arguments);
  int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length < 0 || length > capacity_ - kHeader - 1) return false;
  int at = Reserve(kHeader + length + 1);
  if (at < 0) return false;
  WriteHeader(store_ + at, length);
  std::vsnprintf(store_ + at + kHeader, static_cast<size_t>(length) + 1, format, arguments);
  end_ = at + kHeader + length + 1;
  ++lines_;
  return true;
}

bool LineQueue::PushDroppedCount() {
  if (dropped_ == 0) return true;
  if (!AppendFormatted(dropped_format_, dropped_)) return false;
  dropped_ = 0;
  return true;
}

bool LineQueue::AppendFormatted(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  bool appended = Append(format, arguments);
  va_end(arguments);
  return appended;
}

constexpr size_t kReportStackBytes = 64 * 1024;

// One stream's waiting lines and the thread that writes them. Never destroyed: the thread
// may be blocked in a write while the process exits.
struct Reporter {
  Reporter(std::FILE* target, const char* dropped_format)
      : stream(target),
        store(new (std::nothrow) char[kReportBacklogBytes]),
        queue(store, store ? kReportBacklogBytes : 0, dropped_format) {}

  std::FILE* stream;
  char* store;
  platform::Lock lock;
  platform::Condition changed;
  LineQueue queue;
  bool thread_running = false;
};

Reporter& OutputReporter() {
  static Reporter* reporter = new Reporter(stdout, kLinesDroppedFormat);
  return *reporter;
}

Reporter& ErrorReporter() {
  static Reporter* reporter = new Reporter(stderr, kErrorLinesDroppedFormat);
  return *reporter;
}

// A line keeps its place until it has been written, so that the bytes of the one whose
// write may block are not given to another.
void ReportThread(void* argument) {
  Reporter& r = *static_cast<Reporter*>(argument);
  platform::LockGuard guard(r.lock);
  for (;;) {
    while (r.queue.Empty()) r.changed.Wait(r.lock);
    int length = 0;
    const char* line = r.queue.Front(&length);
    r.lock.Release();
    std::fwrite(line, 1, static_cast<size_t>(length), r.stream);
    std::fflush(r.stream);
    r.lock.Acquire();
    r.queue.Pop();
    r.changed.WakeAll();
  }
}

void StartReportThread(Reporter& r) {
  platform::LockGuard guard(r.lock);
  r.thread_running = r.store && platform::StartDetachedThread(ReportThread, &r, kReportStackBytes);
}

void Hand(Reporter& r, const char* format, va_list arguments) {
  r.lock.Acquire();
  if (!r.thread_running) {
    r.lock.Release();
    std::vfprintf(r.stream, format, arguments);
    std::fflush(r.stream);
    return;
  }
  r.queue.Push(format, arguments);
  r.changed.WakeAll();
  r.lock.Release();
}

bool WaitUntilWritten(Reporter& r, std::chrono::steady_clock::time_point deadline) {
  platform::LockGuard guard(r.lock);
  while (!r.queue.Empty()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    r.changed.WaitFor(r.lock, static_cast<int>(left.count()) + 1);
  }
  return true;
}

void HandFormatted(Reporter& r, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  Hand(r, format, arguments);
  va_end(arguments);
}

}  // namespace

void StartReportThreads() {
  StartReportThread(OutputReporter());
  StartReportThread(ErrorReporter());
}

void Report(const char* line) { HandFormatted(OutputReporter(), "%s", line); }

void ReportError(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  Hand(ErrorReporter(), format, arguments);
  va_end(arguments);
}

bool FlushReports(int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  bool output_written = WaitUntilWritten(OutputReporter(), deadline);
  return WaitUntilWritten(ErrorReporter(), deadline) && output_written;
}

// Under the lock, with nothing waiting, the thread writes nothing meanwhile, so the line
// cannot overtake one reported before it.
void ReportErrorWithoutWaiting(const char* line) {
  Reporter& r = ErrorReporter();
  platform::LockGuard guard(r.lock);
  if (r.queue.Empty()) platform::WriteStandardErrorWithoutWaiting(line);
}
