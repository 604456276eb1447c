#include "rotation.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "report.h"
#include "server_messages.h"

namespace {

// Writes a note into the log file itself; the result is not looked at.
void AppendNote(platform::File file, const char* text) {
  platform::Slice note{text, std::strlen(text)};
  size_t ignored;
  platform::AppendToFile(file, &note, 1, &ignored);
}

}  // namespace

bool MakeBackupName(const char* log_file_name, int n, char* out, size_t capacity) {
  const char* name_part = log_file_name;
  for (const char* p = log_file_name; *p; ++p) {
    if (std::strchr(platform::kDirectorySeparators, *p)) name_part = p + 1;
  }
  // Only a dot in the file's own name counts: one in a directory name would send the
  // backup into another directory, which as a rule does not exist.
  const char* dot = std::strrchr(name_part, '.');
  int written = dot ? std::snprintf(out, capacity, "%.*s%d%s",
                                    static_cast<int>(dot - log_file_name), log_file_name, n, dot)
                    : std::snprintf(out, capacity, "%s.%d", log_file_name, n);
  return written >= 0 && static_cast<size_t>(written) < capacity;
}

// Rotations within one tick of the file system's clock leave equal times, and in a ring the
// lowest of them is as a rule not the oldest.
int ChooseBackup(const char* log_file_name, int32_t num_backups, int last_taken, char* out,
                 size_t capacity) {
  int after_last = last_taken >= 1 && last_taken <= num_backups ? last_taken % num_backups + 1 : 0;
  int chosen = 0;
  platform::FileTime oldest;
  for (int n = 1; n <= num_backups; ++n) {
    platform::FileTime modified;
    MakeBackupName(log_file_name, n, out, capacity);
    if (!platform::GetModificationTime(out, &modified)) {
      chosen = n;
      break;
    }
    if (chosen == 0 || modified < oldest || (n == after_last && modified == oldest)) {
      chosen = n;
      oldest = modified;
    }
  }
  MakeBackupName(log_file_name, chosen, out, capacity);
  return chosen;
}

LogRotation::LogRotation(const LogSettings& settings, LogFileOwner* log)
    : settings_(settings), log_(*log) {}

void LogRotation::SetSizeState(int64_t size, int64_t checked_at) {
  size_counter_ = size;
  last_size_check_ = checked_at;
}

int LogRotation::RefreshFileSize() {
  int64_t size = 0;
  int result = 1;
  if (platform::GetFileSize(log_.LogFile(), &size)) {
    size_counter_ = size;
  } else {
    size_counter_ = -1;
    Report(kCannotGetFileInfo);
    result = 0;
  }
  last_size_check_ = platform::CurrentTimeSeconds();
  return result;
}

// The clock is read only where it matters: while the size is unknown, and after a failed
// rotation.
void LogRotation::CheckSizeAfterWrite(int64_t written) {
  if (size_counter_ < 0) {
    int64_t now = platform::CurrentTimeSeconds();
    // A clock that went back gives a negative difference, which waits like a short one.
    if (now - last_size_check_ > kSizeRecheckSeconds) {
      RefreshFileSize();
      last_size_check_ = now;
    }
  } else {
    size_counter_ += written;
  }
  if (size_counter_ > settings_.SizeLimit()) {
    if (RotateLogFile()) {
      size_counter_ = 0;
    } else {
      size_counter_ = -1;
      last_size_check_ = platform::CurrentTimeSeconds();
    }
  }
}

void LogRotation::CheckSizeAtStartup() {
  if (!RefreshFileSize() || size_counter_ < settings_.SizeLimit()) return;
  size_counter_ = RotateLogFile() ? 0 : -1;
  last_size_check_ = platform::CurrentTimeSeconds();
}

// Whatever file a later write opens, its size is unknown: it is read at the first write into
// it, not an hour later as after a failed rotation, since nothing failed to rotate.
int LogRotation::ReopenIfRemoved() {
  platform::File& file = log_.LogFile();
  if (!platform::IsRemoved(file)) return 1;
  {
    platform::DescriptorHold hold;
    platform::CloseFile(file);
    file = platform::kNoFile;
    if (!log_.Open()) {
      SetSizeState(-1, 0);
      return 0;
    }
  }
  RefreshFileSize();
  return 1;
}

// Chooses the backup, frees its name and moves the log there. A log removed or moved away
// from outside leaves nothing to back up, and the oldest backup is then kept.
LogRotation::Move LogRotation::MoveLogToBackup(char* backup, size_t capacity) {
  if (!backup) return Move::kFailed;
  const char* log_file_name = settings_.LogFileName();
  int chosen = ChooseBackup(log_file_name, settings_.NumBackups(), last_backup_, backup, capacity);
  platform::FileTime unused;
  if (platform::GetModificationTime(log_file_name, &unused)) platform::RemoveFile(backup);
  std::error_code error;
  if (platform::RenameFile(log_file_name, backup, &error)) {
    last_backup_ = chosen;
    return Move::kMoved;
  }
  return error == std::errc::no_such_file_or_directory ? Move::kGone : Move::kFailed;
}

// The log is closed and opened again under a DescriptorHold: with the descriptor table full,
// the one the close gives up is the only one the new log can have. Where the system allows,
// the log is moved before it is closed, so that its writer lock holds until it has left its
// name.
int LogRotation::RotateLogFile() {
  platform::File& file = log_.LogFile();
  // A device or a FIFO given as the log takes every byte without growing: renaming it would
  // take the system's own node away from everyone else.
  if (platform::IsOpen(file) && !platform::IsRegularFile(file)) return 1;
  platform::DescriptorHold hold;
  const char* log_file_name = settings_.LogFileName();
  // Room for the name, up to ten digits and a dot.
  size_t capacity = std::strlen(log_file_name) + 13;
  char* backup = static_cast<char*>(std::malloc(capacity));
  Move move = Move::kFailed;
  if (platform::kRenamesOpenFiles) move = MoveLogToBackup(backup, capacity);
  if (!platform::CloseFile(file)) {
    AppendNote(file, kCloseFailedNote);
    std::free(backup);
    return 0;
  }
  file = platform::kNoFile;
  if (!platform::kRenamesOpenFiles) move = MoveLogToBackup(backup, capacity);

  int result = 1;
  if (!log_.Open()) {
    result = 0;
  } else if (move == Move::kFailed) {
    const char* parts[] = {kRenameFailedNoteStart, log_file_name, kRenameFailedNoteMiddle,
                           backup ? backup : "", kRenameFailedNoteEnd};
    for (const char* part : parts) AppendNote(log_.LogFile(), part);
    result = 0;
  }
  std::free(backup);
  return result;
}
