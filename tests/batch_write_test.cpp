// Blocks handed to the writer together must leave the log, the backups and the size counter
// exactly as one WriteAll per block would: the same bytes in the same files, a rotation right
// after the block that takes the file over the limit wherever that block sits in a batch.
// Each case states the layout it expects and checks it for one-by-one writing, for the whole
// batch at once and for every split of the batch in two.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "batch_harness.h"
#include "log_server_fixture.h"
#include "log_writer.h"
#include "messages.h"
#include "platform/file.h"
#include "test_support.h"

namespace test {
namespace {

using batch::Layout;

constexpr int32_t kLimit = 100;

enum class Start {
  kEmpty,       // an empty log, the counter at 0
  kUnknownOld,  // `prefix` in the log, its size unknown and last read more than an hour ago
  kBlocked,     // every backup name is a non-empty directory: every rotation fails
};

struct Case {
  Start start = Start::kEmpty;
  std::string prefix;
  std::vector<std::string> blocks;
  /// When given, block i is the first lengths[i] bytes of blocks[i]; below 0 it is nothing.
  std::vector<int> lengths;
  int32_t backups = 50;
  int32_t limit = kLimit;
};

// Message i of a case: its number, then one letter, `length` bytes in all (0 is empty).
std::string Text(int i, int length) {
  std::string text = std::to_string(i) + ":";
  text.append(static_cast<size_t>(length), static_cast<char>('a' + i % 26));
  return text.substr(0, static_cast<size_t>(length));
}

std::vector<std::string> Texts(const std::vector<int>& lengths) {
  std::vector<std::string> texts;
  for (size_t i = 0; i < lengths.size(); ++i)
    texts.push_back(Text(static_cast<int>(i), lengths[i]));
  return texts;
}

std::string Join(const std::vector<std::string>& texts, size_t from, size_t to) {
  std::string joined;
  for (size_t i = from; i < to; ++i) joined += texts[i];
  return joined;
}

std::vector<Block> BlocksOf(const Case& c) {
  std::vector<Block> blocks;
  for (size_t i = 0; i < c.blocks.size(); ++i) {
    int length = c.lengths.empty() ? static_cast<int>(c.blocks[i].size()) : c.lengths[i];
    blocks.push_back(Block{c.blocks[i].data(), length});
  }
  return blocks;
}

// With kBlocked, puts a non-empty directory at each backup name of dir/app.log: it can be
// neither removed nor replaced by a rename.
void PrepareDir(const ScratchDir& dir, const Case& c) {
  for (int n = 1; c.start == Start::kBlocked && n <= c.backups; ++n) {
    std::string backup = BackupName(dir.File("app.log"), n);
    ASSERT_TRUE(std::filesystem::create_directories(backup));
    ASSERT_TRUE(WriteWholeFile(backup + "/keep", "x"));
  }
}

// Writes the case's blocks in batches of `batches[0]`, `batches[1]`, ... blocks (an empty
// list: one WriteAll per block) and reads back what the files hold. `packed` puts the blocks
// one directly behind the other in one buffer, as a client's queued messages are read on
// Windows. Every run uses the same directory, so that a rotation note, which names the log,
// reads the same in each.
Layout WriteInBatches(const ScratchDir& dir, const Case& c, const std::vector<int>& batches,
                      bool packed) {
  std::string log = dir.File("app.log");
  for (int n = 1; c.start != Start::kBlocked && FileExists(BackupName(log, n)); ++n)
    platform::RemoveFile(BackupName(log, n).c_str());
  EXPECT_TRUE(WriteWholeFile(log, c.prefix));
  Layout layout;
  {
    LockedLogWriter writer;
    EXPECT_EQ(writer.Settings().SetLogFileName(log.c_str()), 1);
    writer.Settings().SetSizeLimit(c.limit);
    writer.Settings().SetNumBackups(c.backups);
    EXPECT_EQ(writer.OpenOutput(), 1);
    if (c.start == Start::kUnknownOld)
      writer.Rotation().SetSizeState(-1, platform::CurrentTimeSeconds() - kSizeRecheckSeconds - 1);
    std::string storage;
    std::vector<Block> blocks = BlocksOf(c);
    if (packed) blocks = batch::Packed(blocks, &storage);
    EXPECT_TRUE(batch::WriteInGroups(&writer, blocks, batches)) << "a write failed";
    layout.counter = writer.Rotation().SizeCounter();
  }
  if (c.start != Start::kBlocked) layout.backups = batch::ReadBackups(log);
  // The note of a failed rotation names the log; the directory is left out of the comparison.
  layout.log = ReadWholeFile(log);
  for (size_t at; (at = layout.log.find(dir.path())) != std::string::npos;)
    layout.log.replace(at, dir.path().size(), "<dir>");
  return layout;
}

// Every batching in `batchings`, with the blocks apart and packed, must give `expected`.
void ExpectBatchingsGive(const ScratchDir& dir, const Case& c,
                         const std::vector<std::vector<int>>& batchings, const Layout& expected) {
  for (bool packed : {false, true}) {
    for (const std::vector<int>& batches : batchings) {
      ASSERT_EQ(WriteInBatches(dir, c, batches, packed), expected)
          << "batches of " << ::testing::PrintToString(batches) << ", packed " << packed;
    }
  }
}

// One-by-one writing must give `expected`, and so must every batching: all blocks at once,
// and each split into two batches, with the blocks apart and packed.
void ExpectEveryBatchingGives(const Case& c, const Layout& expected) {
  ScratchDir dir;
  ASSERT_NO_FATAL_FAILURE(PrepareDir(dir, c));
  ASSERT_EQ(WriteInBatches(dir, c, {}, false), expected) << "one by one";
  int count = static_cast<int>(c.blocks.size());
  std::vector<std::vector<int>> batchings{{count}};
  for (int split = 1; split < count; ++split) batchings.push_back({split, count - split});
  ExpectBatchingsGive(dir, c, batchings, expected);
}

TEST(BatchWrite, RotationInTheMiddleOfABatchFallsRightAfterTheBlockThatWentOver) {
  Case c;
  c.blocks = Texts({60, 60, 30, 5});
  Layout expected;
  expected.backups = {Join(c.blocks, 0, 2)};
  expected.log = Join(c.blocks, 2, 4);
  expected.counter = 35;
  ExpectEveryBatchingGives(c, expected);
}

TEST(BatchWrite, SeveralRotationsInOneBatchIncludingABlockLargerThanTheLimit) {
  Case c;
  c.blocks = Texts({60, 60, 60, 60, 250, 10, 99, 1});
  Layout expected;
  expected.backups = {Join(c.blocks, 0, 2), Join(c.blocks, 2, 4), c.blocks[4],
                      Join(c.blocks, 5, 7)};
  expected.log = c.blocks[7];
  expected.counter = 1;
  ExpectEveryBatchingGives(c, expected);
}

// Exactly at the limit is not over it; empty blocks count nothing but still take their turn.
TEST(BatchWrite, BlockThatBringsTheFileExactlyToTheLimitDoesNotRotate) {
  Case c;
  c.blocks = Texts({40, 60, 0, 1, 100, 0, 0, 1, 0});
  Layout expected;
  expected.backups = {Join(c.blocks, 0, 4), Join(c.blocks, 4, 8)};
  expected.log = "";
  expected.counter = 0;
  ExpectEveryBatchingGives(c, expected);
}

// A file that already holds text of unknown size: the first block reads the size, finds the
// file over the limit and rotates it, and counting goes on from there.
TEST(BatchWrite, UnknownSizeIsReadAfterTheFirstBlockAndRotatesThere) {
  Case c;
  c.start = Start::kUnknownOld;
  c.prefix = std::string(95, '-');
  c.blocks = Texts({10, 30, 80, 20});
  Layout expected;
  expected.backups = {c.prefix + c.blocks[0], Join(c.blocks, 1, 3)};
  expected.log = c.blocks[3];
  expected.counter = 20;
  ExpectEveryBatchingGives(c, expected);
}

// A failed rotation notes itself in the log right after the block that caused it; the size
// is then unknown, so the later blocks go into the same file uncounted.
TEST(BatchWrite, FailedRotationInABatchNotesItThereAndLeavesTheSizeUnknown) {
  Case c;
  c.start = Start::kBlocked;
  c.backups = 2;
  c.blocks = Texts({60, 60, 70, 80, 90});
  Layout expected;
  expected.log = Join(c.blocks, 0, 2) + RenameFailedNote("<dir>/app.log", "<dir>/app1.log") +
                 Join(c.blocks, 2, 5);
  expected.counter = -1;
  ExpectEveryBatchingGives(c, expected);
}

// More blocks than one system write takes, with the limit one below that cap: the block that
// goes over is the last one a write can take, and the next group starts a new file.
TEST(BatchWrite, BatchLongerThanOneWriteRotatesAtTheSamePlaces) {
  Case c;
  c.limit = kMaxBlocksPerWrite - 1;
  c.blocks = Texts(std::vector<int>(kMaxBlocksPerWrite * 2 + 2, 1));
  Layout expected;
  expected.backups = {Join(c.blocks, 0, kMaxBlocksPerWrite),
                      Join(c.blocks, kMaxBlocksPerWrite, 2 * kMaxBlocksPerWrite)};
  expected.log = Join(c.blocks, 2 * kMaxBlocksPerWrite, c.blocks.size());
  expected.counter = 2;
  ExpectEveryBatchingGives(c, expected);
}

// Three hundred blocks of many lengths, some empty, one over the limit by itself and one with
// a length below 0, in batchings that cross the cap of one write: from every start, each
// must rotate where one-by-one writing does, and that rotates many times.
TEST(BatchWrite, LongRunRotatesWhereOneByOneWritingWouldFromEveryStart) {
  for (Start start : {Start::kEmpty, Start::kBlocked, Start::kUnknownOld}) {
    SCOPED_TRACE("start " + std::to_string(static_cast<int>(start)));
    Case c;
    c.start = start;
    c.backups = start == Start::kBlocked ? 2 : 1000;
    if (start == Start::kUnknownOld) c.prefix = std::string(95, '-');
    for (int i = 0; i < 300; ++i) {
      int length = i % 7 == 3 ? 0 : 1 + (i * 37) % 90;
      if (i == 100) length = 500;
      if (i == 150) length = -3;
      c.blocks.push_back(std::to_string(i) + ":" +
                         std::string(600, static_cast<char>('a' + i % 26)));
      c.lengths.push_back(length);
    }
    ScratchDir dir;
    ASSERT_NO_FATAL_FAILURE(PrepareDir(dir, c));
    Layout one_by_one = WriteInBatches(dir, c, {}, false);
    ASSERT_GT(one_by_one.backups.size() + 1, start == Start::kBlocked ? 0u : 19u)
        << "backups and log";
    ExpectBatchingsGive(dir, c, {{300}, {1, 5, 70, 2}, {64, 65, 3}}, one_by_one);
  }
}

// The server reads what a client has queued in one go; a message too long for the buffer
// among them must end the client exactly where reading one by one would: what came before
// it is written, it and everything after it are not.
class BatchRead : public StartedServerTest {};

TEST_F(BatchRead, TooLongMessageQueuedBehindOthersEndsTheClientThere) {
  {
    PipeClient client;
    ASSERT_TRUE(client.Connect(server.pipe));
    ASSERT_TRUE(client.Send("a\n"));
    ASSERT_TRUE(client.Send(""));
    ASSERT_TRUE(client.Send("b\n"));
    // Whether these sends see the server drop the client depends on the system.
    client.Send(std::string(platform::kMaxMessage + 1, 'X'));
    client.Send("c\n");
  }
  ASSERT_TRUE(server.WaitForClientsDone(1));
  ASSERT_TRUE(SendMessages(server.pipe, {"after\n"}));
  ASSERT_TRUE(server.WaitForClientsDone(2));
  EXPECT_EQ(ReadWholeFile(server.log), "a\nb\nafter\n");
  EXPECT_EQ(server.program.Stdout(), std::string(kReadFileFailed) + kReadFileFailed);
  EXPECT_EQ(server.Stop(), 1);
}

}  // namespace
}  // namespace test
