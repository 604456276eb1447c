// The log writer: the output (a log file or an external command) and the writing into it.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "log_settings.h"
#include "platform/file.h"
#include "platform/lock.h"
#include "rotation.h"

/// The most blocks that WriteBlocks hands to the system in one write.
inline constexpr int kMaxBlocksPerWrite = platform::kMaxSlicesPerAppend;
/// The command stream's buffer: room for a group of typical lines, the size of a Linux pipe.
inline constexpr int kCommandBufferBytes = 64 * 1024;
/// A command that has ended is started again once this long has passed since its last start,
/// so that one that ends at once does not take the machine's time starting again and again.
inline constexpr int kCommandRestartMilliseconds = 1000;
/// How long a write that found the disk full waits before it tries again. Room comes back
/// when someone acts (removes files, raises a quota), so trying more often only costs calls.
inline constexpr int kFullDiskRetryMilliseconds = 1000;

/// One message handed to the writer.
struct Block {
  const char* data;
  int length;
};

/// Holds the settings and the output. Operations return 1 on success and 0 on failure,
/// after printing their message.
class LogWriter : public LogFileOwner {
 public:
  LogWriter();
  /// Closes the output (waiting for a command to end).
  ~LogWriter();
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  /// Opens the log file for appending.
  int Open() override = 0;
  /// Writes `length` bytes in full to the output, then (file mode) checks the size and
  /// rotates when it is over the limit. A write that finds the disk full keeps its bytes and
  /// tries again after a pause (see PauseBeforeRetry) until there is room; one that finds the
  /// command ended starts it again and writes them into the new one. Not locked.
  virtual int WriteAll(const char* data, int length);
  /// Writes `count` blocks as WriteAll would one after another, stopping at the first
  /// failure, but with as few system calls as that allows. Not locked.
  int WriteBlocks(const Block* blocks, int count);

  /// Opens the log file (rotating it at once when it is already at the limit) or starts
  /// the external command. Called once, before any client thread exists.
  int OpenOutput();

  /// What the command line set; set it before OpenOutput.
  LogSettings& Settings() { return settings_; }
  const LogSettings& Settings() const { return settings_; }
  /// The size bookkeeping and rotation of the log file.
  LogRotation& Rotation() { return rotation_; }
  const LogRotation& Rotation() const { return rotation_; }
  platform::File& LogFile() override { return file_handle_; }

 protected:
  /// Takes the writer lock on the log file that Open has just opened, so that no second
  /// server writes the same log. False, after printing the message, when another server
  /// holds it, or has rotated the log away since it was opened.
  bool LockLogFile();
  /// Waits `milliseconds` before a write that could not be done is tried again; here a sleep.
  virtual void PauseBeforeRetry(int milliseconds);

 private:
  /// Puts the blocks into the command's stream and flushes it once: the group reaches the
  /// command's pipe together, and a failure is this call's own. A command that has ended is
  /// started again, and the blocks go to the new one.
  int WriteToCommand(const Block* blocks, int count);
  /// As WriteToCommand, into the command running now. False on a failure, with `*gone` set
  /// when it failed because the command has ended.
  bool PutIntoCommand(const Block* blocks, int count, bool* gone);
  /// Starts the command; 0 when it cannot be started, after printing the message.
  int StartTheCommand();
  /// Starts an ended command again, once kCommandRestartMilliseconds have passed since its
  /// last start; 1 at once when another write has started it meanwhile.
  int StartCommandAgain();
  /// Lets go of a command that has ended; its stream is closed on a thread of its own.
  void LetEndedCommandGo();
  int WriteToFile(const Block* blocks, int count);
  /// How many of `blocks` can go to the file in one write: up to the one that takes the
  /// size over the limit, after which the file must rotate.
  int BlocksBeforeRotation(const Block* blocks, int count) const;
  /// Appends the blocks at the end of the log file, running the size check after each.
  /// Returns how many were written in full: fewer than `count` after a failed write, whose
  /// reason is then in `*error`.
  int AppendBlocks(const Block* blocks, int count, std::error_code* error);
  /// The lines on standard error as writing stops for a full disk and starts again: each only
  /// once, whichever client's write meets the change.
  void NoteWritingPaused(const std::error_code& error);
  void NoteWritingResumed();
  /// Cuts the last `torn` bytes, the part of a block that a failed write left, off the log
  /// file again, unless something was appended behind them. True when they are gone.
  bool RemoveTornBlock(int64_t torn);

  LogSettings settings_;
  platform::File file_handle_ = platform::kNoFile;
  std::FILE* command_stream_ = nullptr;
  bool log_locked_ = false;  // the last LockLogFile took the lock
  LogRotation rotation_;
  bool writing_paused_ = false;
  bool command_ended_ = false;
  std::chrono::steady_clock::time_point next_command_start_;
};

/// The writer that client threads share: WriteAll runs whole under one lock.
class LockedLogWriter : public LogWriter {
 public:
  int Open() override;
  int WriteAll(const char* data, int length) override;
  /// WriteBlocks under the lock: the blocks reach the output together, in order.
  int WriteBlocksLocked(const Block* blocks, int count);
  /// Waits until no write is under way and keeps every later one from starting, for good:
  /// the process is about to end. A write that pauses (see PauseBeforeRetry) lets it in.
  void StopWriting() { lock_.Acquire(); }

 protected:
  /// Lets the lock go while it waits, so that other clients, and the end, need not wait for
  /// room; the caller holds the lock (every write of this class does).
  void PauseBeforeRetry(int milliseconds) override;

 private:
  platform::Lock lock_;
  platform::Condition pause_;
};
