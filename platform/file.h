// Log files: append-only handles, sizes, modification times and the clock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/error.h"
#include "platform/handle.h"

namespace platform {

/// An open file, or none (kNoFile).
using File = Handle<struct FileKind>;
inline constexpr File kNoFile{};

/// The most slices one AppendToFile writes; it leaves any further ones to the next call.
inline constexpr int kMaxSlicesPerAppend = 64;

/// One piece of a gather write.
struct Slice {
  const char* data;
  size_t size;
};

/// The characters that end the directory part of a path on this system.
extern const char kDirectorySeparators[];

/// Opens `path` for appending data only, creating it when missing and sharing it with
/// other processes for reading and writing. Never waits: what cannot be opened at once (a
/// FIFO without a reader) is a failure. kNoFile on failure.
File OpenForAppend(const char* path, std::error_code* error = nullptr);

/// True where a file can be renamed while this process holds it open (Linux). A rotation then
/// moves the log before it closes it, so that the log's writer lock (LockForWriting) holds
/// until the log has left its name. Where it cannot (Windows), the log is closed first.
extern const bool kRenamesOpenFiles;

/// Takes the writer lock on the log open in `file`, which no second handle to the same file
/// can take, in this process or another; readers and appenders that take no lock are not
/// affected. The lock belongs to this handle: closing it, or the end of the process however it
/// comes, lets it go. False only when another handle holds it. A file that takes no lock (not
/// a regular file, or a file system without locks) is written without one, which gives true.
bool LockForWriting(File file);

/// True when the open file is a regular file on a disk: not a device, a FIFO or a console,
/// which have no size to limit and must keep their names.
bool IsRegularFile(File file);

/// True when `path` names the file open in `file`, as far as this system can tell; where an
/// open log can be neither moved nor removed (Windows), always.
bool IsFileAt(File file, const char* path);

/// Writes `count` slices (at most kMaxSlicesPerAppend), in order, at the current end of the
/// file with one system call.
/// Sets `*written` to the bytes written (fewer than asked is not a failure). False when the
/// write failed.
bool AppendToFile(File file, const Slice* slices, int count, size_t* written,
                  std::error_code* error = nullptr);

/// True when `error`, from AppendToFile, says that the disk or the user's quota is full: the
/// write may succeed once there is room again.
bool IsDiskFull(const std::error_code& error);

/// Closes the handle. False when the system refused and the handle is still open; where a
/// refused close still releases the handle (Linux), it reports true.
bool CloseFile(File file, std::error_code* error = nullptr);

/// Reads the size of the open file. False when the system cannot tell.
bool GetFileSize(File file, int64_t* size, std::error_code* error = nullptr);

/// Reads the handle's position in the file: after a write, where the written bytes end.
bool GetFilePosition(File file, int64_t* position, std::error_code* error = nullptr);

/// Cuts the file back to its first `size` bytes. False when the system refused.
bool TruncateFile(File file, int64_t size, std::error_code* error = nullptr);

/// True when the open file has been removed from outside: no name in the file system leads
/// to it any more (Linux: its link count is 0), so what is written into it is lost. False
/// where that cannot be told, and always, at no cost, where an open log cannot be removed
/// (Windows).
bool IsRemoved(File file);

/// While one exists, the server takes no new descriptor on another thread (Linux: the pipe
/// server accepts no client), so that what its holder closes, it can open again even when
/// the descriptor table is full. Held briefly, under the writer's lock. Nothing on Windows,
/// whose handles come from no small table.
class DescriptorHold {
 public:
  DescriptorHold();
  ~DescriptorHold();
  DescriptorHold(const DescriptorHold&) = delete;
  DescriptorHold& operator=(const DescriptorHold&) = delete;
};

/// A modification time: seconds since 1970-01-01 UTC and the nanoseconds within the second,
/// as finely as the file system keeps them (Linux: 1 ns; Windows: a FILETIME's 100 ns).
struct FileTime {
  int64_t seconds = 0;
  int32_t nanoseconds = 0;
};

/// True when `a` is earlier than `b`.
inline bool operator<(const FileTime& a, const FileTime& b) {
  return a.seconds != b.seconds ? a.seconds < b.seconds : a.nanoseconds < b.nanoseconds;
}
inline bool operator==(const FileTime& a, const FileTime& b) {
  return a.seconds == b.seconds && a.nanoseconds == b.nanoseconds;
}

/// Reads the last modification time of the file (or directory) at `path`. False when it
/// cannot be examined (as a rule: it does not exist).
bool GetModificationTime(const char* path, FileTime* time, std::error_code* error = nullptr);

/// Renames `from` to `to`. False when the rename failed; `to` must not exist on every system.
bool RenameFile(const char* from, const char* to, std::error_code* error = nullptr);

/// Removes the file at `path`, never a directory; the result is not reported.
void RemoveFile(const char* path);

/// The current time in seconds since 1970-01-01 UTC, in 64 bits on every target.
int64_t CurrentTimeSeconds();

}  // namespace platform
