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

int ChooseBackup(const char* log_file_name, int32_t num_backups, char* out, size_t capacity) {
  int chosen = 0;
  int64_t oldest = 0;
  for (int n = 1; n <= num_backups; ++n) {
    int64_t modified;
    MakeBackupName(log_file_name, n, out, capacity);
    if (!platform::GetModificationTime(out, &modified)) {
      chosen = n;
      break;
    }
    if (chosen == 0 || modified < oldest) {
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

int LogRotation::RotateLogFile() {
  platform::File& file = log_.LogFile();
  if (!platform::CloseFile(file)) {
    AppendNote(file, kCloseFailedNote);
    return 0;
  }
  file = platform::kNoFile;

  const char* log_file_name = settings_.LogFileName();
  // Room for the name, up to ten digits and a dot.
  size_t capacity = std::strlen(log_file_name) + 13;
  char* backup = static_cast<char*>(std::malloc(capacity));
  bool renamed = false;
  if (backup) {
    ChooseBackup(log_file_name, settings_.NumBackups(), backup, capacity);
    platform::RemoveFile(backup);
    renamed = platform::RenameFile(log_file_name, backup);
  }
  int result = 1;
  if (!log_.Open()) {
    result = 0;
  } else if (!renamed) {
    const char* parts[] = {kRenameFailedNoteStart, log_file_name, kRenameFailedNoteMiddle,
                           backup ? backup : "", kRenameFailedNoteEnd};
    for (const char* part : parts) AppendNote(log_.LogFile(), part);
    result = 0;
  }
  std::free(backup);
  return result;
}
