// Rotation of the log file into numbered backups, and the bookkeeping of its size that
// decides when to rotate.
#pragma once

#include <cstddef>
#include <cstdint>

#include "log_settings.h"
#include "platform/file.h"

/// While the size of the log file is unknown, it is read again after this many seconds.
inline constexpr int64_t kSizeRecheckSeconds = 3600;

/// The backup name for number `n` of `log_file_name` (server.log gives server1.log, server
/// gives server.1, logs.d/server gives logs.d/server.1), written into `out`, which holds
/// `capacity` bytes. False when it does not fit.
bool MakeBackupName(const char* log_file_name, int n, char* out, size_t capacity);

/// The backup number a rotation takes: the first of 1 to `num_backups` whose name is free,
/// else the one modified longest ago, the times compared as finely as the file system keeps
/// them. Among equal oldest times the number after `last_taken` wins (the number this writer
/// rotated into last; in a ring that slot is the oldest), else the lowest; `last_taken` 0
/// says there is none. 0 when `num_backups` is below 1. Its name is left in `out`
/// (`capacity` bytes).
int ChooseBackup(const char* log_file_name, int32_t num_backups, int last_taken, char* out,
                 size_t capacity);

/// The writer's side of the log file, which a rotation closes, renames and opens again.
class LogFileOwner {
 public:
  /// Opens the log file for appending into LogFile(); 0 on failure, after printing it.
  virtual int Open() = 0;
  /// The log file's handle, platform::kNoFile while none is open.
  virtual platform::File& LogFile() = 0;

 protected:
  ~LogFileOwner() = default;
};

/// The size of the log file as the writer counts it, and the rotation that the count
/// triggers. Operations that return int give 1 on success and 0 on failure.
class LogRotation {
 public:
  /// Reads the limits from `settings` and rotates the file of `log`; both outlive it.
  LogRotation(const LogSettings& settings, LogFileOwner* log);

  /// Bytes in the log file as far as the writer knows; -1 when unknown.
  int64_t SizeCounter() const { return size_counter_; }
  /// When the size was last read, or a rotation last failed (platform::CurrentTimeSeconds).
  int64_t LastSizeCheck() const { return last_size_check_; }
  /// Puts the bookkeeping where a size read at `checked_at` giving `size` (-1: unknown)
  /// leaves it, so that a test can start from, say, a size unknown for over an hour.
  void SetSizeState(int64_t size, int64_t checked_at);

  /// Reads the open log file's size into the size counter (-1 when it cannot, reported).
  int RefreshFileSize();
  /// Moves the log file to a backup name and opens a new, empty log file. On a failed
  /// rename the text stays in the log, with a note in it that says so. A log that is no
  /// longer there (removed or moved away from outside) has nothing to back up: a new log is
  /// opened, and that is a rotation like any other. A log that is not a regular file (a
  /// device, a FIFO) is never moved: its rotation does nothing and succeeds.
  int RotateLogFile();
  /// When the open log file has been removed from outside, opens the log by its name again
  /// and reads its size, so that nothing more goes into the removed file. 0 when that open
  /// failed (printed); no log file is open then, and the size of the one opened later is
  /// read at the first write into it.
  int ReopenIfRemoved();

  /// At start-up: reads the size and rotates a log that is at the limit already.
  void CheckSizeAtStartup();
  /// After a block of `written` bytes: counts them (while the size is unknown, reads it
  /// instead once kSizeRecheckSeconds have passed) and rotates a log over the limit.
  void CheckSizeAfterWrite(int64_t written);

 private:
  /// What became of the log in a rotation: moved to the backup, already gone from outside,
  /// or left where it is.
  enum class Move { kMoved, kGone, kFailed };
  /// Moves the log to the backup that ChooseBackup picks, its name left in `backup`
  /// (`capacity` bytes; null when there was no memory for it).
  Move MoveLogToBackup(char* backup, size_t capacity);

  const LogSettings& settings_;
  LogFileOwner& log_;
  int64_t size_counter_ = -1;
  int64_t last_size_check_ = 0;
  int last_backup_ = 0;  // the backup number the last successful rename took; 0: none yet
};
