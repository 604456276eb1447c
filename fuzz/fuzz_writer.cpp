// The writer fed arbitrary messages, as client threads feed it. Input: the size limit
// (2 bytes; the top bit of the second sends the messages into a command instead), then records of a
// group size (1 byte), a length (2 bytes) and that many bytes. Each group goes to WriteBlocksLocked
// at once, as a client's queued messages do. The group byte's top bit puts the message directly
// behind the one before in memory, as the queued messages are read on Windows; otherwise a gap is
// left. There are more backups than rotations, so nothing is overwritten: afterwards the backups in
// order and then the log must be exactly the files that writing the messages one by one gives, each
// rotated right after the message that took it over the limit. A command must receive exactly the
// messages, in order, however they were grouped.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "batch_harness.h"
#include "fuzz_input.h"
#include "log_writer.h"

namespace {

constexpr int kMaxMessages = 64;
constexpr int kBackups = kMaxMessages + 2;

std::string g_dir;

std::string LogPath() { return g_dir + "/app.log"; }

std::string CommandOutPath() { return g_dir + "/command.out"; }

void RemoveFiles() {
  std::remove(LogPath().c_str());
  std::remove(CommandOutPath().c_str());
  for (int n = 1; n <= kBackups; ++n) std::remove(batch::BackupOf(LogPath(), n).c_str());
}

void RemoveScratch() {
  RemoveFiles();
  std::remove(g_dir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/tobrin-fuzz-writer.XXXXXX";
  FUZZ_CHECK(mkdtemp(pattern));
  g_dir = pattern;
  std::atexit(RemoveScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string log = LogPath();
  RemoveFiles();
  int32_t limit = 1 + (data[0] | (data[1] << 8)) % 4096;

  // Messages, in one buffer with or without a gap before each, and the sizes of the groups
  // they are written in: each group starts with a message whose record gives its size.
  std::unique_ptr<char[]> buffer(new char[2 * size]);
  char* end = buffer.get();
  std::vector<Block> blocks;
  std::vector<int> groups;
  size_t at = 2;
  size_t next_group = 0;
  while (at + 3 <= size && static_cast<int>(blocks.size()) < kMaxMessages) {
    int group = 1 + data[at] % 8;
    bool adjacent = data[at] & 0x80;
    int length = (data[at + 1] | (data[at + 2] << 8)) % 8193;
    at += 3;
    if (static_cast<size_t>(length) > size - at) length = static_cast<int>(size - at);
    if (!adjacent) *end++ = '#';
    std::memcpy(end, data + at, static_cast<size_t>(length));
    if (blocks.size() == next_group) {
      groups.push_back(group);
      next_group += static_cast<size_t>(group);
    }
    blocks.push_back(Block{end, length});
    end += length;
    at += static_cast<size_t>(length);
  }

  const bool command_mode = data[1] & 0x80;
  batch::Layout written;
  {
    LockedLogWriter writer;
    if (command_mode) {
      const std::string command = "cat > '" + CommandOutPath() + "'";
      FUZZ_CHECK(writer.Settings().SetExternalCmd(command.c_str()));
    } else {
      FUZZ_CHECK(writer.Settings().SetLogFileName(log.c_str()));
      writer.Settings().SetSizeLimit(limit);
      writer.Settings().SetNumBackups(kBackups);
    }
    FUZZ_CHECK(writer.OpenOutput());
    FUZZ_CHECK(batch::WriteInGroups(&writer, blocks, groups));
    written.counter = writer.Rotation().SizeCounter();
  }  // The writer waits for its command to end.

  if (command_mode) {
    std::string all;
    for (const Block& block : blocks) all.append(block.data, static_cast<size_t>(block.length));
    FUZZ_CHECK(batch::ReadBytes(CommandOutPath()) == all);
    return 0;
  }
  written.backups = batch::ReadBackups(log);
  written.log = batch::ReadBytes(log);
  FUZZ_CHECK(written == batch::OneByOneModel(blocks, limit));
  return 0;
}
