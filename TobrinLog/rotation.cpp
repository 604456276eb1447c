// Size bookkeeping and rotation of the log file into numbered backups.
#include <cstdlib>
#include <cstring>

#include "log_writer.h"
#include "report.h"

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

int LogWriter::RefreshFileSize() {
  int64_t size = 0;
  int result = 1;
  if (platform::GetFileSize(file_handle_, &size)) {
    size_counter_ = size;
  } else {
    size_counter_ = -1;
    Report("LogServer: cannot get fileinfo.  Logfile rotation will delay\n");
    result = 0;
  }
  last_size_check_ = platform::CurrentTimeSeconds();
  return result;
}

// The clock is read only where it matters: while the size is unknown, and after a failed
// rotation.
void LogWriter::CheckSizeAfterWrite(int64_t written) {
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
  if (size_counter_ > size_limit_) {
    if (RotateLogFile()) {
      size_counter_ = 0;
    } else {
      size_counter_ = -1;
      last_size_check_ = platform::CurrentTimeSeconds();
    }
  }
}

void LogWriter::CheckSizeAtStartup() {
  if (!RefreshFileSize() || size_counter_ < size_limit_) return;
  size_counter_ = RotateLogFile() ? 0 : -1;
  last_size_check_ = platform::CurrentTimeSeconds();
}

int LogWriter::RotateLogFile() {
  if (!platform::CloseFile(file_handle_)) {
    AppendNote("LogServer: CloseHandle failed -- cannot perform logfile rotation\r\n");
    return 0;
  }
  file_handle_ = platform::kNoFile;

  // Room for the name, up to ten digits and a dot.
  size_t capacity = std::strlen(log_file_name_) + 13;
  char* backup = static_cast<char*>(std::malloc(capacity));
  int chosen = 0;
  int64_t oldest = 0;
  for (int n = 1; backup && n <= num_backups_; ++n) {
    int64_t modified;
    MakeBackupName(log_file_name_, n, backup, capacity);
    if (!platform::GetModificationTime(backup, &modified)) {
      chosen = n;
      break;
    }
    if (chosen == 0 || modified < oldest) {
      chosen = n;
      oldest = modified;
    }
  }
  bool renamed = false;
  if (backup) {
    MakeBackupName(log_file_name_, chosen, backup, capacity);
    platform::RemoveFile(backup);
    renamed = platform::RenameFile(log_file_name_, backup);
  }
  int result = 1;
  if (!Open()) {
    result = 0;
  } else if (!renamed) {
    AppendNote("Could not rename ");
    AppendNote(log_file_name_);
    AppendNote(" to ");
    AppendNote(backup ? backup : "");
    AppendNote(", log rotation failed\r\n");
    result = 0;
  }
  std::free(backup);
  return result;
}
