// The log writer on real files and a real command: settings, appending, and the
// edge cases of zero-length blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "log_server_fixture.h"
#include "log_writer.h"
#include "test_support.h"

namespace test {
namespace {

// The command of command mode: copies its standard input into `copy`.
std::string CopyCommand(const std::string& copy) {
  return CommandWord(ToolPath("copy_stdin")) + " " + CommandWord(copy);
}

TEST(Writer, StartsWithTheDefaults) {
  LockedLogWriter writer;
  EXPECT_EQ(writer.Settings().SizeLimit(), 5242880);
  EXPECT_EQ(writer.Settings().NumBackups(), 10);
  EXPECT_EQ(writer.Rotation().SizeCounter(), -1);
  EXPECT_FALSE(writer.Settings().CommandMode());
  EXPECT_EQ(writer.Settings().PipeName(), nullptr);
  EXPECT_EQ(writer.Settings().LogFileName(), nullptr);
  EXPECT_EQ(writer.Settings().ExternalCmd(), nullptr);
}

TEST(Writer, SettersKeepCopiesOfTheirOwnAndALaterValueReplacesTheFirst) {
  LockedLogWriter writer;
  char text[] = "first";
  ASSERT_EQ(writer.Settings().SetPipeName(text), 1);
  ASSERT_EQ(writer.Settings().SetLogFileName(text), 1);
  std::strcpy(text, "other");
  EXPECT_STREQ(writer.Settings().PipeName(), "first");
  EXPECT_STREQ(writer.Settings().LogFileName(), "first");
  ASSERT_EQ(writer.Settings().SetLogFileName("second"), 1);
  EXPECT_STREQ(writer.Settings().LogFileName(), "second");
  EXPECT_FALSE(writer.Settings().CommandMode());
  ASSERT_EQ(writer.Settings().SetExternalCmd("cmd"), 1);
  EXPECT_TRUE(writer.Settings().CommandMode());
  EXPECT_STREQ(writer.Settings().ExternalCmd(), "cmd");
}

TEST(Writer, SecondLogFileNameIsTheOneWritten) {
  ScratchDir dir;
  LockedLogWriter writer;
  ASSERT_EQ(writer.Settings().SetLogFileName(dir.File("first.log").c_str()), 1);
  ASSERT_EQ(writer.Settings().SetLogFileName(dir.File("second.log").c_str()), 1);
  ASSERT_EQ(writer.OpenOutput(), 1);
  ASSERT_EQ(Write(&writer, "text\n"), 1);
  EXPECT_EQ(ReadWholeFile(dir.File("second.log")), "text\n");
  EXPECT_FALSE(FileExists(dir.File("first.log")));
}

TEST(Writer, ExistingFileIsAppendedToNeverTruncated) {
  ScratchDir dir;
  std::string log = dir.File("app.log");
  ASSERT_TRUE(WriteWholeFile(log, "kept\n"));
  for (const char* text : {"one\n", "two\n"}) {
    LockedLogWriter writer;
    ASSERT_EQ(writer.Settings().SetLogFileName(log.c_str()), 1);
    ASSERT_EQ(writer.OpenOutput(), 1);
    EXPECT_EQ(writer.Rotation().SizeCounter(), static_cast<int64_t>(ReadWholeFile(log).size()));
    ASSERT_EQ(Write(&writer, text), 1);
  }
  EXPECT_EQ(ReadWholeFile(log), "kept\none\ntwo\n");
}

// No OpenOutput: no file is open, and a zero-length block opens it first. While the log's
// directory is missing that fails and says so; once it exists the block opens the log and
// writes nothing.
TEST(Writer, ZeroLengthBlockOpensTheFileFirstAndWritesNothing) {
  ScratchDir dir;
  std::string log = dir.File("no/such/dir/app.log");
  LockedLogWriter writer;
  ASSERT_EQ(writer.Settings().SetLogFileName(log.c_str()), 1);
  CapturedOutput captured(stderr);
  EXPECT_EQ(writer.WriteAll("ignored", 0), 0);
  std::string err = captured.Release();
  EXPECT_EQ(err.rfind(CannotOpenLogStart(log), 0), 0u) << err;

  ASSERT_TRUE(std::filesystem::create_directories(dir.File("no/such/dir")));
  EXPECT_EQ(writer.WriteAll("ignored", 0), 1);
  EXPECT_TRUE(FileExists(log));
  EXPECT_EQ(ReadWholeFile(log), "");
  EXPECT_EQ(writer.WriteAll("ignored", -5), 1);  // the length is signed; below 0 is nothing
  EXPECT_EQ(Write(&writer, "text\n"), 1);
  EXPECT_EQ(ReadWholeFile(log), "text\n");
}

TEST(Writer, CommandModeWithoutARunningCommandFailsEveryBlock) {
  LockedLogWriter writer;
  ASSERT_EQ(writer.Settings().SetExternalCmd("never started"), 1);
  EXPECT_EQ(writer.WriteAll("ignored", 0), 0);
  EXPECT_EQ(Write(&writer, "text\n"), 0);
}

// A group of blocks goes to the command together, with exactly the bytes that writing them
// one by one gives, also when the group is larger than the stream's buffer.
TEST(Writer, CommandModeTakesZeroLengthBlocksAndGroupsAndNeverRotates) {
  ScratchDir dir;
  std::string copy = dir.File("copy.out");
  std::string log = dir.File("app.log");
  const std::string large(kCommandBufferBytes + 1000, 'L');
  const Block group[] = {
      {"third\n", 6}, {"x", 0}, {"y", -3}, {large.data(), int(large.size())}, {"last\n", 5}};
  {
    LockedLogWriter writer;
    ASSERT_EQ(writer.Settings().SetLogFileName(log.c_str()), 1);
    ASSERT_EQ(writer.Settings().SetExternalCmd(CopyCommand(copy).c_str()), 1);
    writer.Settings().SetSizeLimit(1);
    ASSERT_EQ(writer.OpenOutput(), 1);
    EXPECT_EQ(writer.WriteAll("ignored", 0), 1);
    EXPECT_EQ(Write(&writer, "first block\n"), 1);
    EXPECT_EQ(Write(&writer, "second block\n"), 1);
    EXPECT_EQ(writer.WriteBlocksLocked(group, 5), 1);
    EXPECT_EQ(writer.Rotation().SizeCounter(), -1);
  }  // The destructor closes the stream and waits for the command to end.
  EXPECT_EQ(ReadWholeFile(copy), "first block\nsecond block\nthird\n" + large + "last\n");
  EXPECT_FALSE(FileExists(log));
  EXPECT_FALSE(FileExists(dir.File("app1.log")));
}

}  // namespace
}  // namespace test
