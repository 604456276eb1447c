// What the log server and the control client do with what others put in their way: nothing
// found at the pipe path is removed or followed
// (only a dead server's socket is replaced), text from outside is printed as data and never
// read as a format, and names too long for the system are refused, not overrun.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "log_server_fixture.h"
#include "platform/socket.h"
#include "tell_messages.h"
#include "tools/support/sockets.h"

namespace test {
namespace {

namespace fs = std::filesystem;

// Conversions that would read or write through arguments that are not there.
constexpr char kFormat[] = "%s%n%x%p%%";

// A dead server's socket: the server is killed, so nothing removes its name.
bool MakeStaleSocket(const ScratchDir& dir, const std::string& path) {
  LogServer dead(dir);
  dead.pipe = path;
  dead.log = dir.File("dead.log");
  // The name is bound after the ready byte; a client that got through proves it is there.
  return dead.Start() && SendMessages(path, {}) && FileExists(path);
}

TEST(Security, LiveServersPipeIsNeverTakenOverNorRemovedByAnEarlierOwner) {
  ScratchDir dir;
  LogServer first(dir);
  ASSERT_TRUE(first.Start());
  RunningProgram second;
  EXPECT_EQ(RunWhileTheManagerStays(&second, {LoggerPath(), "--input=" + first.pipe,
                                              "--output=" + dir.File("second.log")}),
            0);
  EXPECT_EQ(second.Stdout(), kCreatePipeFailed);

  // The first server still owns its name and serves on it. Where the name is a socket file
  // it has also seen the second one's probe come and go: a live server answers, which is
  // how the second one knew.
  ASSERT_TRUE(SendMessages(first.pipe, {"still here\n"}));
  ASSERT_TRUE(first.WaitForClientsDone(PipesAreFiles() ? 2 : 1));
  EXPECT_EQ(ReadWholeFile(first.log), "still here\n");
  EXPECT_EQ(ReadWholeFile(dir.File("second.log")), "");
  if (!PipesAreFiles()) {
    EXPECT_EQ(first.Stop(), 1);
    return;
  }

  // Once the first one's file is removed, a third server binds the path; the first one, as
  // it ends, must leave the third one's socket where it is.
  ASSERT_TRUE(fs::remove(first.pipe));
  LogServer third(dir);
  third.pipe = first.pipe;
  third.log = dir.File("third.log");
  ASSERT_TRUE(third.Start());
  ASSERT_TRUE(SendMessages(third.pipe, {}));
  EXPECT_EQ(first.Stop(), 1);
  ASSERT_TRUE(SendMessages(third.pipe, {"third\n"}));
  ASSERT_TRUE(third.WaitForClientsDone(2));
  EXPECT_EQ(ReadWholeFile(third.log), "third\n");
  EXPECT_EQ(third.Stop(), 1);
  EXPECT_FALSE(FileExists(third.pipe)) << "the last owner leaves its socket behind";
}

// A second server on the log of a live one is refused before its ready byte, the first one
// and its client going on untouched; after a rotation the lock is on the new log, and the
// backup is free.
TEST(Security, SecondServerOnALiveLogIsRefusedAlsoAfterARotation) {
  ScratchDir dir;
  LogServer first(dir);
  ASSERT_TRUE(first.Start(RotationOptions(100, 2)));
  PipeClient client;
  ASSERT_TRUE(client.Connect(first.pipe));
  const std::string backup = dir.File("server1.log"), before = "before\n", over(100, 'o');
  auto refused = [&](const std::string& when) {
    RunResult second =
        RunProgram({LoggerPath(), "--input=" + UniquePipeName(dir), "--output=" + first.log});
    EXPECT_EQ(second.status, 1) << when;
    EXPECT_EQ(second.err, Format(kLogLockedFormat, first.log.c_str())) << when;
    EXPECT_EQ(second.out, "") << when;
  };

  ASSERT_TRUE(client.Send(before));
  ASSERT_TRUE(PollUntil([&] { return ReadWholeFile(first.log) == before; }));
  refused("before a rotation");
  ASSERT_TRUE(client.Send(over));
  ASSERT_TRUE(PollUntil([&] { return ReadWholeFile(backup) == before + over; })) << "no rotation";
  refused("after a rotation");
  LogServer on_backup(dir, UniquePipeName(dir));
  on_backup.log = backup;
  ASSERT_TRUE(on_backup.Start()) << on_backup.program.Stderr();
  EXPECT_EQ(on_backup.Stop(), 1);

  ASSERT_TRUE(client.Send("after\n"));
  client.Close();
  ASSERT_TRUE(first.WaitForClientsDone(1));
  EXPECT_EQ(ReadWholeFile(first.log), "after\n");
  EXPECT_EQ(ReadWholeFile(backup), before + over);
  EXPECT_EQ(first.Stop(), 1);
  EXPECT_EQ(first.program.Stderr().find("LogServer:"), std::string::npos) << first.program.Stderr();
}

TEST(Security, StaleSocketOfADeadServerIsReplaced) {
  if (!PipesAreFiles()) GTEST_SKIP() << "pipe names are not files here";
  ScratchDir dir;
  std::string pipe = UniquePipeName(dir);
  ASSERT_TRUE(MakeStaleSocket(dir, pipe));
  LogServer server(dir);
  server.pipe = pipe;
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(SendMessages(pipe, {"new owner\n"}));
  ASSERT_TRUE(server.WaitForClientsDone(1));
  EXPECT_EQ(ReadWholeFile(server.log), "new owner\n");
  EXPECT_EQ(server.Stop(), 1);
}

TEST(Security, NothingElseAtThePipePathIsRemovedOrFollowed) {
  if (!PipesAreFiles()) GTEST_SKIP() << "pipe names are not files here";
  ScratchDir dir;
  const std::string file = dir.File("file"), directory = dir.File("directory"),
                    to_file = dir.File("to_file"), dangling = dir.File("dangling"),
                    to_stale = dir.File("to_stale"), target = dir.File("target"),
                    nowhere = dir.File("nowhere"), stale = dir.File("stale.sock");
  ASSERT_TRUE(WriteWholeFile(file, "precious\n"));
  fs::create_directories(directory);
  ASSERT_TRUE(WriteWholeFile(directory + "/inside", "kept\n"));
  ASSERT_TRUE(WriteWholeFile(target, "target\n"));
  ASSERT_TRUE(MakeStaleSocket(dir, stale));
  std::error_code error;
  fs::create_symlink(target, to_file, error);
  fs::create_symlink(nowhere, dangling, error);
  fs::create_symlink(stale, to_stale, error);
  ASSERT_FALSE(error) << "cannot make symbolic links: " << error.message();

  for (const std::string& path : {file, directory, to_file, dangling, to_stale}) {
    RunningProgram server;
    EXPECT_EQ(RunWhileTheManagerStays(
                  &server, {LoggerPath(), "--input=" + path, "--output=" + dir.File("server.log")}),
              0)
        << path;
    EXPECT_EQ(server.Stdout(), kCreatePipeFailed) << path;
  }
  EXPECT_EQ(ReadWholeFile(file), "precious\n");
  EXPECT_EQ(ReadWholeFile(directory + "/inside"), "kept\n");
  EXPECT_EQ(ReadWholeFile(target), "target\n");
  for (const std::string& link : {to_file, dangling, to_stale}) EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(to_file), target);
  EXPECT_EQ(fs::read_symlink(dangling), nowhere);
  EXPECT_EQ(fs::read_symlink(to_stale), stale);
  EXPECT_FALSE(FileExists(nowhere)) << "a socket was made where a link pointed";
  EXPECT_EQ(fs::symlink_status(stale).type(), fs::file_type::socket);
}

// A copy of `program` whose own name is a format, for the usage text.
std::string CopyNamed(const std::string& program, const ScratchDir& dir, const std::string& name) {
  std::string suffix =
      program.size() > 4 && program.substr(program.size() - 4) == ".exe" ? ".exe" : "";
  std::string copy = dir.File(name + suffix);
  std::error_code error;
  fs::copy_file(program, copy, error);
  return error ? "" : copy;
}

TEST(Security, TextFromOutsideIsPrintedAsDataNeverAsAFormat) {
  ScratchDir dir;
  const std::string f = kFormat;

  // Names and messages full of conversions are used as they are.
  LogServer server(dir);
  server.pipe = platform::MakePipeName(dir.path(), "pipe" + f + UniqueTag());
  server.log = dir.File("log" + f + ".log");
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(SendMessages(server.pipe, {f + "\n"}));
  ASSERT_TRUE(server.WaitForClientsDone(1));
  EXPECT_EQ(ReadWholeFile(server.log), f + "\n");
  EXPECT_EQ(server.Stop(), 1);

  // Every message that repeats an argument repeats it byte for byte.
  struct Refusal {
    std::vector<std::string> args;
    std::string err;
  };
  const std::string unopenable = dir.File("no" + f + "/x.log");
  const std::vector<Refusal> refusals = {
      {{"--" + f}, Format(kUnknownOptionFormat, ("--" + f).c_str())},
      {{f}, Format(kInvalidArgumentFormat, f.c_str())},
      {{"--numbackups=" + f}, Format(kNumBackupsTooSmallFormat, ("--numbackups=" + f).c_str())},
      {{"--filesize=" + f}, Format(kFileSizeTooSmallFormat, ("--filesize=" + f).c_str())},
      {{"--input=x", "--output=" + unopenable}, CannotOpenLogStart(unopenable)},
  };
  for (const Refusal& refusal : refusals) {
    std::vector<std::string> argv{LoggerPath()};
    argv.insert(argv.end(), refusal.args.begin(), refusal.args.end());
    RunResult run = RunProgram(argv);
    EXPECT_EQ(run.status, 1) << refusal.args[0];
    EXPECT_EQ(run.err.substr(0, refusal.err.size()), refusal.err);
  }

  // The program's own name in the usage texts.
  std::string logger = CopyNamed(LoggerPath(), dir, "logger" + f);
  ASSERT_NE(logger, "");
  RunResult usage = RunProgram({logger, "--verbose"});
  EXPECT_EQ(usage.out, LoggerUsage(logger));
  std::string tell = CopyNamed(TellPath(), dir, "tell" + f);
  ASSERT_NE(tell, "");
  RunResult help = RunProgram({tell, "-help"});
  EXPECT_EQ(help.status, 1);
  EXPECT_EQ(help.out, TellUsage(tell));

  // The control client names a host it cannot read, then fails to connect to a closed port.
  platform::Socket listener;
  uint16_t port = 0;
  ASSERT_TRUE(platform::StartSockets());
  ASSERT_TRUE(platform::ListenOnLoopback(0, &listener, &port));
  platform::CloseSocket(listener);
  platform::StopSockets();
  RunResult host = RunProgram({TellPath(), "-h", f, "-p", std::to_string(port), "get", f});
  EXPECT_EQ(host.status, platform::ReportedExitStatus(-1));
  EXPECT_EQ(host.err.rfind(Format(kUnknownHostFormat, f.c_str()), 0), 0u) << host.err;
}

TEST(Security, NamesTooLongForTheSystemAreRefusedNotOverrun) {
  ScratchDir dir;
  RunningProgram server;
  EXPECT_EQ(RunWhileTheManagerStays(&server, {LoggerPath(), "--input=" + std::string(5000, 'p'),
                                              "--output=" + dir.File("server.log")}),
            0);
  EXPECT_EQ(server.Stdout(), kCreatePipeFailed);

  std::string long_log = dir.File(std::string(5000, 'l') + ".log");
  RunResult run =
      RunProgram({LoggerPath(), "--input=" + UniquePipeName(dir), "--output=" + long_log});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind(CannotOpenLogStart(long_log), 0), 0u);
}

}  // namespace
}  // namespace test
