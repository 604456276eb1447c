// Log rotation on real files: the size counter, backup names, the ring of
// backups and the failure paths, through the writer's own operations; and rotation in the
// real server.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "log_server_fixture.h"
#include "log_writer.h"
#include "messages.h"
#include "platform/file.h"
#include "tools/support/file_time.h"

namespace test {
namespace {

namespace fs = std::filesystem;

// The size unknown since `seconds`, as after a failed rotation: an hour after it, the next
// write reads the size.
void ForgetSizeSince(LogWriter* writer, int64_t seconds) {
  writer->Rotation().SetSizeState(-1, seconds);
}

// A writer whose Open fails after `allowed_opens` calls, as a reopen fails when the log's
// directory cannot take a new file. It works alike on every system.
class RefusingWriter : public LockedLogWriter {
 public:
  int Open() override { return ++opens > allowed_opens ? 0 : LockedLogWriter::Open(); }
  int allowed_opens = 1000;
  int opens = 0;
};

void Configure(LogWriter* writer, const std::string& log, int32_t limit, int32_t backups) {
  ASSERT_EQ(writer->Settings().SetLogFileName(log.c_str()), 1);
  writer->Settings().SetSizeLimit(limit);
  writer->Settings().SetNumBackups(backups);
}

// Sets `writer` up for dir/app.log with `limit` and `backups` and opens it; the log's path.
std::string OpenLog(const ScratchDir& dir, LogWriter* writer, int32_t limit, int32_t backups) {
  std::string log = dir.File("app.log");
  Configure(writer, log, limit, backups);
  EXPECT_EQ(writer->OpenOutput(), 1);
  return log;
}

// Appends `text` to the file at `path` past the writer under test, as another writer would.
void AppendAsAnotherWriter(const std::string& path, const std::string& text) {
  std::ofstream stranger(path, std::ios::binary | std::ios::app);
  stranger << text;
}

// A non-empty directory at a backup name can be neither deleted nor replaced by a rename,
// on POSIX and on Windows alike.
void BlockWithDirectory(const std::string& path) {
  fs::create_directories(path);
  ASSERT_TRUE(WriteWholeFile(path + "/keep", "x"));
}

// Sparse, so that gigabytes cost no disk.
bool MakeSparseFile(const std::string& path, uint64_t size) {
  if (!WriteWholeFile(path, "")) return false;
  std::error_code error;
  fs::resize_file(path, size, error);
  return !error;
}

constexpr uint64_t kGiB = 1024ull * 1024 * 1024;

TEST(BackupName, NumberGoesBeforeTheLastDotOfTheFileName) {
  EXPECT_EQ(BackupName("server.log", 1), "server1.log");
  EXPECT_EQ(BackupName("server.log", 10), "server10.log");
  EXPECT_EQ(BackupName("a.b.log", 7), "a.b7.log");
  EXPECT_EQ(BackupName("server", 1), "server.1");
  EXPECT_EQ(BackupName("server", 12), "server.12");
  EXPECT_EQ(BackupName(".log", 2), "2.log");
  // A dot in a directory name does not count: else "logs.d/server" would back up into
  // "logs1.d/server", a directory that does not exist, and every rotation would fail.
  EXPECT_EQ(BackupName("logs.d/server", 1), "logs.d/server.1");
  EXPECT_EQ(BackupName("logs.d/server", 2), "logs.d/server.2");
  EXPECT_EQ(BackupName("logs.d/server.log", 3), "logs.d/server3.log");
  EXPECT_EQ(BackupName("/var/a.b/c.d/server", 4), "/var/a.b/c.d/server.4");
}

TEST(BackupName, OnlyThisSystemsSeparatorsEndTheDirectoryPart) {
  // "/" on both systems; "\" and ":" only where the platform says so (Windows).
  ASSERT_NE(std::strchr(platform::kDirectorySeparators, '/'), nullptr);
  for (char c : std::string("/\\:")) {
    bool separator = std::strchr(platform::kDirectorySeparators, c) != nullptr;
    std::string name = std::string("logs.d") + c + "server";
    EXPECT_EQ(BackupName(name, 3), separator ? name + ".3" : std::string("logs3.d") + c + "server")
        << "separator " << c;
    EXPECT_EQ(BackupName(std::string("x.y") + c + "app.log", 2),
              std::string("x.y") + c + "app2.log");
  }
}

TEST(BackupName, RefusesABufferThatIsTooSmall) {
  char exact[12];  // "server1.log" and its terminator
  EXPECT_TRUE(MakeBackupName("server.log", 1, exact, sizeof(exact)));
  EXPECT_STREQ(exact, "server1.log");
  char short_by_one[11];
  EXPECT_FALSE(MakeBackupName("server.log", 1, short_by_one, sizeof(short_by_one)));
  char tiny[9];
  EXPECT_FALSE(MakeBackupName("server", 100, tiny, sizeof(tiny)));  // "server.100" needs 11
}

TEST(Rotation, SecondSixtyByteMessagePassesAHundredByteLimit) {
  ScratchDir dir;
  LockedLogWriter writer;
  std::string log = OpenLog(dir, &writer, 100, 3);
  EXPECT_EQ(writer.Rotation().SizeCounter(), 0);
  std::string first(59, 'a'), second(59, 'b'), third(59, 'c');
  first += '\n', second += '\n', third += '\n';
  ASSERT_EQ(Write(&writer, first), 1);
  EXPECT_EQ(writer.Rotation().SizeCounter(), 60);
  EXPECT_FALSE(FileExists(dir.File("app1.log")));
  ASSERT_EQ(Write(&writer, second), 1);
  EXPECT_EQ(writer.Rotation().SizeCounter(), 0);
  EXPECT_EQ(ReadWholeFile(dir.File("app1.log")), first + second);
  EXPECT_TRUE(FileExists(log));
  EXPECT_EQ(ReadWholeFile(log), "");
  ASSERT_EQ(Write(&writer, third), 1);
  EXPECT_EQ(ReadWholeFile(log), third);
  EXPECT_EQ(writer.Rotation().SizeCounter(), 60);
}

TEST(Rotation, MessageLargerThanTheLimitIsWrittenWholeThenRotated) {
  ScratchDir dir;
  LockedLogWriter writer;
  std::string log = OpenLog(dir, &writer, 100, 3);
  std::string big(1000, 'B');
  ASSERT_EQ(Write(&writer, big), 1);
  EXPECT_EQ(ReadWholeFile(dir.File("app1.log")), big);
  EXPECT_EQ(ReadWholeFile(log), "");
  EXPECT_EQ(writer.Rotation().SizeCounter(), 0);
}

TEST(Rotation, LogAtExactlyTheLimitIsRotatedAtStartUp) {
  ScratchDir dir;
  std::string log = dir.File("app.log");
  std::string old(100, 'o');
  ASSERT_TRUE(WriteWholeFile(log, old));
  LockedLogWriter writer;
  int64_t before = platform::CurrentTimeSeconds();
  ASSERT_EQ(OpenLog(dir, &writer, 100, 3), log);
  EXPECT_EQ(ReadWholeFile(dir.File("app1.log")), old);
  EXPECT_EQ(ReadWholeFile(log), "");
  EXPECT_EQ(writer.Rotation().SizeCounter(), 0);
  EXPECT_GE(writer.Rotation().LastSizeCheck(), before);
}

TEST(Rotation, LogBelowTheLimitAtStartUpIsKeptAndCounted) {
  ScratchDir dir;
  std::string log = dir.File("app.log");
  ASSERT_TRUE(WriteWholeFile(log, std::string(99, 'o')));
  LockedLogWriter writer;
  ASSERT_EQ(OpenLog(dir, &writer, 100, 3), log);
  EXPECT_EQ(writer.Rotation().SizeCounter(), 99);
  EXPECT_FALSE(FileExists(dir.File("app1.log")));
  // While running, exactly the limit is not over it; one byte more is.
  ASSERT_EQ(Write(&writer, "x"), 1);
  EXPECT_EQ(writer.Rotation().SizeCounter(), 100);
  EXPECT_FALSE(FileExists(dir.File("app1.log")));
  ASSERT_EQ(Write(&writer, "y"), 1);
  EXPECT_EQ(writer.Rotation().SizeCounter(), 0);
  EXPECT_EQ(ReadWholeFile(dir.File("app1.log")), std::string(99, 'o') + "xy");
}

TEST(Rotation, BackupsFormARingThroughTheirModificationTimes) {
  ScratchDir dir;
  LockedLogWriter writer;
  std::string log = OpenLog(dir, &writer, 10, 3);
  const int64_t base = 1500000000;
  std::vector<int> used;
  for (int round = 0; round < 7; ++round) {
    std::string text = "rotation " + std::to_string(round) + "\n";  // over the limit alone
    ASSERT_EQ(Write(&writer, text), 1);
    ASSERT_EQ(writer.Rotation().SizeCounter(), 0);
    int found = 0;
    for (int n = 1; n <= 3; ++n)
      if (ReadWholeFile(BackupName(log, n)) == text) found = n;
    ASSERT_NE(found, 0) << "round " << round;
    used.push_back(found);
    // Within one second of the clock all backups would have the same time, and an equal
    // time keeps the lower number: each gets a time of its own instead of a sleep.
    ASSERT_TRUE(platform::SetModificationTime(BackupName(log, found).c_str(), {base + round, 0}));
  }
  EXPECT_EQ(used, (std::vector<int>{1, 2, 3, 1, 2, 3, 1}));
  EXPECT_FALSE(FileExists(dir.File("app4.log")));
}

// Rotations faster than the clock's seconds: the backups' times must still tell them apart,
// or else the ring must go on from the number this writer took last.
TEST(Rotation, BackupsFormARingWhenRotationsComeWithinOneSecond) {
  ScratchDir dir;
  LockedLogWriter writer;
  std::string log = OpenLog(dir, &writer, 10, 3);
  std::vector<int> used;
  std::vector<std::string> texts;
  for (int round = 0; round < 11; ++round) {
    texts.push_back("rotation " + std::to_string(round) + "\n");  // over the limit alone
    ASSERT_EQ(Write(&writer, texts.back()), 1);
    ASSERT_EQ(writer.Rotation().SizeCounter(), 0);
    int found = 0;
    for (int n = 1; n <= 3; ++n)
      if (ReadWholeFile(BackupName(log, n)) == texts.back()) found = n;
    ASSERT_NE(found, 0) << "round " << round;
    used.push_back(found);
  }
  EXPECT_EQ(used, (std::vector<int>{1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2}));
  // The three newest: rounds 8, 9 and 10.
  EXPECT_EQ(ReadWholeFile(BackupName(log, 3)), texts[8]);
  EXPECT_EQ(ReadWholeFile(BackupName(log, 1)), texts[9]);
  EXPECT_EQ(ReadWholeFile(BackupName(log, 2)), texts[10]);
}

// Arranges app1.log and app2.log (each present when its time is not 0), rotates once with
// 2 backups, and says which backup took the log.
int RotateIntoTwoBackups(int64_t time1, int64_t time2) {
  ScratchDir dir;
  std::string log = dir.File("app.log");
  const std::string backups[] = {dir.File("app1.log"), dir.File("app2.log")};
  const int64_t times[] = {time1, time2};
  for (int i = 0; i < 2; ++i) {
    if (times[i] == 0) continue;
    EXPECT_TRUE(WriteWholeFile(backups[i], "old" + std::to_string(i + 1)));
    EXPECT_TRUE(platform::SetModificationTime(backups[i].c_str(), {times[i], 0}));
  }
  LockedLogWriter writer;
  Configure(&writer, log, 10, 2);
  EXPECT_EQ(writer.OpenOutput(), 1);
  EXPECT_EQ(Write(&writer, "the log, over ten bytes\n"), 1);
  int taken = 0;
  for (int i = 0; i < 2; ++i) {
    std::string content = ReadWholeFile(backups[i]);
    if (content == "the log, over ten bytes\n") {
      taken = i + 1;
    } else if (times[i] != 0) {
      EXPECT_EQ(content, "old" + std::to_string(i + 1));
    }
  }
  return taken;
}

TEST(Rotation, FreeBackupNumberWinsOverAnyExistingOne) {
  EXPECT_EQ(RotateIntoTwoBackups(0, 1000000000), 1);  // app2.log older than anything
  EXPECT_EQ(RotateIntoTwoBackups(0, 2000000000), 1);
  EXPECT_EQ(RotateIntoTwoBackups(1000000000, 0), 2);
}

TEST(Rotation, WhenAllAreTakenTheOldestIsReplacedAndAnEqualTimeKeepsTheLowerNumber) {
  EXPECT_EQ(RotateIntoTwoBackups(1600000000, 1500000000), 2);
  EXPECT_EQ(RotateIntoTwoBackups(1500000000, 1600000000), 1);
  EXPECT_EQ(RotateIntoTwoBackups(1500000000, 1500000000), 1);
}

// Three backups of app.log, all modified within one second, `nanoseconds` into it; the number
// ChooseBackup takes after `last_taken`.
int ChooseAmongThree(const std::vector<int32_t>& nanoseconds, int last_taken) {
  ScratchDir dir;
  std::string log = dir.File("app.log");
  for (int n = 1; n <= 3; ++n) {
    std::string backup = BackupName(log, n);
    EXPECT_TRUE(WriteWholeFile(backup, "old"));
    EXPECT_TRUE(platform::SetModificationTime(backup.c_str(), {1500000000, nanoseconds[n - 1]}));
  }
  char name[1024];
  int chosen = ChooseBackup(log.c_str(), 3, last_taken, name, sizeof(name));
  EXPECT_EQ(name, BackupName(log, chosen));
  return chosen;
}

// 100 ns apart, the finest step that both systems keep.
TEST(Rotation, ModificationTimesAreComparedWithinTheSecond) {
  EXPECT_EQ(ChooseAmongThree({300, 200, 100}, 0), 3);
  EXPECT_EQ(ChooseAmongThree({300, 100, 200}, 0), 2);
  EXPECT_EQ(ChooseAmongThree({300, 100, 200}, 1), 2);
  EXPECT_EQ(ChooseAmongThree({100, 200, 300}, 2), 1);
}

TEST(Rotation, AnEqualOldestTimeGoesToTheNumberAfterTheLastTakenElseTheLowest) {
  EXPECT_EQ(ChooseAmongThree({0, 0, 0}, 0), 1);
  EXPECT_EQ(ChooseAmongThree({0, 0, 0}, 1), 2);
  EXPECT_EQ(ChooseAmongThree({0, 0, 0}, 2), 3);
  EXPECT_EQ(ChooseAmongThree({0, 0, 0}, 3), 1);
  // Only among the oldest: the number after the last taken is newer here.
  EXPECT_EQ(ChooseAmongThree({100, 200, 100}, 1), 1);
  EXPECT_EQ(ChooseAmongThree({100, 200, 100}, 2), 3);
}

TEST(Rotation, FailedRenameKeepsEveryByteInTheLogAndNotesIt) {
  ScratchDir dir;
  std::string log = dir.File("app.log");
  BlockWithDirectory(dir.File("app1.log"));
  BlockWithDirectory(dir.File("app2.log"));
  // The choice between the two blocked names follows their times (equal keeps the lower).
  platform::FileTime time1, time2;
  ASSERT_TRUE(platform::GetModificationTime(dir.File("app1.log").c_str(), &time1));
  ASSERT_TRUE(platform::GetModificationTime(dir.File("app2.log").c_str(), &time2));
  std::string blocked = dir.File(time2 < time1 ? "app2.log" : "app1.log");

  LockedLogWriter writer;
  ASSERT_EQ(OpenLog(dir, &writer, 100, 2), log);
  std::string first(60, 'a'), second(60, 'b'), third(500, 'c');
  ASSERT_EQ(Write(&writer, first), 1);
  int64_t before = platform::CurrentTimeSeconds();
  ASSERT_EQ(Write(&writer, second), 1);
  EXPECT_EQ(writer.Rotation().SizeCounter(), -1);
  EXPECT_GE(writer.Rotation().LastSizeCheck(), before);
  std::string note = RenameFailedNote(log, blocked);
  EXPECT_EQ(ReadWholeFile(log), first + second + note);

  // Writing goes on in the same file; with the size unknown nothing is tried for an hour.
  ASSERT_EQ(Write(&writer, third), 1);
  EXPECT_EQ(writer.Rotation().SizeCounter(), -1);
  EXPECT_EQ(ReadWholeFile(log), first + second + note + third);

  // An hour later the size is read again, and the rotation, now possible, happens.
  fs::remove_all(dir.File("app1.log"));
  fs::remove_all(dir.File("app2.log"));
  ForgetSizeSince(&writer, platform::CurrentTimeSeconds() - kSizeRecheckSeconds - 1);
  ASSERT_EQ(Write(&writer, "d\n"), 1);
  EXPECT_EQ(writer.Rotation().SizeCounter(), 0);
  EXPECT_EQ(ReadWholeFile(dir.File("app1.log")), first + second + note + third + "d\n");
  EXPECT_EQ(ReadWholeFile(log), "");
}

TEST(Rotation, RefusedReopenKeepsTheTextInTheBackupAndIsRetriedByTheNextWrite) {
  ScratchDir dir;
  RefusingWriter writer;
  std::string log = OpenLog(dir, &writer, 100, 2);
  std::string first(60, 'a'), second(60, 'b');
  ASSERT_EQ(Write(&writer, first), 1);
  writer.allowed_opens = writer.opens;
  // The write that triggers the rotation has done its work, so it succeeds.
  EXPECT_EQ(Write(&writer, second), 1);
  EXPECT_EQ(writer.Rotation().SizeCounter(), -1);
  EXPECT_EQ(ReadWholeFile(dir.File("app1.log")), first + second);
  EXPECT_FALSE(FileExists(log));
  // The next one tries the open itself, and fails without writing.
  int opens = writer.opens;
  EXPECT_EQ(Write(&writer, "lost\n"), 0);
  EXPECT_EQ(writer.opens, opens + 1);
  EXPECT_FALSE(FileExists(log));
  writer.allowed_opens = 1000;
  EXPECT_EQ(Write(&writer, "back\n"), 1);
  EXPECT_EQ(ReadWholeFile(log), "back\n");
  EXPECT_EQ(ReadWholeFile(dir.File("app1.log")), first + second);
}

TEST(Rotation, ReopenInARemovedDirectoryFailsAndEveryRetryPrintsTheOpenMessage) {
  ScratchDir dir;
  std::string logs = dir.File("logs");
  fs::create_directories(logs);
  std::string log = logs + "/app.log";
  LockedLogWriter writer;
  Configure(&writer, log, 100, 2);
  ASSERT_EQ(writer.OpenOutput(), 1);
  ASSERT_EQ(Write(&writer, std::string(60, 'a')), 1);
  // Permission bits do not stop root, so the directory is taken away instead. Where an open
  // file cannot be removed (Windows without delete sharing), the refused-reopen test covers
  // this path.
  std::error_code error;
  if (!fs::remove(log, error))
    GTEST_SKIP() << "this system does not let the open log file be removed (" << error.message()
                 << ")";
  ASSERT_TRUE(fs::remove(logs, error)) << error.message();

  // The next write finds its log removed and does not write into it; the log cannot be
  // opened again without its directory.
  CapturedOutput captured(stderr);
  EXPECT_EQ(Write(&writer, std::string(60, 'b')), 0);
  EXPECT_EQ(writer.Rotation().SizeCounter(), -1);
  EXPECT_EQ(Write(&writer, "next\n"), 0);
  std::string err = captured.Release();
  std::string message = CannotOpenLogStart(log);
  EXPECT_EQ(CountOf(err, message), 2) << err;

  // The new log's size is read at the first write into it.
  fs::create_directories(logs);
  EXPECT_EQ(Write(&writer, "back\n"), 1);
  EXPECT_EQ(ReadWholeFile(log), "back\n");
  EXPECT_EQ(writer.Rotation().SizeCounter(), 5);
}

// Removed from outside, the log gets nothing more: the next write opens it by its name again.
TEST(Rotation, WriteAfterTheLogWasRemovedOpensTheLogByItsNameAgain) {
  ScratchDir dir;
  LockedLogWriter writer;
  std::string log = OpenLog(dir, &writer, 1000, 3);
  ASSERT_EQ(Write(&writer, "before\n"), 1);
  std::error_code error;
  if (!fs::remove(log, error))
    GTEST_SKIP() << "this system does not let the open log be removed (" << error.message() << ")";
  ASSERT_EQ(Write(&writer, "after\n"), 1);
  ASSERT_EQ(Write(&writer, "more\n"), 1);
  EXPECT_EQ(ReadWholeFile(log), "after\nmore\n");
  EXPECT_EQ(writer.Rotation().SizeCounter(), 11);
  EXPECT_FALSE(FileExists(dir.File("app1.log")));
}

// A log moved away from outside leaves a rotation nothing to back up: it opens a new log, and
// that is a rotation like any other, without a note. The oldest backup stays.
TEST(Rotation, RotationOfALogThatIsGoneStartsANewLogWithoutANote) {
  ScratchDir dir;
  LockedLogWriter writer;
  std::string log = OpenLog(dir, &writer, 1000, 3);
  ASSERT_TRUE(WriteWholeFile(dir.File("app1.log"), "oldest\n"));
  ASSERT_EQ(Write(&writer, "text\n"), 1);
  std::error_code error;
  fs::rename(log, dir.File("elsewhere.log"), error);
  if (error)
    GTEST_SKIP() << "this system does not let the open log be moved (" << error.message() << ")";
  EXPECT_EQ(writer.Rotation().RotateLogFile(), 1);
  EXPECT_EQ(ReadWholeFile(dir.File("elsewhere.log")), "text\n");
  EXPECT_EQ(ReadWholeFile(dir.File("app1.log")), "oldest\n");
  EXPECT_FALSE(FileExists(dir.File("app2.log")));
  ASSERT_EQ(Write(&writer, "next\n"), 1);
  EXPECT_EQ(ReadWholeFile(log), "next\n");
}

// A device given as the log (here a null device of its own) takes any amount of text and
// keeps its name and its kind: renaming the system's /dev/null once took it from every
// program on the machine.
TEST(Rotation, LogThatIsADeviceIsNeverRenamed) {
  ScratchDir dir;
  const std::string mknod = SystemTool("mknod");
  if (mknod.empty() || RunProgram({mknod, dir.File("app.log"), "c", "1", "3"}).status != 0)
    GTEST_SKIP() << "making a device node takes mknod and root";
  LockedLogWriter writer;
  std::string log = OpenLog(dir, &writer, 10, 2);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Write(&writer, "longer than the limit\n"), 1);
  EXPECT_TRUE(fs::is_character_file(log));
  EXPECT_FALSE(FileExists(dir.File("app1.log")));
}

// Deleting the backup must never remove a directory (POSIX remove(3) falls back to rmdir):
// here an empty one, where it can be another user's, the oldest in the ring.
TEST(Rotation, EmptyDirectoryAtTheOldestBackupNameIsNeverRemoved) {
  ScratchDir dir;
  std::string log = dir.File("app.log"), backup1 = dir.File("app1.log");
  fs::create_directories(backup1);
  std::string chown = SystemTool("chown");
  if (!chown.empty()) RunProgram({chown, "65534:65534", backup1});
  ASSERT_TRUE(WriteWholeFile(dir.File("app2.log"), "newer\n"));
  ASSERT_TRUE(platform::SetModificationTime(backup1.c_str(), {1000000000, 0}));
  ASSERT_TRUE(platform::SetModificationTime(dir.File("app2.log").c_str(), {1500000000, 0}));

  LockedLogWriter writer;
  ASSERT_EQ(OpenLog(dir, &writer, 10, 2), log);
  ASSERT_EQ(Write(&writer, "over ten bytes\n"), 1);
  EXPECT_TRUE(fs::is_directory(backup1)) << "the directory at the backup name was removed";
  EXPECT_EQ(ReadWholeFile(log), "over ten bytes\n" + RenameFailedNote(log, backup1));
  EXPECT_EQ(ReadWholeFile(dir.File("app2.log")), "newer\n");
}

// A second writer that opens the log in the instant before the running one rotates it: when
// it comes to lock the log, the file it holds has left the log's name, or (where an open log
// cannot be moved) the rotation failed and the running writer holds the log's lock again.
// Either way the second writer is refused, and the running one loses nothing.
class OpensJustBeforeARotation : public LockedLogWriter {
 public:
  int Open() override {
    LogFile() = platform::OpenForAppend(Settings().LogFileName());
    EXPECT_EQ(Write(running, "rotates now\n"), 1);
    LockLogFile();
    return 1;
  }
  LogWriter* running = nullptr;
};

TEST(Rotation, WriterThatOpensTheLogAsARunningOneRotatesItIsRefused) {
  ScratchDir dir;
  LockedLogWriter running;
  std::string log = OpenLog(dir, &running, 10, 2);
  OpensJustBeforeARotation second;
  second.running = &running;
  Configure(&second, log, 10, 2);
  CapturedOutput captured(stderr);
  EXPECT_EQ(second.OpenOutput(), 0);
  EXPECT_EQ(captured.Release(), Format(kLogLockedFormat, log.c_str()));
  ASSERT_EQ(Write(&running, "next\n"), 1);
  EXPECT_EQ(CountOf(ReadWholeFile(dir.File("app1.log")) + ReadWholeFile(log), "rotates now\n"), 1);
  EXPECT_NE(ReadWholeFile(log).find("next\n"), std::string::npos);
}

TEST(Rotation, StartUpRotationWhoseReopenFailsStillStartsAndTheFirstWriteOpens) {
  ScratchDir dir;
  std::string log = dir.File("app.log");
  ASSERT_TRUE(WriteWholeFile(log, std::string(100, 'o')));
  RefusingWriter writer;
  Configure(&writer, log, 100, 2);
  writer.allowed_opens = 1;
  EXPECT_EQ(writer.OpenOutput(), 1);
  EXPECT_EQ(writer.Rotation().SizeCounter(), -1);
  EXPECT_EQ(ReadWholeFile(dir.File("app1.log")), std::string(100, 'o'));
  EXPECT_FALSE(FileExists(log));
  writer.allowed_opens = 1000;
  EXPECT_EQ(Write(&writer, "first\n"), 1);
  EXPECT_EQ(ReadWholeFile(log), "first\n");
}

TEST(Rotation, TextAppendedByAnotherWriterIsNotCountedUntilARefresh) {
  ScratchDir dir;
  LockedLogWriter writer;
  std::string log = OpenLog(dir, &writer, 100, 2);
  const std::string own(50, 'a'), other(200, 'o');
  ASSERT_EQ(Write(&writer, own), 1);
  AppendAsAnotherWriter(log, other);
  ASSERT_EQ(Write(&writer, "tail\n"), 1);
  EXPECT_EQ(writer.Rotation().SizeCounter(), 55);
  EXPECT_EQ(ReadWholeFile(log), own + other + "tail\n");
  EXPECT_FALSE(FileExists(dir.File("app1.log")));
  EXPECT_EQ(writer.Rotation().RefreshFileSize(), 1);
  EXPECT_EQ(writer.Rotation().SizeCounter(), 255);
  ASSERT_EQ(Write(&writer, "z"), 1);
  EXPECT_EQ(writer.Rotation().SizeCounter(), 0);
  EXPECT_EQ(ReadWholeFile(dir.File("app1.log")), own + other + "tail\nz");
}

TEST(Rotation, UnknownSizeIsReadAgainOnlyWhenMoreThanAnHourHasPassed) {
  ScratchDir dir;
  LockedLogWriter writer;
  std::string log = OpenLog(dir, &writer, 1000, 2);
  ASSERT_EQ(Write(&writer, "0123456789"), 1);
  int64_t now = platform::CurrentTimeSeconds();
  // An hour less one second: a tick of the clock during the test makes it the full hour,
  // which still waits.
  ForgetSizeSince(&writer, now - kSizeRecheckSeconds + 1);
  ASSERT_EQ(Write(&writer, "a"), 1);
  EXPECT_EQ(writer.Rotation().SizeCounter(), -1);
  EXPECT_EQ(writer.Rotation().LastSizeCheck(), now - kSizeRecheckSeconds + 1);
  // A clock that went back waits too.
  ForgetSizeSince(&writer, now + 100000);
  ASSERT_EQ(Write(&writer, "b"), 1);
  EXPECT_EQ(writer.Rotation().SizeCounter(), -1);
  ForgetSizeSince(&writer, now - kSizeRecheckSeconds - 1);
  ASSERT_EQ(Write(&writer, "c"), 1);
  EXPECT_EQ(writer.Rotation().SizeCounter(), 13);
  EXPECT_GE(writer.Rotation().LastSizeCheck(), now);
}

TEST(Rotation, ZeroLengthBlockStillRunsTheSizeCheck) {
  ScratchDir dir;
  LockedLogWriter writer;
  std::string log = OpenLog(dir, &writer, 100, 2);
  ASSERT_EQ(Write(&writer, std::string(50, 'a')), 1);
  AppendAsAnotherWriter(log, std::string(100, 'o'));
  ForgetSizeSince(&writer, platform::CurrentTimeSeconds() - kSizeRecheckSeconds - 1);
  EXPECT_EQ(writer.WriteAll("ignored", 0), 1);
  EXPECT_EQ(writer.Rotation().SizeCounter(), 0);
  EXPECT_EQ(ReadWholeFile(dir.File("app1.log")), std::string(50, 'a') + std::string(100, 'o'));
  EXPECT_EQ(ReadWholeFile(log), "");
}

TEST(Rotation, SizeThatCannotBeReadIsUnknownAndSaidOnStandardOutput) {
  // With no file open the platform cannot tell a size: the one clean way to this path.
  LockedLogWriter writer;
  int64_t before = platform::CurrentTimeSeconds();
  CapturedOutput captured(stdout);
  EXPECT_EQ(writer.Rotation().RefreshFileSize(), 0);
  EXPECT_EQ(captured.Release(), kCannotGetFileInfo);
  EXPECT_EQ(writer.Rotation().SizeCounter(), -1);
  EXPECT_GE(writer.Rotation().LastSizeCheck(), before);
}

// A size counted in 32 bits reads 2 GiB + 100 as negative and 4 GiB + 10 as 10, and such a
// log is never rotated; the size is counted in 64 bits.
TEST(Rotation, LogOfTwoGiBOrMoreIsMeasuredAndRotatedAtStartUp) {
  for (uint64_t size : {2 * kGiB + 100, 4 * kGiB + 10}) {
    ScratchDir dir;
    std::string log = dir.File("big.log");
    ASSERT_TRUE(MakeSparseFile(log, size)) << size;
    LockedLogWriter writer;
    Configure(&writer, log, 1000, 2);
    ASSERT_EQ(writer.OpenOutput(), 1);
    EXPECT_EQ(writer.Rotation().SizeCounter(), 0) << size;
    EXPECT_EQ(SizeOf(dir.File("big1.log")), size);
    EXPECT_EQ(SizeOf(log), 0u);
  }
}

TEST(Rotation, LogGrownPastTwoGiBBehindTheWritersBackIsRotatedAtTheHourlyCheck) {
  ScratchDir dir;
  std::string log = dir.File("big.log");
  LockedLogWriter writer;
  Configure(&writer, log, 1000, 2);
  ASSERT_EQ(writer.OpenOutput(), 1);
  ASSERT_EQ(Write(&writer, "a\n"), 1);
  std::error_code error;
  fs::resize_file(log, 3 * kGiB, error);
  ASSERT_FALSE(error) << error.message();
  ASSERT_EQ(Write(&writer, "b\n"), 1);
  EXPECT_EQ(writer.Rotation().SizeCounter(), 4);
  ForgetSizeSince(&writer, platform::CurrentTimeSeconds() - kSizeRecheckSeconds - 1);
  ASSERT_EQ(Write(&writer, "c\n"), 1);
  EXPECT_EQ(writer.Rotation().SizeCounter(), 0);
  EXPECT_EQ(SizeOf(dir.File("big1.log")), 3 * kGiB + 4);
  EXPECT_EQ(SizeOf(log), 0u);
}

// Lengths well below the limits below, so that every file holds several messages.
constexpr Lengths kShort{kMessageHeader, 400, false};

std::string ShortMessage(int client, int sequence) { return MakeMessage(client, sequence, kShort); }

// Reads the backups and then the log. With more backup numbers than rotations none is
// reused, and each rotation takes the lowest free number, so the numbers rise with age.
// Together the files must hold every message exactly once, whole, each client's in order,
// and each backup must have been rotated by the message that took it over the limit.
void ExpectEveryMessageOnceAndInOrder(const std::string& log, int backups, int limit, int clients,
                                      int messages) {
  std::vector<std::string> files = FilesInWritingOrder(log, backups);
  ASSERT_LE(static_cast<int>(files.size()), backups) << "a backup may have been reused";
  ASSERT_GT(files.size(), 3u) << "too few rotations to test anything";
  LogReader reader(clients, kShort);
  ASSERT_TRUE(reader.ReadRotated(files, limit));
  for (int c = 0; c < clients; ++c) EXPECT_EQ(reader.next[c], messages) << "client " << c;
}

TEST(Rotation, ThreadsSharingTheWriterLoseNothingAcrossRotations) {
  constexpr int kThreads = 6, kMessages = 150, kLimit = 2000, kBackups = 1000;
  ScratchDir dir;
  LockedLogWriter writer;
  std::string log = OpenLog(dir, &writer, kLimit, kBackups);
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int s = 0; s < kMessages; ++s)
        if (Write(&writer, ShortMessage(t, s)) != 1) ++failures[t];
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
  ExpectEveryMessageOnceAndInOrder(log, kBackups, kLimit, kThreads, kMessages);
}

// The backups of a ring that has been reused many times, read in the order they were written
// (one client's messages), and then the log: every backup number must be taken and together
// they must hold one unbroken run of messages that ends with the last one sent. Each backup
// must have been rotated by the message that took it over the limit, so the run is that of
// the newest rotations.
void ExpectTheNewestRunInTheRing(const std::string& log, int backups, int limit, int messages,
                                 const Lengths& lengths) {
  std::vector<std::string> files = RingInWritingOrder(log, backups);
  ASSERT_EQ(files.size(), static_cast<size_t>(backups) + 1) << "a backup number was never taken";
  LogReader reader(1, lengths);
  reader.next[0] = FirstSequence(ReadWholeFile(files[0]));
  ASSERT_GE(reader.next[0], 0) << files[0] << " holds no message";
  const int first = reader.next[0];
  ASSERT_TRUE(reader.ReadRotated(files, limit)) << "the run kept begins at " << first;
  EXPECT_EQ(reader.next[0], messages) << "the run kept, from " << first << ", misses the newest";
}

// Some 30 rotations within a second, as 5 MB/s of log text gives at the default limit: the
// ring must still keep the newest text.
TEST(RotationServer, RotationsWithinOneSecondKeepTheNewestMessages) {
  constexpr int kMessages = 300, kLength = 101, kLimit = 1000, kBackups = 5;
  ScratchDir dir;
  LogServer server(dir);
  ASSERT_TRUE(server.Start(RotationOptions(kLimit, kBackups)));
  std::vector<std::string> messages;
  for (int s = 0; s < kMessages; ++s) messages.push_back(MakeMessage(0, s, Exactly(kLength)));
  ASSERT_TRUE(SendMessages(server.pipe, messages));
  ASSERT_TRUE(server.WaitForClientsDone(1));
  ExpectTheNewestRunInTheRing(server.log, kBackups, kLimit, kMessages, Exactly(kLength));
  EXPECT_EQ(server.Stop(), 1);
}

// Names are used exactly as given, also where the system's narrow names would turn them into
// others (Windows' ANSI code page: Łódź into Lódz). The log rotates under its own name and
// the files of the look-alike name are left alone; a pipe of the look-alike name is another
// pipe.
TEST(RotationServer, NamesAreUsedExactlyAndTheirLookAlikesAreLeftAlone) {
  ScratchDir dir;
  const std::string log = dir.File("Łódź.log"), look_alike = dir.File("Lódz.log"),
                    look_alike_backup = dir.File("Lódz1.log");
  ASSERT_TRUE(WriteWholeFile(look_alike, "foreign log\n"));
  ASSERT_TRUE(WriteWholeFile(look_alike_backup, "foreign backup\n"));
  LogServer server(dir);
  server.log = log;
  ASSERT_TRUE(server.Start(RotationOptions(10, 2)));
  ASSERT_TRUE(SendMessages(server.pipe, {"over the limit\n", "next\n"}));
  ASSERT_TRUE(server.WaitForClientsDone(1));
  EXPECT_EQ(server.Stop(), 1);
  EXPECT_EQ(ReadWholeFile(dir.File("Łódź1.log")), "over the limit\n");
  EXPECT_EQ(ReadWholeFile(log), "next\n");
  EXPECT_EQ(ReadWholeFile(look_alike), "foreign log\n");
  EXPECT_EQ(ReadWholeFile(look_alike_backup), "foreign backup\n");

  const std::string tag = UniqueTag();
  LogServer exact(dir, platform::MakePipeName(dir.path(), "Łódź-" + tag));
  LogServer similar(dir, platform::MakePipeName(dir.path(), "Lódz-" + tag));
  exact.log = dir.File("exact.log");
  similar.log = dir.File("similar.log");
  ASSERT_TRUE(exact.Start());
  ASSERT_TRUE(similar.Start()) << similar.program.Stdout();
  EXPECT_EQ(similar.Stop(), 1);
  EXPECT_EQ(exact.Stop(), 1);
}

// Here the test is the other process. It appends only while no client writes: concurrent
// appends from two processes lose data under wine.
TEST(RotationServer, TextAppendedByAnotherProcessIsNotCountedAndTheNextMessageFollowsIt) {
  ScratchDir dir;
  LogServer server(dir);
  ASSERT_TRUE(server.Start({"--filesize=100", "--numbackups=2"}));
  const std::string own(50, 'a'), other(200, 'o');
  ASSERT_TRUE(SendMessages(server.pipe, {own}));
  ASSERT_TRUE(server.WaitForClientsDone(1));
  AppendAsAnotherWriter(server.log, other);
  ASSERT_TRUE(SendMessages(server.pipe, {"tail\n"}));
  ASSERT_TRUE(server.WaitForClientsDone(2));
  EXPECT_EQ(ReadWholeFile(server.log), own + other + "tail\n");
  EXPECT_FALSE(FileExists(dir.File("server1.log")));
  // The server counts its own 55 bytes: 46 more take it over the limit.
  ASSERT_TRUE(SendMessages(server.pipe, {std::string(46, 'z')}));
  ASSERT_TRUE(server.WaitForClientsDone(3));
  EXPECT_EQ(ReadWholeFile(dir.File("server1.log")), own + other + "tail\n" + std::string(46, 'z'));
  EXPECT_EQ(ReadWholeFile(server.log), "");
  EXPECT_EQ(server.Stop(), 1);
}

}  // namespace
}  // namespace test
