// A child's standard output and error, each read on a thread of its own, with one lock and
// one signal for whoever waits on what they deliver.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "tools/support/spawn.h"

namespace platform {

/// Reads a child's standard output and error until each ends, and hands the pieces over.
class ChildOutput {
 public:
  /// Called on a stream's reader thread, without the lock, with each piece the stream
  /// delivers, and once with `size` 0 when it has ended.
  using Deliver = std::function<void(ChildStream stream, const char* data, int size)>;
  /// Called with the lock held before each read: true while `stream` is to be left unread.
  using Hold = std::function<bool(ChildStream stream)>;

  /// Reads nothing until Start.
  ChildOutput() = default;
  ~ChildOutput() { Join(); }  ///< Waits for both readers.
  ChildOutput(const ChildOutput&) = delete;
  ChildOutput& operator=(const ChildOutput&) = delete;

  /// Starts reading both output streams of `child`, whose handles must stay open until
  /// Join has returned (or, where it is never called, for good).
  void Start(const Child& child, Deliver deliver, Hold hold = nullptr);

  /// Runs `change` under the lock and signals every waiter.
  template <typename Change>
  void Update(Change change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change();
    changed_.notify_all();
  }

  /// Waits at most `timeout_ms` until `done()` (called under the lock) holds or both streams
  /// have ended. Returns what `done()` says then.
  template <typename Done>
  bool WaitUntil(int timeout_ms, Done done) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [&] { return done() || (!open_[0] && !open_[1]); });
    return done();
  }

  /// Waits at most `timeout_ms` for both streams to end. True when they have.
  bool WaitForBothEnds(int timeout_ms);

  /// True until `stream` has ended; call under the lock (in a WaitUntil or Update).
  bool IsOpen(ChildStream stream) const { return open_[Index(stream)]; }

  /// Waits for both readers to end, which they do once every writer has closed the streams.
  void Join();

 private:
  static int Index(ChildStream stream) { return stream == ChildStream::kStdout ? 0 : 1; }
  void Read(ChildStream stream);

  Child child_;
  Deliver deliver_;
  Hold hold_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_[2] = {false, false};
  std::thread readers_[2];
};

/// Turns the pieces of one stream into text with `prefix` at the start of every line. A
/// carriage return before a line feed is dropped, so that a text stream writes the line end
/// in its own form.
class PrefixedLines {
 public:
  /// `prefix` must outlive the object.
  explicit PrefixedLines(const char* prefix) : prefix_(prefix) {}
  /// The text for the bytes that follow.
  std::string Next(const std::string& bytes);
  /// What finishes an unfinished last line at the end of the stream.
  std::string End();

 private:
  const char* prefix_;
  bool line_start_ = true;
  bool pending_cr_ = false;
};

}  // namespace platform
