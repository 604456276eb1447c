// The client library against the real server: connecting before it is up, the size rule,
// reconnecting across a restart, one client shared by threads; and pipe_client, which
// streams its standard input through the library.
#include "tobrin/client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log_server_fixture.h"
#include "messages.h"

namespace test {
namespace {

constexpr int kConnectTimeoutMs = 20000;

// Both systems give 2 for a pipe name nobody serves: ENOENT, ERROR_FILE_NOT_FOUND.
constexpr int kNoSuchPipe = 2;

int Send(tobrin_client* client, const std::string& message) {
  return tobrin_send(client, message.data(), message.size());
}

class Client : public ServerTest {};

TEST_F(Client, ConnectsToAServerThatComesUpLaterAndReportsOneThatNeverDoes) {
  EXPECT_EQ(tobrin_connect(server.pipe.c_str(), 0), nullptr);
  EXPECT_EQ(tobrin_last_error(), kNoSuchPipe);

  tobrin_client* client = nullptr;
  std::thread connecting([&] { client = tobrin_connect(server.pipe.c_str(), kConnectTimeoutMs); });
  bool started = server.Start();
  connecting.join();
  ASSERT_TRUE(started);
  ASSERT_NE(client, nullptr) << "system error " << tobrin_last_error();
  EXPECT_EQ(Send(client, "early\n"), 0);
  tobrin_close(client);
  ASSERT_TRUE(server.WaitForClientsDone(1));
  EXPECT_EQ(ReadWholeFile(server.log), "early\n");
  EXPECT_EQ(server.Stop(), 1);
}

TEST_F(Client, SendsTheLargestMessageWholeAndRefusesALongerOneOnTheSameConnection) {
  ASSERT_TRUE(server.Start());
  tobrin_client* client = tobrin_connect(server.pipe.c_str(), kConnectTimeoutMs);
  ASSERT_NE(client, nullptr);
  std::string largest(TOBRIN_MAX_MESSAGE, 'L');
  largest.back() = '\n';
  const std::string longer(TOBRIN_MAX_MESSAGE + 1, 'X');
  EXPECT_EQ(Send(client, largest), 0);
  EXPECT_EQ(Send(client, longer), TOBRIN_E_TOO_LONG);
  EXPECT_EQ(tobrin_last_error(), 0);
  // One long message in a batch holds back the whole batch.
  const tobrin_message batch[] = {{"kept back\n", 10}, {longer.data(), longer.size()}};
  size_t sent = 99;
  EXPECT_EQ(tobrin_send_many(client, batch, 2, &sent), TOBRIN_E_TOO_LONG);
  EXPECT_EQ(sent, 0u);
  EXPECT_EQ(Send(client, "after\n"), 0);
  tobrin_close(client);
  ASSERT_TRUE(server.WaitForClientsDone(1));
  EXPECT_EQ(ReadWholeFile(server.log), largest + "after\n");
  EXPECT_EQ(server.program.Stdout(), std::string(kReadFileFailed)) << "the connection was lost";
  EXPECT_EQ(server.Stop(), 1);
}

// The first send after the server ended finds it gone, waits for the next one (started
// while the send is under way) and delivers the message there.
TEST_F(Client, ReconnectsToTheNextServerAndSendsTheMessageThere) {
  ScratchDir next_dir;
  LogServer next(next_dir, server.pipe);
  ASSERT_TRUE(server.Start());
  tobrin_client* client = tobrin_connect(server.pipe.c_str(), kConnectTimeoutMs);
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(Send(client, "to the first\n"), 0);
  ASSERT_TRUE(PollUntil([&] { return ReadWholeFile(server.log) == "to the first\n"; }));
  ASSERT_EQ(server.Stop(), 1);

  int result = -100;
  std::thread sending([&] { result = Send(client, "to the next\n"); });
  bool started = next.Start();
  sending.join();
  ASSERT_TRUE(started);
  EXPECT_EQ(result, 0) << "system error " << tobrin_last_error();
  EXPECT_EQ(Send(client, "again\n"), 0);
  tobrin_close(client);
  ASSERT_TRUE(next.WaitForClientsDone(1));
  EXPECT_EQ(ReadWholeFile(server.log), "to the first\n");
  EXPECT_EQ(ReadWholeFile(next.log), "to the next\nagain\n");
  EXPECT_EQ(next.Stop(), 1);
}

// Each thread is a sender of its own in the messages; half of them send in batches. The
// reader finds every message whole, once, and in its thread's order.
TEST_F(Client, ThreadsSharingOneClientKeepEveryMessageWhole) {
  constexpr int kThreads = 8;
  constexpr int kBatch = 10;
  const int messages = PipesAreFiles() ? 200 : 60;
  ASSERT_TRUE(server.Start({"--filesize=2000000000"}));  // one file holds them all
  tobrin_client* client = tobrin_connect(server.pipe.c_str(), kConnectTimeoutMs);
  ASSERT_NE(client, nullptr);
  std::vector<int> failed(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::string> texts;
      for (int s = 0; s < messages; ++s) texts.push_back(MakeMessage(t, s));
      for (int s = 0; s < messages; s += kBatch) {
        if (t % 2 == 0) {
          for (int i = s; i < s + kBatch && i < messages; ++i) failed[t] += Send(client, texts[i]);
          continue;
        }
        std::vector<tobrin_message> batch;
        for (int i = s; i < s + kBatch && i < messages; ++i)
          batch.push_back({texts[i].data(), texts[i].size()});
        failed[t] += tobrin_send_many(client, batch.data(), batch.size(), nullptr);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  tobrin_close(client);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failed[t], 0) << "thread " << t;
  ASSERT_TRUE(server.WaitForClientsDone(1));

  LogReader reader(kThreads);
  EXPECT_TRUE(reader.ReadFile(server.log, ReadWholeFile(server.log)));
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(reader.next[t], NextNonEmpty(t, messages)) << "thread " << t << " lost messages";
  EXPECT_EQ(server.Stop(), 1);
}

// Each line reaches the log before the next is written, across a restart of the server, also
// from a non-blocking standard input, which has nothing to read at times; its bytes arrive
// exactly as written. A line too long for a message is reported and skipped, and the status
// says so.
TEST(PipeClientTool, StreamsEachLineAsReadByteForByteAndRefusesAnOverlongOne) {
  for (platform::ChildInput input :
       {platform::ChildInput::kPipe, platform::ChildInput::kNonBlockingPipe}) {
    SCOPED_TRACE(input == platform::ChildInput::kPipe ? "blocking pipe" : "non-blocking pipe");
    ScratchDir dir, next_dir;
    LogServer server(dir);
    LogServer next(next_dir, server.pipe);
    ASSERT_TRUE(server.Start());
    RunningProgram sender;
    ASSERT_TRUE(sender.Start({PipeClientPath(), server.pipe}, input));
    ASSERT_TRUE(sender.WriteInput("first\n"));
    ASSERT_TRUE(PollUntil([&] { return ReadWholeFile(server.log) == "first\n"; }))
        << "the first line was not sent as it came: " << ReadWholeFile(server.log);
    ASSERT_EQ(server.Stop(), 1);
    ASSERT_TRUE(next.Start());
    ASSERT_TRUE(sender.WriteInput(std::string(TOBRIN_MAX_MESSAGE, 'X') + "\n"));
    // Line ends, the byte that ends a text stream on Windows, and a zero byte stay as they are.
    const char kBinary[] = "cr lf\r\n\x1a after ctrl-z\nzero \0 byte\n";
    const std::string binary(kBinary, sizeof kBinary - 1);
    ASSERT_TRUE(sender.WriteInput(binary));
    ASSERT_TRUE(PollUntil([&] { return ReadWholeFile(next.log) == binary; }))
        << "after the restart: " << ReadWholeFile(next.log);
    ASSERT_TRUE(sender.WriteInput("last line without an end"));
    sender.CloseInput();
    int status = -1;
    ASSERT_TRUE(sender.WaitForExit(20000, &status));
    EXPECT_EQ(status, 1);
    EXPECT_NE(sender.Stderr().find("line 2 is longer than 32768 bytes; not sent"),
              std::string::npos)
        << sender.Stderr();
    ASSERT_TRUE(next.WaitForClientsDone(1));
    EXPECT_EQ(ReadWholeFile(next.log), binary + "last line without an end");
    EXPECT_EQ(next.Stop(), 1);
  }
}

// Started without standard input, pipe_client finds it empty; without standard output or
// error, what it would print there goes nowhere, never into a connection that took the
// descriptor's place. A standard input that cannot be read is reported, not taken for its end.
TEST(PipeClientTool, CopesWithoutItsStandardStreamsAndReportsAnUnreadableInput) {
  ScratchDir dir;
  LogServer server(dir);
  ASSERT_TRUE(server.Start());
  int clients = 0;
  int status = -1;
  RunningProgram no_input;
  ASSERT_TRUE(no_input.Start({PipeClientPath(), server.pipe}, platform::ChildInput::kNone));
  ASSERT_TRUE(no_input.WaitForExit(20000, &status)) << "it reads its own connection as input";
  EXPECT_EQ(status, 0);
  ++clients;
  for (platform::ChildOutputs outputs :
       {platform::ChildOutputs::kNoStdout, platform::ChildOutputs::kNoStderr}) {
    RunningProgram sender;
    ASSERT_TRUE(
        sender.Start({PipeClientPath(), server.pipe}, platform::ChildInput::kPipe, outputs));
    ASSERT_TRUE(sender.WriteInput("kept\n" + std::string(TOBRIN_MAX_MESSAGE, 'X') + "\n"));
    sender.CloseInput();
    ASSERT_TRUE(sender.WaitForExit(20000, &status));
    EXPECT_EQ(status, 1);
    ++clients;
  }
  const std::string shell = SystemTool("sh");
  if (!shell.empty()) {
    RunResult run = RunProgram(
        {shell, "-c", "exec \"$0\" \"$1\" <\"$2\"", PipeClientPath(), server.pipe, dir.path()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("pipe_client: cannot read standard input: "), std::string::npos)
        << run.err;
    ++clients;
  }
  ASSERT_TRUE(server.WaitForClientsDone(clients));
  EXPECT_EQ(ReadWholeFile(server.log), "kept\nkept\n");
  EXPECT_EQ(server.Stop(), 1);
}

// The log's lines, each checked to begin with a time stamp that is then taken off.
std::string WithoutTimestamps(const std::string& log) {
  static const std::regex stamp(
      "20[0-9]{2}-(0[1-9]|1[0-2])-(0[1-9]|[12][0-9]|3[01])T([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]"
      "\\.[0-9]{6}Z ");
  constexpr size_t kStamp = sizeof "2026-12-09T21:39:47.123456Z " - 1;
  std::string rest;
  for (size_t at = 0; at < log.size();) {
    size_t end = std::min(log.find('\n', at), log.size() - 1) + 1;
    if (!std::regex_match(log.substr(at, kStamp), stamp))
      return "no time stamp before: " + log.substr(at, 40);
    rest += log.substr(at + kStamp, end - at - kStamp);
    at = end;
  }
  return rest;
}

// The time and the tag go before each message, in that order, for arguments and lines alike;
// a message that is too long with them is refused alone, as is an argument too long by itself.
TEST(PipeClientTool, PutsTheTimeAndTagBeforeEachMessageAndRefusesOnlyThoseTooLong) {
  LogServer server;
  ASSERT_TRUE(server.Start());
  std::vector<std::string> argv = {PipeClientPath(), "--newline", "--timestamp", "--tag=app",
                                   server.pipe,      "one",       "two"};
  // A Windows command line has no room for an argument this long.
  const bool long_argument = PipesAreFiles();
  if (long_argument) argv.insert(argv.end() - 1, std::string(TOBRIN_MAX_MESSAGE, 'A'));
  RunResult arguments = RunProgram(argv);
  EXPECT_EQ(arguments.status, long_argument ? 1 : 0);
  if (long_argument) {
    EXPECT_NE(arguments.err.find("message 2 is longer than 32768 bytes; not sent"),
              std::string::npos)
        << arguments.err;
  }

  const size_t prefix = sizeof "2026-12-09T21:39:47.123456Z app: " - 1;
  const std::string largest(TOBRIN_MAX_MESSAGE - prefix - 1, 'L');
  RunResult lines = RunProgram({PipeClientPath(), "--tag=app", "--timestamp", server.pipe},
                               "three\n" + largest + "\n" + largest + "M\nfour\n");
  EXPECT_EQ(lines.status, 1);
  EXPECT_NE(lines.err.find("line 3 is longer than 32768 bytes; not sent"), std::string::npos)
      << lines.err;
  ASSERT_TRUE(server.WaitForClientsDone(2));
  EXPECT_EQ(WithoutTimestamps(ReadWholeFile(server.log)),
            "app: one\napp: two\napp: three\napp: " + largest + "\napp: four\n");
  EXPECT_EQ(server.Stop(), 1);
}

}  // namespace
}  // namespace test
