#include "log_writer.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/command.h"
#include "platform/thread.h"
#include "report.h"
#include "server_messages.h"

LogWriter::LogWriter() : rotation_(settings_, this) {}

LogWriter::~LogWriter() {
  if (platform::IsOpen(file_handle_)) platform::CloseFile(file_handle_);
  if (command_stream_) platform::CloseCommand(command_stream_);
}

int LogWriter::OpenOutput() {
  if (settings_.CommandMode()) return StartTheCommand();
  // A log that another server writes is refused before anything is done to it.
  if (!Open() || !log_locked_) return 0;
  rotation_.CheckSizeAtStartup();
  return 1;
}

// A second server that opens the log in the instant of a rotation may lock the file that is
// just leaving its name: it must find it gone. One that takes the new log before the rotating
// server does is not stopped; the rotating server says so and writes on into the shared log
// rather than lose a message.
bool LogWriter::LockLogFile() {
  const char* name = settings_.LogFileName();
  log_locked_ = platform::LockForWriting(file_handle_) && platform::IsFileAt(file_handle_, name);
  if (!log_locked_) ReportError(kLogLockedFormat, name);
  return log_locked_;
}

int LogWriter::StartTheCommand() {
  next_command_start_ =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kCommandRestartMilliseconds);
  std::error_code error;
  command_stream_ = platform::StartCommand(settings_.ExternalCmd(), &error);
  if (!command_stream_) {
    ReportError(kCommandStartFailedFormat, settings_.ExternalCmd(), error.value());
    return 0;
  }
  command_ended_ = false;
  // Every write ends with a flush, so a write into a command that has gone fails in
  // WriteAll itself, never later in a flush whose loss nobody would notice; the buffer
  // only lets the blocks of one write leave together.
  std::setvbuf(command_stream_, nullptr, _IOFBF, kCommandBufferBytes);
  return 1;
}

int LogWriter::WriteAll(const char* data, int length) {
  Block block{data, length};
  return WriteBlocks(&block, 1);
}

int LogWriter::WriteBlocks(const Block* blocks, int count) {
  if (!settings_.CommandMode()) return WriteToFile(blocks, count);
  return WriteToCommand(blocks, count);
}

// The command's end shows as a failed write, and the blocks of that write go to the new
// command whole. What the ended command had taken into its pipe but not read is lost with it:
// giving it to the new one would take a copy of every block written into the command, and
// Windows cannot tell how much of it was read.
int LogWriter::WriteToCommand(const Block* blocks, int count) {
  for (;;) {
    if (!command_stream_ && !(command_ended_ && StartCommandAgain())) return 0;
    bool gone = false;
    if (PutIntoCommand(blocks, count, &gone)) return 1;
    if (!gone) return 0;
    LetEndedCommandGo();
  }
}

bool LogWriter::PutIntoCommand(const Block* blocks, int count, bool* gone) {
  bool ok = true;
  for (int i = 0; i < count && ok; ++i) {
    size_t length = blocks[i].length > 0 ? static_cast<size_t>(blocks[i].length) : 0;
    errno = 0;
    ok = std::fwrite(blocks[i].data, 1, length, command_stream_) == length;
    if (!ok) *gone = platform::IsCommandGone(errno);
  }
  errno = 0;
  if (std::fflush(command_stream_) != 0 && ok) {
    ok = false;
    *gone = platform::IsCommandGone(errno);
  }
  return ok;
}

int LogWriter::StartCommandAgain() {
  for (;;) {
    if (command_stream_) return 1;
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
        next_command_start_ - std::chrono::steady_clock::now());
    if (wait.count() <= 0) break;
    PauseBeforeRetry(static_cast<int>(wait.count()) + 1);
  }
  ReportError(kCommandRestartFormat, settings_.ExternalCmd());
  return StartTheCommand();
}

namespace {

constexpr size_t kCloserStackBytes = 64 * 1024;

void CloseEndedCommand(void* stream) { platform::CloseCommand(static_cast<std::FILE*>(stream)); }

}  // namespace

// Closing waits for the command to end. One that has closed its standard input but runs on
// must not hold the writer, and so every client, meanwhile.
void LogWriter::LetEndedCommandGo() {
  std::FILE* ended = command_stream_;
  command_stream_ = nullptr;
  command_ended_ = true;
  if (!platform::StartDetachedThread(CloseEndedCommand, ended, kCloserStackBytes))
    platform::CloseCommand(ended);
}

// A write that finds the disk full keeps the blocks it has not written in full, and the part
// of one that it cut short is cut off the log again, so trying again later writes each
// block once and whole.
int LogWriter::WriteToFile(const Block* blocks, int count) {
  bool held = false;
  while (count > 0) {
    if (!platform::IsOpen(file_handle_) && !Open()) return 0;
    if (!rotation_.ReopenIfRemoved()) return 0;
    int group = BlocksBeforeRotation(blocks, count);
    std::error_code error;
    int written = AppendBlocks(blocks, group, &error);
    blocks += written;
    count -= written;
    if (written < group) {
      if (!platform::IsDiskFull(error)) return 0;
      NoteWritingPaused(error);
      PauseBeforeRetry(kFullDiskRetryMilliseconds);
      held = true;
    }
  }
  if (held) NoteWritingResumed();
  return 1;
}

void LogWriter::NoteWritingPaused(const std::error_code& error) {
  if (writing_paused_) return;
  writing_paused_ = true;
  ReportError(kWritingPausedFormat, settings_.LogFileName(), error.value());
}

void LogWriter::NoteWritingResumed() {
  if (!writing_paused_) return;
  writing_paused_ = false;
  ReportError(kWritingResumedFormat, settings_.LogFileName());
}

void LogWriter::PauseBeforeRetry(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

int LogWriter::BlocksBeforeRotation(const Block* blocks, int count) const {
  if (count > kMaxBlocksPerWrite) count = kMaxBlocksPerWrite;
  // While the size is unknown, each block's size check may read the size and rotate.
  int64_t size = rotation_.SizeCounter();
  if (size < 0) return 1;
  for (int i = 0; i < count; ++i) {
    if (blocks[i].length > 0) size += blocks[i].length;
    if (size > settings_.SizeLimit()) return i + 1;
  }
  return count;
}

int LogWriter::AppendBlocks(const Block* blocks, int count, std::error_code* error) {
  platform::Slice slices[kMaxBlocksPerWrite];
  for (int i = 0; i < count; ++i)
    slices[i] = {blocks[i].data, blocks[i].length > 0 ? static_cast<size_t>(blocks[i].length) : 0};
  int first = 0;        // the first block not yet written in full
  int64_t partial = 0;  // what of it is written already
  while (first < count) {
    if (slices[first].size == 0) {
      rotation_.CheckSizeAfterWrite(partial);
      partial = 0;
      ++first;
      continue;
    }
    size_t written = 0;
    bool ok = platform::AppendToFile(file_handle_, slices + first, count - first, &written, error);
    // A write that takes nothing would never finish the block: count it as failed.
    if (written == 0) ok = false;
    // What a failing call still wrote is counted like any other write.
    while (written > 0) {
      size_t taken = written < slices[first].size ? written : slices[first].size;
      slices[first].data += taken;
      slices[first].size -= taken;
      partial += static_cast<int64_t>(taken);
      written -= taken;
      if (slices[first].size == 0) {
        rotation_.CheckSizeAfterWrite(partial);
        partial = 0;
        ++first;
      }
    }
    if (!ok) {
      rotation_.CheckSizeAfterWrite(RemoveTornBlock(partial) ? 0 : partial);
      return first;
    }
  }
  return count;
}

// A block cut short by a full disk would have the next block glued to its head. The handle's
// position is where its last write ended: while the file still ends there, nothing has been
// appended behind the torn bytes.
bool LogWriter::RemoveTornBlock(int64_t torn) {
  int64_t end = 0, size = 0;
  return torn > 0 && platform::GetFilePosition(file_handle_, &end) &&
         platform::GetFileSize(file_handle_, &size) && size == end && end >= torn &&
         platform::TruncateFile(file_handle_, end - torn);
}

int LockedLogWriter::Open() {
  std::error_code error;
  const char* name = Settings().LogFileName();
  platform::File& file = LogFile();
  file = platform::OpenForAppend(name, &error);
  if (!platform::IsOpen(file)) {
    ReportError(kCannotOpenLogFormat, name, error.value());
    return 0;
  }
  LockLogFile();
  return 1;
}

int LockedLogWriter::WriteAll(const char* data, int length) {
  platform::LockGuard guard(lock_);
  return LogWriter::WriteAll(data, length);
}

int LockedLogWriter::WriteBlocksLocked(const Block* blocks, int count) {
  platform::LockGuard guard(lock_);
  return LogWriter::WriteBlocks(blocks, count);
}

// Nothing wakes the pause early: it only lets the lock go for its length.
void LockedLogWriter::PauseBeforeRetry(int milliseconds) { pause_.WaitFor(lock_, milliseconds); }
