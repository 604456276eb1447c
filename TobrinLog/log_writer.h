// The log writer: every setting of the log server and all of its output state.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/file.h"
#include "platform/lock.h"

inline constexpr int32_t kDefaultSizeLimit = 5242880;
inline constexpr int32_t kDefaultNumBackups = 10;
/// While the size of the log file is unknown, it is read again after this many seconds.
inline constexpr int64_t kSizeRecheckSeconds = 3600;

/// The most blocks that WriteBlocks hands to the system in one write.
inline constexpr int kMaxBlocksPerWrite = 64;

/// One message handed to the writer.
struct Block {
  const char* data;
  int length;
};

/// Holds the settings and the output (a log file or an external command). Operations
/// return 1 on success and 0 on failure, after printing their message.
class LogWriter {
 public:
  LogWriter();
  /// Closes the output (waiting for a command to end) and frees the settings.
  ~LogWriter();
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  /// Opens the log file for appending.
  virtual int Open() = 0;
  /// Writes `length` bytes in full to the output, then (file mode) checks the size and
  /// rotates when it is over the limit. Not locked.
  virtual int WriteAll(const char* data, int length);
  /// Writes `count` blocks as WriteAll would one after another, stopping at the first
  /// failure, but with as few system calls as that allows. Not locked.
  int WriteBlocks(const Block* blocks, int count);

  /// Each setter copies its text, replacing an earlier copy; 0 when out of memory.
  int SetPipeName(const char* name);
  int SetLogFileName(const char* name);
  /// Also switches command mode on, for good.
  int SetExternalCmd(const char* command);
  void SetNumBackups(int32_t count) { num_backups_ = count; }
  void SetSizeLimit(int32_t bytes) { size_limit_ = bytes; }

  /// Opens the log file (rotating it at once when it is already at the limit) or starts
  /// the external command. Called once, before any client thread exists.
  int OpenOutput();

  /// Reads the open log file's size into the size counter (-1 when it cannot).
  int RefreshFileSize();
  /// Moves the log file to a backup name and opens a new, empty log file.
  int RotateLogFile();

  const char* PipeName() const { return pipe_name_; }
  const char* LogFileName() const { return log_file_name_; }
  const char* ExternalCmd() const { return external_cmd_; }
  bool CommandMode() const { return command_mode_; }
  int32_t NumBackups() const { return num_backups_; }
  int32_t SizeLimit() const { return size_limit_; }
  int64_t SizeCounter() const { return size_counter_; }

 protected:
  int WriteToCommand(const char* data, int length);
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
  /// Writes a note into the log file itself; the result is not looked at.
  void AppendNote(const char* text);
  void CheckSizeAfterWrite(int64_t written);
  void CheckSizeAtStartup();

  platform::File file_handle_ = platform::kNoFile;
  std::FILE* command_stream_ = nullptr;
  char* log_file_name_ = nullptr;
  char* pipe_name_ = nullptr;
  int64_t last_size_check_ = 0;
  int32_t num_backups_ = kDefaultNumBackups;
  int32_t size_limit_ = kDefaultSizeLimit;
  bool command_mode_ = false;
  char* external_cmd_ = nullptr;
  /// Bytes in the current log file as far as the writer knows; -1 when unknown.
  int64_t size_counter_ = -1;
};

/// The writer that client threads share: WriteAll runs whole under one lock.
class LockedLogWriter : public LogWriter {
 public:
  int Open() override;
  int WriteAll(const char* data, int length) override;
  /// WriteBlocks under the lock: the blocks reach the output together, in order.
  int WriteBlocksLocked(const Block* blocks, int count);

 private:
  platform::Lock lock_;
};

/// The backup name for number `n` of `log_file_name` (server.log gives server1.log, server
/// gives server.1, logs.d/server gives logs.d/server.1), written into `out`, which holds
/// `capacity` bytes. False when it does not fit.
bool MakeBackupName(const char* log_file_name, int n, char* out, size_t capacity);
