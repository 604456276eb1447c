#include "report.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "platform/thread.h"
#include "server_messages.h"

namespace {

constexpr size_t kReportStackBytes = 64 * 1024;

// One waiting line; a null `line` stands for the count of lines dropped before it.
struct Entry {
  const char* line;
  unsigned dropped;
};

struct Backlog {
  std::mutex mutex;
  std::condition_variable changed;
  Entry entries[kReportBacklog];
  int first = 0;  // the entry being written or next to be
  int count = 0;
  unsigned dropped = 0;  // since the last count was queued
  uint64_t queued = 0;
  uint64_t written = 0;
  bool thread_running = false;
  // When the writing thread last finished a line (or started).
  std::chrono::steady_clock::time_point progress;
};

// Never destroyed: the writing thread may be waiting on it while the process exits.
Backlog& TheBacklog() {
  static Backlog* backlog = new Backlog;
  return *backlog;
}

void Push(Backlog& b, Entry entry) {
  b.entries[(b.first + b.count) % kReportBacklog] = entry;
  ++b.count;
  ++b.queued;
  b.changed.notify_all();
}

void WriteEntry(const Entry& entry) {
  if (entry.line) {
    std::fputs(entry.line, stdout);
  } else {
    std::printf(kLinesDroppedFormat, entry.dropped);
  }
  std::fflush(stdout);
}

// An entry keeps its place until it has been written, so that the count of waiting lines
// includes the one whose write may block.
void ReportThread(void*) {
  Backlog& b = TheBacklog();
  std::unique_lock<std::mutex> lock(b.mutex);
  for (;;) {
    b.changed.wait(lock, [&] { return b.count > 0; });
    Entry entry = b.entries[b.first];
    lock.unlock();
    WriteEntry(entry);
    lock.lock();
    b.progress = std::chrono::steady_clock::now();
    b.first = (b.first + 1) % kReportBacklog;
    --b.count;
    ++b.written;
    // The dropped lines came after everything that waited then; their count goes next.
    if (b.dropped > 0) Push(b, Entry{nullptr, b.dropped});
    b.dropped = 0;
    b.changed.notify_all();
  }
}

// A full backlog empties as long as the manager reads, however slowly; only a write that has
// made no progress for kReportStallMilliseconds says that it does not, and then the line is
// dropped at once rather than holding up its client.
bool HasRoom(Backlog& b, std::unique_lock<std::mutex>& lock) {
  const auto stall = std::chrono::milliseconds(kReportStallMilliseconds);
  while (b.count == kReportBacklog) {
    const auto deadline = b.progress + stall;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    b.changed.wait_until(lock, deadline);
  }
  return true;
}

}  // namespace

void StartReportThread() {
  Backlog& b = TheBacklog();
  std::lock_guard<std::mutex> lock(b.mutex);
  b.progress = std::chrono::steady_clock::now();
  b.thread_running = platform::StartDetachedThread(ReportThread, nullptr, kReportStackBytes);
}

void Report(const char* line) {
  Backlog& b = TheBacklog();
  std::unique_lock<std::mutex> lock(b.mutex);
  if (!b.thread_running) {
    lock.unlock();
    WriteEntry(Entry{line, 0});
  } else if (HasRoom(b, lock)) {
    Push(b, Entry{line, 0});
  } else {
    ++b.dropped;
  }
}

bool FlushReports(int timeout_ms) {
  Backlog& b = TheBacklog();
  std::unique_lock<std::mutex> lock(b.mutex);
  const uint64_t target = b.queued;
  return b.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                            [&] { return b.written >= target; });
}
