// The log writer: the output (a log file or an external command) and the writing into it.
#pragma once

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
  /// rotates when it is over the limit. Not locked.
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

 private:
  /// Puts the blocks into the command's stream and flushes it once: the group reaches the
  /// command's pipe together, and a failure is this call's own.
  int WriteToCommand(const Block* blocks, int count);
  int WriteToFile(const Block* blocks, int count);
  /// How many of `blocks` can go to the file in one write: up to the one that takes the
  /// size over the limit, after which the file must rotate.
  int BlocksBeforeRotation(const Block* blocks, int count) const;
  /// Appends the blocks at the end of the log file, running the size check after each.
  /// False on a failed write.
  bool AppendBlocks(const Block* blocks, int count);
  /// Cuts the last `torn` bytes, the part of a block that a failed write left, off the log
  /// file again, unless something was appended behind them. True when they are gone.
  bool RemoveTornBlock(int64_t torn);

  LogSettings settings_;
  platform::File file_handle_ = platform::kNoFile;
  std::FILE* command_stream_ = nullptr;
  LogRotation rotation_;
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

 private:
  platform::Lock lock_;
};
