// A real TobrinLogger started for one test, and pipe clients that talk to it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/pipe.h"
#include "server_messages.h"
#include "test_support.h"

class LogWriter;

namespace test {

inline constexpr char kReadyByte[] = "\x01";

/// The log server's usage text for the program name `program`.
std::string LoggerUsage(const std::string& program);
/// The start of the message for a log file that cannot be opened, up to the error code.
std::string CannotOpenLogStart(const std::string& log);
/// The note that a failed rotation of `log` to `backup` writes into the log.
std::string RenameFailedNote(const std::string& log, const std::string& backup);

/// The options that have a server rotate at `limit` bytes into `backups` backups.
std::vector<std::string> RotationOptions(int64_t limit, int backups);

/// Hands `text` to the writer's WriteAll as one block; its result.
int Write(LogWriter* writer, const std::string& text);

/// A unique pipe name inside `dir` (POSIX) or in the pipe namespace (Windows).
std::string UniquePipeName(const ScratchDir& dir);

/// One client connection, held open by the test: exactly one connection, never made again,
/// so that the tests see what the server does to it.
class PipeClient {
 public:
  ~PipeClient() { Close(); }
  bool Connect(const std::string& pipe);
  bool Send(const std::string& message);
  void Close();

 private:
  platform::PipeEnd end_;
  bool open_ = false;
};

/// Connects, sends each message, and closes.
bool SendMessages(const std::string& pipe, const std::vector<std::string>& messages);

/// Runs one client per entry of `batches` at once, each on its own connection, sending its
/// entry's messages in order. True when every client sent all of its messages.
bool SendBatchesConcurrently(const std::string& pipe,
                             const std::vector<std::vector<std::string>>& batches);

/// Runs a log server that is expected to end by itself while its manager stays (its
/// standard input open). Returns its status, -1000 when it had to be killed.
int RunWhileTheManagerStays(RunningProgram* program, const std::vector<std::string>& argv);

class LogServer {
 private:
  /// The directory of a server made without one, declared first: the names below are in it,
  /// and it is removed only after the program has ended.
  std::optional<ScratchDir> own_dir_;

 public:
  /// A server on a pipe of its own with its log in a scratch directory of its own.
  LogServer()
      : own_dir_(std::in_place),
        pipe(UniquePipeName(*own_dir_)),
        log(own_dir_->File("server.log")) {}
  explicit LogServer(const ScratchDir& dir)
      : pipe(UniquePipeName(dir)), log(dir.File("server.log")) {}
  /// A server on `pipe`, as one that takes over from another, with its log in `dir`.
  LogServer(const ScratchDir& dir, const std::string& pipe)
      : pipe(pipe), log(dir.File("server.log")) {}

  /// Starts the server with --input=pipe, `output` (default --output=log) and `extra`, and
  /// waits for its ready byte.
  bool Start(const std::vector<std::string>& extra = {}, const std::string& output = "");
  /// Waits until `clients` client threads have ended, each after its last message.
  bool WaitForClientsDone(int clients, int timeout_ms = 30000);
  /// Closes the server's standard input and waits for it to end; its status.
  int Stop();

  std::string pipe;
  std::string log;
  /// What Start gives the server as its standard input, the manager's end of the link.
  platform::ChildInput input = platform::ChildInput::kPipe;
  RunningProgram program;
};

/// A test with a log server on a pipe of its own and its log in the test's scratch
/// directory; the test starts it.
class ServerTest : public ::testing::Test {
 protected:
  ScratchDir dir;
  LogServer server{dir};
};

/// A ServerTest whose server is started, with no options beyond its pipe and log, before
/// the test runs.
class StartedServerTest : public ServerTest {
 protected:
  void SetUp() override { ASSERT_TRUE(server.Start()); }
};

}  // namespace test
