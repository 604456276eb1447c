// The control client: its option parsing and command line, and the real TellTobrinManager
// program talking to a scripted manager on loopback.
#include "tell.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "tell_messages.h"
#include "test_support.h"
#include "tools/support/sockets.h"
#include "tools/support/spawn.h"

namespace {

constexpr int kWaitMs = 20000;

struct Argv {
  explicit Argv(std::vector<std::string> words) : words(std::move(words)) {
    for (auto& word : this->words) pointers.push_back(&word[0]);
  }
  int argc() const { return static_cast<int>(pointers.size()); }
  char** argv() { return pointers.data(); }
  std::vector<std::string> words;
  std::vector<char*> pointers;
};

TEST(TellOptions, PairsUntilTheFirstOtherWordLastOneWins) {
  Argv plain({"tell", "get", "all"});
  TellOptions options = ParseTellOptions(plain.argc(), plain.argv());
  EXPECT_STREQ(options.host, "127.0.0.1");
  EXPECT_EQ(options.port, 4328);
  EXPECT_EQ(options.command_start, 1);
  EXPECT_FALSE(options.help);

  // A value is taken whatever it looks like; -H is no option and starts the command.
  Argv pairs({"tell", "-p", "1", "-h", "-p", "-p", "12x", "-H", "-help"});
  options = ParseTellOptions(pairs.argc(), pairs.argv());
  EXPECT_STREQ(options.host, "-p");
  EXPECT_EQ(options.port, 12);
  EXPECT_EQ(options.command_start, 7);
  EXPECT_FALSE(options.help);
}

std::string Built(std::vector<std::string> words, int capacity = kTellBufferSize) {
  Argv args(std::move(words));
  std::vector<char> buffer(capacity);
  int length = BuildCommandLine(args.argc(), args.argv(), 1, buffer.data(), capacity);
  if (length < 0) return "<refused>";
  EXPECT_EQ(buffer[length], '\0');
  return std::string(buffer.data(), length);
}

TEST(TellCommandLine, EveryWordThenBlankThenLineFeed) {
  EXPECT_EQ(Built({"t", "get", "all"}), "get all \n");
  EXPECT_EQ(Built({"t", "set", "loglevel", "TRACE"}), "set loglevel TRACE \n");
  EXPECT_EQ(Built({"t"}), "\n");
  EXPECT_EQ(Built({"t", ""}), " \n");
}

TEST(TellCommandLine, RefusedWhenItAndItsZeroDoNotFit) {
  EXPECT_EQ(Built({"t", std::string(kTellBufferSize - 3, 'x')}).size(), kTellBufferSize - 1u);
  EXPECT_EQ(Built({"t", std::string(kTellBufferSize - 2, 'x')}), "<refused>");
  EXPECT_EQ(Built({"t", "ab", "cd"}, 8), "ab cd \n");
  EXPECT_EQ(Built({"t", "ab", "cde"}, 8), "<refused>");
  EXPECT_EQ(Built({"t", "ab", "", "", "", ""}, 8), "<refused>");

  // Nothing lands past the capacity given.
  char buffer[16];
  std::fill(buffer, buffer + 16, '#');
  Argv args({"t", "abcdef", "ghijklmnop"});
  EXPECT_EQ(BuildCommandLine(args.argc(), args.argv(), 1, buffer, 8), -1);
  EXPECT_EQ(std::string(buffer + 8, 8), "########");
}

std::string Printed(const std::string& reply) {
  test::ScratchDir dir;
  std::FILE* file = std::fopen(dir.File("reply").c_str(), "w+b");
  if (!file) return "<cannot open a file>";
  PrintReply(file, reply.data(), static_cast<int>(reply.size()));
  std::string out(reply.size(), '\0');
  std::rewind(file);
  out.resize(std::fread(&out[0], 1, out.size(), file));
  std::fclose(file);
  return out;
}

TEST(TellReply, PrintedAsDataUpToTheFirstZero) {
  EXPECT_EQ(Printed("100% %s %d %n\n"), "100% %s %d %n\n");
  EXPECT_EQ(Printed(std::string("abc\0def", 7)), "abc");
  std::string full(kTellBufferSize, 'r');
  full.back() = '!';
  EXPECT_EQ(Printed(full), full);
}

// Stands for a greeting or reply that the manager never sends: it stays silent instead.
const std::string kSilent = "<silent>";

// The manager's side of one control connection, as scripted: it greets (or, without a
// greeting, ends its sending side at once), takes the command with one receive, sends the
// reply, and records whatever else the client sends until the connection ends.
class FakeManager {
 public:
  FakeManager(std::string greeting, std::string reply)
      : greeting_(std::move(greeting)), reply_(std::move(reply)) {
    listening_ = platform::ListenOnLoopback(0, &listener_, &port_);
    if (listening_) thread_ = std::thread([this] { Serve(); });
  }
  ~FakeManager() { Finish(); }
  bool listening() const { return listening_; }
  uint16_t port() const { return port_; }

  void Finish() {
    if (thread_.joinable()) thread_.join();
    platform::CloseSocket(listener_);
    listener_ = platform::kNoSocket;
  }

  std::string command;   ///< The bytes of the one receive.
  std::string trailing;  ///< Anything sent after them.

 private:
  void Serve() {
    platform::Socket connection;
    if (!platform::AcceptConnection(listener_, kWaitMs, &connection)) return;
    if (greeting_.empty()) {
      platform::ShutdownSending(connection);
    } else if (greeting_ != kSilent) {
      platform::SendAll(connection, greeting_);
      platform::ReceiveWithin(connection, kWaitMs, kTellBufferSize, &command);
      if (reply_ != kSilent) platform::SendAll(connection, reply_);
    }
    platform::ReceiveUntilClosed(connection, kWaitMs, &trailing);
    platform::CloseSocket(connection);
  }
  std::string greeting_, reply_;
  platform::Socket listener_ = platform::kNoSocket;
  uint16_t port_ = 0;
  bool listening_ = false;
  std::thread thread_;
};

class TellProgram : public test::SocketTest {
 protected:
  static test::RunResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), test::TellPath());
    return test::RunProgram(args, "", kWaitMs);
  }
  /// Runs the program with `args` against `manager`, then waits until the manager's side of
  /// the connection has ended.
  static test::RunResult RunAgainst(FakeManager* manager, std::vector<std::string> args) {
    test::RunResult run = Run(std::move(args));
    manager->Finish();
    return run;
  }
};

TEST_F(TellProgram, SendsTheCommandLineAndPrintsTheReplyUnchanged) {
  FakeManager manager("Manager ready\n", "loglevel 100% %s %d %n\n");
  ASSERT_TRUE(manager.listening());
  test::RunResult run = RunAgainst(&manager, {"-p", std::to_string(manager.port()), "get", "all"});
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(manager.command, "get all \n");
  EXPECT_EQ(manager.trailing, "");
  EXPECT_EQ(run.out, "loglevel 100% %s %d %n\n");  // The greeting is never shown.
  EXPECT_EQ(run.err, "");
}

TEST_F(TellProgram, HostPortAndHelpInsideTheCommandAreSent) {
  // The last -h wins, and the port wraps around at 65536.
  FakeManager manager("hello", std::string("done\0hidden", 11));
  ASSERT_TRUE(manager.listening());
  test::RunResult run =
      RunAgainst(&manager, {"-h", "localhost", "-p", std::to_string(manager.port() + 65536), "-h",
                            "127.0.0.1", "set", "loglevel", "TRACE", "-help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(manager.command, "set loglevel TRACE -help \n");
  EXPECT_EQ(run.out, "done");
  EXPECT_EQ(run.err, "");
}

TEST_F(TellProgram, TextThatIsNoAddressFallsBackToLoopback) {
  for (const char* host : {"localhost", "255.255.255.255"}) {
    FakeManager manager("hi", "ok\n");
    ASSERT_TRUE(manager.listening());
    test::RunResult run =
        RunAgainst(&manager, {"-h", host, "-p", std::to_string(manager.port()), "get", "all"});
    EXPECT_EQ(run.status, 0) << host;
    EXPECT_EQ(manager.command, "get all \n") << host;
    EXPECT_EQ(run.out, "ok\n") << host;
    EXPECT_EQ(run.err, test::Format(kUnknownHostFormat, host));
  }
}

TEST_F(TellProgram, ManagerClosingWithoutGreetingGetsNothing) {
  FakeManager manager("", "unused");
  ASSERT_TRUE(manager.listening());
  test::RunResult run = RunAgainst(&manager, {"-p", std::to_string(manager.port()), "get", "all"});
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.status, platform::ReportedExitStatus(-1));
  EXPECT_EQ(run.err, test::Format(kReceiveFailedFormat, 0));
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(manager.trailing, "");
}

// What this system's receive reports when its time-out runs out, found the same way.
std::error_code TimedOutReceive() {
  platform::Socket listener = platform::kNoSocket;
  platform::Socket socket = platform::CreateTcpSocket();
  uint16_t port = 0;
  std::error_code timed_out;
  char byte;
  if (platform::ListenOnLoopback(0, &listener, &port) &&
      platform::ConnectSocket(socket, platform::ParseIpv4Address("127.0.0.1"), port) &&
      platform::SetReceiveTimeout(socket, 1))
    platform::ReceiveOnce(socket, &byte, 1, &timed_out);
  platform::CloseSocket(socket);
  platform::CloseSocket(listener);
  return timed_out;
}

TEST_F(TellProgram, SilentManagerFailsTheWaitingReceiveAfterTheTimeOut) {
  // The program passes kTellReceiveTimeoutMs, too long for a test; here the exchange gets a
  // time-out that still leaves the manager's thread time to greet on a busy machine. The
  // manager stays silent until the test closes the client's socket.
  constexpr int kTimeoutMs = 1000;
  const std::error_code timed_out = TimedOutReceive();
  ASSERT_NE(timed_out.value(), 0);
  for (const char* greeting : {kSilent.c_str(), "hello"}) {
    FakeManager manager(greeting, kSilent);
    ASSERT_TRUE(manager.listening());
    TellOptions options;
    options.port = manager.port();
    platform::Socket socket = platform::CreateTcpSocket();
    test::CapturedOutput err(stderr);
    int status = ExchangeWithManager(socket, options, "get all \n", 9, kTimeoutMs);
    std::string printed = err.Release();
    platform::CloseSocket(socket);
    manager.Finish();
    EXPECT_EQ(status, -1) << greeting;
    EXPECT_EQ(printed, test::Format(kReceiveFailedFormat, timed_out.value())) << greeting;
    EXPECT_EQ(manager.command + manager.trailing, greeting == kSilent ? "" : "get all \n")
        << greeting;
  }
}

TEST_F(TellProgram, RefusedConnectionReportsTheSocketError) {
  platform::Socket closed;
  uint16_t port = 0;
  ASSERT_TRUE(platform::ListenOnLoopback(0, &closed, &port));
  platform::CloseSocket(closed);
  // The code this system gives for a refused connection, found the same way.
  platform::Socket probe = platform::CreateTcpSocket();
  ASSERT_TRUE(platform::IsOpen(probe));
  std::error_code refused;
  ASSERT_FALSE(
      platform::ConnectSocket(probe, platform::ParseIpv4Address("127.0.0.1"), port, &refused));
  platform::CloseSocket(probe);

  test::RunResult run = Run({"-p", std::to_string(port), "get", "all"});
  EXPECT_EQ(run.status, platform::ReportedExitStatus(-1));
  EXPECT_EQ(run.err, test::Format(kConnectFailedFormat, refused.value()));
  EXPECT_EQ(run.out, "");
}

TEST_F(TellProgram, HelpAndMissingCommandPrintUsage) {
  test::RunResult help = Run({"-h", "127.0.0.1", "-help", "get", "all"});
  EXPECT_EQ(help.status, 1);
  EXPECT_EQ(help.out, test::TellUsage(test::TellPath()));
  EXPECT_EQ(help.err, "");

  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {}, {""}, {"-p", "4328", "-h"}, {"-h", "127.0.0.1", "-p"}}) {
    test::RunResult run = Run(args);
    EXPECT_EQ(run.status, platform::ReportedExitStatus(-1)) << args.size();
    EXPECT_EQ(run.err, kNoCommandGiven) << args.size();
    EXPECT_EQ(run.out, test::TellUsage(test::TellPath())) << args.size();
  }
}

TEST_F(TellProgram, CommandLineTooLongIsRefusedBeforeConnecting) {
  // Called in-process: a Windows command line cannot carry this many bytes.
  FakeManager manager("hello", "unused");
  ASSERT_TRUE(manager.listening());
  Argv args({"tell", "-p", std::to_string(manager.port()), std::string(kTellBufferSize - 2, 'x')});
  EXPECT_EQ(TellManagerMain(args.argc(), args.argv()), -1);
  // Releases the manager with an empty connection of our own; the client's would come first.
  platform::Socket own = platform::CreateTcpSocket();
  platform::ConnectSocket(own, platform::ParseIpv4Address("127.0.0.1"), manager.port());
  platform::CloseSocket(own);
  manager.Finish();
  EXPECT_EQ(manager.command, "");
}

}  // namespace
