// Rotation in a running server when the world around the log misbehaves: a descriptor table
// that is full, a log removed or moved away from outside. Each test says what became of the
// text. These cases exist on POSIX only; elsewhere they skip themselves.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "log_server_fixture.h"
#include "messages.h"

namespace test {
namespace {

namespace fs = std::filesystem;

// Removes or moves the open log as another program would; "" when done, else why this system
// does not allow it (Windows: the server's handle does not share deletion).
std::string RemoveFromOutside(const std::string& log) {
  std::error_code error;
  if (fs::remove(log, error)) return "";
  return "this system does not let the open log be removed (" + error.message() + ")";
}

std::string MoveFromOutside(const std::string& log, const std::string& to) {
  std::error_code error;
  fs::rename(log, to, error);
  if (!error) return "";
  return "this system does not let the open log be moved (" + error.message() + ")";
}

// Message `n` of the one writing client below, 100 bytes long: eleven take a file over a
// limit of 1000 bytes.
std::string Hundred(int n) { return MakeMessage(0, n, Exactly(100)); }

// The files of `log` as the server wrote them: `before` (a file that held the log earlier,
// or ""), the backups taken in order and the log. Together they must hold messages `first`
// to `last` of Hundred, unbroken, each backup rotated right after the message that took it
// over `limit`, and no note.
void ExpectUnbrokenAndRotated(const std::string& before, const std::string& log, int backups,
                              int limit, int first, int last) {
  LogReader reader(1, Exactly(100));
  reader.next[0] = first;
  if (!before.empty()) {
    ASSERT_TRUE(reader.ReadFile(before, ReadWholeFile(before)));
  }
  ASSERT_TRUE(reader.ReadRotated(FilesInWritingOrder(log, backups), limit))
      << "(a note, a message lost, or a log that grows unrotated)";
  EXPECT_EQ(reader.next[0], last + 1);
}

// The case as seen: the live log removed, or moved away, then 220 messages of 100 bytes into
// a limit of 1000. Nothing may go into a removed file, and rotation must go on. Moved away,
// the log keeps its text and takes what it would have taken in place, up to the rotation,
// which finds nothing to move.
TEST(RotationFault, LogRemovedOrMovedFromOutsideLosesNothingAndRotationGoesOn) {
  constexpr int kLast = 220, kLimit = 1000, kBackups = 100;
  for (bool removed : {true, false}) {
    SCOPED_TRACE(removed ? "removed" : "moved away");
    ScratchDir dir;
    LogServer server(dir);
    ASSERT_TRUE(server.Start(RotationOptions(kLimit, kBackups)));
    PipeClient client;
    ASSERT_TRUE(client.Connect(server.pipe));
    ASSERT_TRUE(client.Send(Hundred(0)));
    ASSERT_TRUE(PollUntil([&] { return SizeOf(server.log) == 100; }));
    std::string moved = removed ? "" : dir.File("moved.log");
    std::string why = removed ? RemoveFromOutside(server.log) : MoveFromOutside(server.log, moved);
    if (!why.empty()) GTEST_SKIP() << why;
    for (int n = 1; n <= kLast; ++n) ASSERT_TRUE(client.Send(Hundred(n)));
    client.Close();
    ASSERT_TRUE(server.WaitForClientsDone(1));
    if (!removed) {
      EXPECT_EQ(SizeOf(moved), 1100u);
    }
    ExpectUnbrokenAndRotated(moved, server.log, kBackups, kLimit, removed ? 1 : 0, kLast);
    EXPECT_EQ(server.program.Stderr(), kReadyByte);
    EXPECT_EQ(server.Stop(), 1);
  }
}

// How many of the descriptors numbered below `limit` a process has open, from /proc; -1 where
// there is none. (One inherited from far above the limit may stay open, and does not count.)
int OpenDescriptorsBelow(long pid, int limit) {
  std::error_code error;
  int count = 0;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
       !error && it != end; it.increment(error))
    if (std::atoi(it->path().filename().string().c_str()) < limit) ++count;
  return error ? -1 : count;
}

// With the descriptor table full of idle clients, and more waiting to be
// accepted, every rotation closes the log and opens a new one. The accept loop must never
// take the descriptor in between.
TEST(RotationFault, FullDescriptorTableNeverCostsARotationItsLog) {
  constexpr int kLimitFiles = 32, kIdle = 40, kMessages = 5000, kLimit = 1000, kBackups = 1000;
  std::string prlimit = SystemTool("prlimit");
  if (prlimit.empty()) GTEST_SKIP() << "needs prlimit (util-linux) on a POSIX system";
  ScratchDir dir;
  LogServer server(dir);
  std::vector<std::string> argv{prlimit,
                                "--nofile=" + std::to_string(kLimitFiles),
                                "--",
                                LoggerPath(),
                                "--input=" + server.pipe,
                                "--output=" + server.log};
  for (const std::string& option : RotationOptions(kLimit, kBackups)) argv.push_back(option);
  ASSERT_TRUE(server.program.Start(argv));
  ASSERT_TRUE(server.program.WaitForStderr(kReadyByte)) << server.program.Stderr();
  long pid = FindProcess(server.pipe);
  auto open_descriptors = [&] { return OpenDescriptorsBelow(pid, kLimitFiles); };
  if (pid <= 0 || open_descriptors() < 0) GTEST_SKIP() << "needs /proc to see the server";

  PipeClient writer;
  ASSERT_TRUE(writer.Connect(server.pipe));
  ASSERT_TRUE(writer.Send(Hundred(0)));
  ASSERT_TRUE(PollUntil([&] { return SizeOf(server.log) == 100; }));
  std::vector<std::unique_ptr<PipeClient>> idle;
  for (int i = 0; i < kIdle; ++i) {
    idle.push_back(std::make_unique<PipeClient>());
    ASSERT_TRUE(idle.back()->Connect(server.pipe)) << "idle client " << i;
  }
  ASSERT_TRUE(PollUntil([&] { return open_descriptors() == kLimitFiles; }))
      << open_descriptors() << " descriptors open, the table holds " << kLimitFiles;

  int sent = 1;
  while (sent < kMessages && writer.Send(Hundred(sent))) ++sent;
  ASSERT_EQ(sent, kMessages) << "the server dropped the writer:\n"
                             << server.program.Stdout() << server.program.Stderr();
  writer.Close();
  ASSERT_TRUE(server.WaitForClientsDone(1, 60000));
  EXPECT_EQ(CountOf(server.program.Stdout(), kWriteAllFailed), 0) << server.program.Stdout();
  EXPECT_EQ(CountOf(server.program.Stderr(), CannotOpenLogStart(server.log)), 0)
      << server.program.Stderr();
  ExpectUnbrokenAndRotated("", server.log, kBackups, kLimit, 0, kMessages - 1);
  idle.clear();
  EXPECT_EQ(server.Stop(), 1);
}

}  // namespace
}  // namespace test
