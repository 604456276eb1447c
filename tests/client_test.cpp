// The client library against the real server, in both modes: connecting before it is up,
// the size rule, names that are no pipe, reconnecting across a restart, one client shared
// by threads, and an asynchronous client that never waits for a server that is away,
// stopped or not reading; and tobrin-pipe-client, which streams its standard input through the
// library.
#include "tobrin/client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "client/buffer.h"
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

tobrin_options AsyncOptions(int when_full, size_t buffer_bytes = 1048576) {
  tobrin_options options;
  tobrin_options_init(&options);
  options.when_full = when_full;
  options.buffer_bytes = buffer_bytes;
  return options;
}

std::string DropNotice(unsigned long long dropped) {
  return "tobrin: " + std::to_string(dropped) + " messages dropped while the log buffer was full\n";
}

long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

class Client : public ServerTest {};

// The asynchronous client is made at once without a server, and its sender delivers what
// waited in the buffer once the server is up.
TEST_F(Client, ConnectsToAServerThatComesUpLaterAndReportsOneThatNeverDoes) {
  EXPECT_EQ(tobrin_connect(server.pipe.c_str(), 0), nullptr);
  EXPECT_EQ(tobrin_last_error(), kNoSuchPipe);
  tobrin_client* buffered = tobrin_open(server.pipe.c_str(), nullptr);
  ASSERT_NE(buffered, nullptr);
  EXPECT_EQ(Send(buffered, "buffered\n"), 0);
  EXPECT_EQ(tobrin_flush(buffered, 0), TOBRIN_E_TIMEOUT);

  tobrin_client* client = nullptr;
  std::thread connecting([&] { client = tobrin_connect(server.pipe.c_str(), kConnectTimeoutMs); });
  bool started = server.Start();
  connecting.join();
  ASSERT_TRUE(started);
  ASSERT_NE(client, nullptr) << "system error " << tobrin_last_error();
  EXPECT_EQ(Send(client, "early\n"), 0);
  EXPECT_EQ(tobrin_flush(buffered, kConnectTimeoutMs), 0);
  tobrin_close(client);
  tobrin_close(buffered);
  ASSERT_TRUE(server.WaitForClientsDone(2));
  const std::string log = ReadWholeFile(server.log);
  EXPECT_TRUE(log == "early\nbuffered\n" || log == "buffered\nearly\n") << log;
  EXPECT_EQ(server.Stop(), 1);
}

// Neither mode opens what is not a pipe, so nothing is ever written into it: not the log
// file itself, not a directory, not the null device. Options a client cannot honour are
// refused as well.
TEST_F(Client, RefusesWhatIsNotAPipeAndWritesNothingIntoIt) {
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(SendMessages(server.pipe, {"kept\n"}));
  ASSERT_TRUE(server.WaitForClientsDone(1));
  const std::string null_device = PipesAreFiles() ? "/dev/null" : "NUL";
  for (const std::string& name : {server.log, dir.path(), null_device}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(tobrin_connect(name.c_str(), kConnectTimeoutMs), nullptr);
    EXPECT_EQ(tobrin_last_error(), 0) << "refused as no pipe, not as no server";
    EXPECT_EQ(tobrin_open(name.c_str(), nullptr), nullptr);
    EXPECT_EQ(tobrin_last_error(), 0);
  }
  EXPECT_EQ(ReadWholeFile(server.log), "kept\n");

  tobrin_options options = AsyncOptions(TOBRIN_DROP);
  options.when_full = 2;
  EXPECT_EQ(tobrin_open(server.pipe.c_str(), &options), nullptr);
  options = AsyncOptions(TOBRIN_DROP);
  options.size = offsetof(tobrin_options, when_full);
  EXPECT_EQ(tobrin_open(server.pipe.c_str(), &options), nullptr) << "the first five fields";
  options.size = offsetof(tobrin_options, drop_notice);
  tobrin_client* older = tobrin_open(server.pipe.c_str(), &options);
  EXPECT_NE(older, nullptr) << "a caller built before drop_notice was added";
  tobrin_close(older);
  EXPECT_EQ(server.Stop(), 1);
}

// In both modes; the asynchronous client sends the largest message as a pipe message of its
// own, and its close delivers what is buffered.
TEST_F(Client, SendsTheLargestMessageWholeAndRefusesALongerOneOnTheSameConnection) {
  ASSERT_TRUE(server.Start());
  std::string largest(TOBRIN_MAX_MESSAGE, 'L');
  largest.back() = '\n';
  const std::string longer(TOBRIN_MAX_MESSAGE + 1, 'X');
  const tobrin_options options = AsyncOptions(TOBRIN_DROP);
  for (int clients = 1; clients <= 2; ++clients) {
    bool asynchronous = clients == 2;
    SCOPED_TRACE(asynchronous ? "asynchronous" : "synchronous");
    tobrin_client* client = asynchronous ? tobrin_open(server.pipe.c_str(), &options)
                                         : tobrin_connect(server.pipe.c_str(), kConnectTimeoutMs);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(Send(client, "before\n"), 0);
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
    ASSERT_TRUE(server.WaitForClientsDone(clients));
  }
  const std::string each = "before\n" + largest + "after\n";
  EXPECT_EQ(ReadWholeFile(server.log), each + each);
  EXPECT_EQ(server.program.Stdout(), std::string(kReadFileFailed) + kReadFileFailed)
      << "a connection was lost";
  EXPECT_EQ(server.Stop(), 1);
}

// The first send after the server ended finds it gone, waits for the next one (started
// while the send is under way) and delivers the message there. A client whose reconnection
// found no server for its whole time-out fails at once for a second, then finds the next.
TEST_F(Client, ReconnectsToTheNextServerAndSendsTheMessageThere) {
  constexpr int kShortTimeoutMs = 2000;
  ScratchDir next_dir;
  LogServer next(next_dir, server.pipe);
  ASSERT_TRUE(server.Start());
  tobrin_client* client = tobrin_connect(server.pipe.c_str(), kConnectTimeoutMs);
  tobrin_client* quick = tobrin_connect(server.pipe.c_str(), kShortTimeoutMs);
  ASSERT_NE(client, nullptr);
  ASSERT_NE(quick, nullptr);
  EXPECT_EQ(Send(client, "to the first\n"), 0);
  ASSERT_TRUE(PollUntil([&] { return ReadWholeFile(server.log) == "to the first\n"; }));
  ASSERT_EQ(server.Stop(), 1);

  EXPECT_EQ(Send(quick, "lost\n"), TOBRIN_E_NO_SERVER);
  const auto failed = std::chrono::steady_clock::now();
  EXPECT_EQ(Send(quick, "lost\n"), TOBRIN_E_NO_SERVER);
  EXPECT_EQ(tobrin_last_error(), kNoSuchPipe);
  EXPECT_LT(MillisecondsSince(failed), kShortTimeoutMs) << "it tried to connect for its time-out";

  int result = -100;
  std::thread sending([&] { result = Send(client, "to the next\n"); });
  bool started = next.Start();
  sending.join();
  ASSERT_TRUE(started);
  EXPECT_EQ(result, 0) << "system error " << tobrin_last_error();
  EXPECT_EQ(Send(client, "again\n"), 0);
  tobrin_close(client);
  ASSERT_TRUE(next.WaitForClientsDone(1));
  EXPECT_TRUE(PollUntil([&] { return Send(quick, "quick is back\n") == 0; }));
  tobrin_close(quick);
  ASSERT_TRUE(next.WaitForClientsDone(2));
  EXPECT_EQ(ReadWholeFile(server.log), "to the first\n");
  EXPECT_EQ(ReadWholeFile(next.log), "to the next\nagain\nquick is back\n");
  EXPECT_EQ(next.Stop(), 1);
}

// Each thread is a sender of its own in the messages; half of them send in batches. The
// reader finds every message whole, once, and in its thread's order. The asynchronous
// client's buffer holds one largest message, so that callers often wait for room, in turn.
class ClientModes : public ServerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ClientModes, ThreadsSharingOneClientKeepEveryMessageWhole) {
  constexpr int kThreads = 8;
  constexpr int kBatch = 10;
  const int messages = PipesAreFiles() ? 200 : 60;
  ASSERT_TRUE(server.Start({"--filesize=2000000000"}));  // one file holds them all
  const tobrin_options options = AsyncOptions(TOBRIN_WAIT, 1);
  tobrin_client* client = GetParam() ? tobrin_open(server.pipe.c_str(), &options)
                                     : tobrin_connect(server.pipe.c_str(), kConnectTimeoutMs);
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

INSTANTIATE_TEST_SUITE_P(Client, ClientModes, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& mode) {
                           return mode.param ? "Asynchronous" : "Synchronous";
                         });

// The asynchronous client's ring gives back the messages put into it, whole and in order,
// wherever they begin against its end: a message, or its 4-byte length, may be split there.
TEST(ClientBuffer, PacksWhatWasPutWholeWhereverItWrapsAroundTheEnd) {
  constexpr size_t kCapacity = 64;  // three records of 20 to 22 bytes: 63
  for (size_t start = 0; start < kCapacity; ++start) {
    client::Ring ring;
    ASSERT_TRUE(client::InitRing(&ring, kCapacity));
    ring.head = start;  // as if `start` bytes had been put and given back
    std::string put;
    for (int s = 0; s < 3; ++s) {
      const std::string message = MakeMessage(0, s, Exactly(16 + s));
      client::Put(&ring, message.data(), message.size());
      put += message;
    }
    char pack[kCapacity];
    int length = 0, messages = 0;
    size_t taken = client::Pack(&ring, ring.head, ring.used, pack, kCapacity, &length, &messages);
    EXPECT_EQ(std::string(pack, static_cast<size_t>(length)), put) << "starting at " << start;
    EXPECT_EQ(messages, 3);
    EXPECT_EQ(taken, ring.used);
    client::FreeRing(&ring);
  }
}

// The sender packs messages of every length into pipe messages, the largest alone. The
// server that ended made the sender's next send fail; that pipe message went whole to the
// next server, before the ones after it, and so did everything buffered meanwhile.
TEST_F(Client, AsynchronousClientKeepsEveryMessageWholeAndInOrderAcrossARestart) {
  constexpr int kMessages = 200;
  ScratchDir next_dir;
  LogServer next(next_dir, server.pipe);
  ASSERT_TRUE(server.Start({"--filesize=2000000000"}));
  const tobrin_options options = AsyncOptions(TOBRIN_WAIT);
  tobrin_client* client = tobrin_open(server.pipe.c_str(), &options);
  ASSERT_NE(client, nullptr);
  std::string before;
  for (int s = 0; s < kMessages / 2; ++s) {
    before += MakeMessage(0, s);
    ASSERT_EQ(Send(client, MakeMessage(0, s)), 0);
  }
  ASSERT_EQ(tobrin_flush(client, kConnectTimeoutMs), 0);
  ASSERT_TRUE(PollUntil([&] { return SizeOf(server.log) == before.size(); }));
  ASSERT_EQ(server.Stop(), 1);

  int failed = 0;
  std::thread sending([&] {
    for (int s = kMessages / 2; s < kMessages; ++s) failed += Send(client, MakeMessage(0, s)) != 0;
  });
  bool started = next.Start({"--filesize=2000000000"});
  sending.join();
  ASSERT_TRUE(started);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(tobrin_flush(client, kConnectTimeoutMs), 0);
  tobrin_close(client);
  ASSERT_TRUE(next.WaitForClientsDone(1));
  LogReader reader(1);
  EXPECT_TRUE(reader.ReadFile(server.log, ReadWholeFile(server.log)));
  EXPECT_TRUE(reader.ReadFile(next.log, ReadWholeFile(next.log)));
  EXPECT_EQ(reader.next[0], NextNonEmpty(0, kMessages));
  EXPECT_EQ(next.Stop(), 1);
}

// In TOBRIN_DROP mode a send never waits for the server: not while it is away, stopped
// (Linux) or not reading. The client is first given messages until a flush can no longer
// empty its buffer: the sender is stuck. Waiting would then cost a connect time-out, or for
// ever; the sends take far less. Drops are counted, and each time a message is buffered after
// drops, the count line stands before it. Close is bounded whatever the server does.
TEST(ClientDrops, ASendNeverWaitsForAServerThatIsAwayStoppedOrNotReading) {
  enum Server { kAway, kStopped, kNotReading };
  constexpr int kMessages = 2000;
  const std::string kill = SystemTool("kill");
  tobrin_options options = AsyncOptions(TOBRIN_DROP, 1);
  options.connect_timeout_ms = 5000;
  // The not-reading case is last: this process can offer only one pipe name of its own.
  for (Server state : {kAway, kStopped, kNotReading}) {
    if (state == kStopped && kill.empty()) continue;
    SCOPED_TRACE(state == kAway ? "away" : state == kStopped ? "stopped" : "not reading");
    LogServer server;
    std::string pid;
    platform::PipeEnd instance;
    if (state == kStopped) {
      ASSERT_TRUE(server.Start());
      pid = std::to_string(FindProcess(server.pipe));
      ASSERT_EQ(RunProgram({kill, "-STOP", pid}).status, 0);
    } else if (state == kNotReading) {
      ASSERT_TRUE(platform::CreatePipeInstance(server.pipe.c_str(), &instance));
    }
    tobrin_client* client = tobrin_open(server.pipe.c_str(), &options);
    ASSERT_NE(client, nullptr);
    std::string expected;
    unsigned long long dropped = 0, unreported = 0;
    int sequence = 0;
    auto send = [&] {
      const std::string message = MakeMessage(0, sequence++, Exactly(200));
      int result = Send(client, message);
      if (result == 0) {
        expected += (unreported > 0 ? DropNotice(unreported) : "") + message;
        unreported = 0;
      }
      dropped += result == TOBRIN_E_DROPPED;
      unreported += result == TOBRIN_E_DROPPED;
      return result == 0 || result == TOBRIN_E_DROPPED;
    };
    int rounds = 0;
    do {
      for (int s = 0; s < 100; ++s) ASSERT_TRUE(send());
      ASSERT_LT(++rounds, 1000) << "the server took everything";
    } while (tobrin_flush(client, 1000) == 0);

    const auto sending = std::chrono::steady_clock::now();
    for (int s = 0; s < kMessages; ++s) ASSERT_TRUE(send());
    EXPECT_LT(MillisecondsSince(sending), options.connect_timeout_ms) << "a send waited";
    EXPECT_GT(unreported, 0u);
    EXPECT_EQ(tobrin_dropped(client), dropped);
    if (state == kAway) {
      ASSERT_TRUE(server.Start());
    } else if (state == kStopped) {
      ASSERT_EQ(RunProgram({kill, "-CONT", pid}).status, 0);
    } else {
      const auto closing = std::chrono::steady_clock::now();
      tobrin_close(client);
      EXPECT_LT(MillisecondsSince(closing), options.connect_timeout_ms + 10000);
      platform::CloseUnconnectedServerEnd(instance);
      continue;
    }
    EXPECT_EQ(tobrin_flush(client, kConnectTimeoutMs), 0);
    EXPECT_EQ(Send(client, "after the drops\n"), 0);
    tobrin_close(client);
    ASSERT_TRUE(server.WaitForClientsDone(1));
    EXPECT_TRUE(ReadWholeFile(server.log) ==
                expected + DropNotice(unreported) + "after the drops\n")
        << "not the buffered messages with the count lines between them";
    EXPECT_EQ(server.Stop(), 1);
  }
}

// Each line reaches the log before the next is written, also from a non-blocking standard
// input, which has nothing to read at times; its bytes arrive exactly as written. The lines
// written while the server is away, for several of tobrin-pipe-client's time-outs, wait for the
// next server, and tobrin-pipe-client reads on. A line too long for a message is reported and
// skipped, and the status says so.
TEST(PipeClientTool, StreamsEachLineAsReadByteForByteAndRefusesAnOverlongOne) {
  for (platform::ChildInput input :
       {platform::ChildInput::kPipe, platform::ChildInput::kNonBlockingPipe}) {
    SCOPED_TRACE(input == platform::ChildInput::kPipe ? "blocking pipe" : "non-blocking pipe");
    ScratchDir dir, next_dir;
    LogServer server(dir);
    LogServer next(next_dir, server.pipe);
    ASSERT_TRUE(server.Start());
    RunningProgram sender;
    constexpr int kTimeoutMs = 100;
    ASSERT_TRUE(sender.Start(
        {PipeClientPath(), "--timeout=" + std::to_string(kTimeoutMs), server.pipe}, input));
    ASSERT_TRUE(sender.WriteInput("first\n"));
    ASSERT_TRUE(PollUntil([&] { return ReadWholeFile(server.log) == "first\n"; }))
        << "the first line was not sent as it came: " << ReadWholeFile(server.log);
    ASSERT_EQ(server.Stop(), 1);
    ASSERT_TRUE(sender.WriteInput(std::string(TOBRIN_MAX_MESSAGE, 'X') + "\n"));
    // Line ends, the byte that ends a text stream on Windows, and a zero byte stay as they are.
    const char kBinary[] = "cr lf\r\n\x1a after ctrl-z\nzero \0 byte\n";
    const std::string binary(kBinary, sizeof kBinary - 1);
    ASSERT_TRUE(sender.WriteInput(binary));
    // Not a wait for anything: the outage itself, as long as five time-outs.
    std::this_thread::sleep_for(std::chrono::milliseconds(5 * kTimeoutMs));
    ASSERT_TRUE(next.Start());
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

// Started without standard input, tobrin-pipe-client finds it empty; without standard output or
// error, what it would print there goes nowhere, never into a connection that took the
// descriptor's place. A standard input that cannot be read is reported, not taken for its end,
// and so are the lines that no server took by the time-out after the end of the input.
TEST(PipeClientTool, CopesWithoutItsStandardStreamsAndReportsAnUnreadableInput) {
  ScratchDir dir;
  LogServer server(dir);
  LogServer absent;
  RunResult undelivered =
      RunProgram({PipeClientPath(), "--timeout=100", absent.pipe}, "one\ntwo\n");
  EXPECT_EQ(undelivered.status, 1);
  EXPECT_EQ(undelivered.err,
            "tobrin-pipe-client: 2 messages not delivered to " + absent.pipe + " within 100 ms\n");
  ASSERT_TRUE(server.Start());
  // Only the pipe clients that have a line to send connect.
  int clients = 0;
  int status = -1;
  RunningProgram no_input;
  ASSERT_TRUE(no_input.Start({PipeClientPath(), server.pipe}, platform::ChildInput::kNone));
  ASSERT_TRUE(no_input.WaitForExit(20000, &status)) << "it reads its own connection as input";
  EXPECT_EQ(status, 0);
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
    EXPECT_NE(run.err.find("tobrin-pipe-client: cannot read standard input: "), std::string::npos)
        << run.err;
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
