// Log files: append-only handles, sizes, modification times and the clock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

/// An open file. `native` is the backend's own handle; kNoFile means none is open.
struct File {
  intptr_t native;
};
inline constexpr File kNoFile{-1};
inline bool IsOpen(File file) { return file.native != kNoFile.native; }

/// One piece of a gather write.
struct Slice {
  const char* data;
  size_t size;
};

/// The characters that end the directory part of a path on this system.
extern const char kDirectorySeparators[];

/// Opens `path` for appending data only, creating it when missing and sharing it with
/// other processes for reading and writing. Never waits: what cannot be opened at once (a
/// FIFO without a reader) is a failure. On failure returns kNoFile and sets `*error` to the
/// system's error code.
File OpenForAppend(const char* path, int* error);

/// Writes `count` slices, in order, at the current end of the file with one system call.
/// Sets `*written` to the bytes written (fewer than asked is not a failure). False when the
/// write failed.
bool AppendToFile(File file, const Slice* slices, int count, size_t* written);

/// Closes the handle. False when the system refused and the handle is still open; where a
/// refused close still releases the handle (POSIX), it reports true.
bool CloseFile(File file);

/// Reads the size of the open file. False when the system cannot tell.
bool GetFileSize(File file, int64_t* size);

/// Reads the handle's position in the file: after a write, where the written bytes end.
bool GetFilePosition(File file, int64_t* position);

/// Cuts the file back to its first `size` bytes. False when the system refused.
bool TruncateFile(File file, int64_t size);

/// Reads the last modification time of the file at `path`, in seconds since 1970-01-01
/// UTC. False when the file cannot be examined (as a rule: it does not exist).
bool GetModificationTime(const char* path, int64_t* seconds);

/// Sets the modification time of `path` (used by tests and tools to arrange ages).
bool SetModificationTime(const char* path, int64_t seconds);

/// Renames `from` to `to`. False when the rename failed; `to` must not exist on every system.
bool RenameFile(const char* from, const char* to);

/// Removes the file at `path`; the result is not reported.
void RemoveFile(const char* path);

/// The current time in seconds since 1970-01-01 UTC, in 64 bits on every target.
int64_t CurrentTimeSeconds();

}  // namespace platform
