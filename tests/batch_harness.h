// Writing blocks together or one by one, and reading back what the writer left: the harness
// that the batch tests and the writer's fuzzer share. It needs nothing but the writer, so
// that the fuzzer can use it without the rest of the test support.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "log_writer.h"

namespace batch {

/// What a log writer leaves behind.
struct Layout {
  std::vector<std::string> backups;  ///< Backup 1, 2, ... for as long as they exist.
  std::string log;
  int64_t counter = 0;  ///< The writer's size counter.
};

inline bool operator==(const Layout& a, const Layout& b) {
  return a.backups == b.backups && a.log == b.log && a.counter == b.counter;
}

inline std::ostream& operator<<(std::ostream& out, const Layout& layout) {
  out << "counter " << layout.counter << ", backups [";
  for (const std::string& backup : layout.backups) out << backup.size() << " ";
  return out << "], log " << layout.log.size() << " bytes";
}

/// The file's bytes; "" when it cannot be read.
inline std::string ReadBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

/// The name of backup `n` of `log`; "" when it does not fit.
inline std::string BackupOf(const std::string& log, int n) {
  char name[4096];
  return MakeBackupName(log.c_str(), n, name, sizeof(name)) ? name : "";
}

/// The backups of `log` from number 1 up to the first one missing.
inline std::vector<std::string> ReadBackups(const std::string& log) {
  std::vector<std::string> backups;
  for (int n = 1;; ++n) {
    std::ifstream file(BackupOf(log, n), std::ios::binary);
    if (!file) return backups;
    backups.push_back(ReadBytes(BackupOf(log, n)));
  }
}

/// `blocks` laid out again in `storage`, one directly behind the other, as a client's queued
/// messages are read on Windows. A length below 0 takes no bytes.
inline std::vector<Block> Packed(const std::vector<Block>& blocks, std::string* storage) {
  storage->clear();
  for (const Block& block : blocks)
    storage->append(block.data, static_cast<size_t>(std::max(block.length, 0)));
  std::vector<Block> packed;
  size_t offset = 0;
  for (const Block& block : blocks) {
    packed.push_back(Block{storage->data() + offset, block.length});
    offset += static_cast<size_t>(std::max(block.length, 0));
  }
  return packed;
}

/// Writes `blocks` through `writer`: one WriteAll per block when `groups` is empty, else
/// groups[0], groups[1], ... blocks at a time in turn, each group together as the server
/// writes a client's queued messages. False at the first call that fails.
inline bool WriteInGroups(LockedLogWriter* writer, const std::vector<Block>& blocks,
                          const std::vector<int>& groups) {
  size_t at = 0;
  for (size_t g = 0; at < blocks.size(); ++g) {
    if (groups.empty()) {
      if (writer->WriteAll(blocks[at].data, blocks[at].length) != 1) return false;
      ++at;
      continue;
    }
    size_t count = std::min(static_cast<size_t>(groups[g % groups.size()]), blocks.size() - at);
    if (writer->WriteBlocksLocked(blocks.data() + at, static_cast<int>(count)) != 1) return false;
    at += count;
  }
  return true;
}

/// The files that writing `blocks` one by one into an empty log with room for every backup
/// gives: each rotated right after the block that took it over `limit`, then the log.
inline Layout OneByOneModel(const std::vector<Block>& blocks, int64_t limit) {
  Layout layout;
  for (const Block& block : blocks) {
    layout.log.append(block.data, static_cast<size_t>(std::max(block.length, 0)));
    if (static_cast<int64_t>(layout.log.size()) > limit) {
      layout.backups.push_back(layout.log);
      layout.log.clear();
    }
  }
  layout.counter = static_cast<int64_t>(layout.log.size());
  return layout;
}

}  // namespace batch
