// The log server's bond with its manager: the ready byte, and the end that follows the
// end of its standard input.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "log_server_fixture.h"
#include "messages.h"

namespace test {
namespace {

// Short messages of varying length, so that each client gets through many of them before
// its manager goes away.
constexpr Lengths kLengths{kMessageHeader, 900, false};

std::string TaggedMessage(int client, int sequence) {
  return MakeMessage(client, sequence, kLengths);
}

TEST(ManagerLink, ManagerGoingAwayWhileClientsWriteEndsTheServerAndKeepsWhatWasWritten) {
  constexpr int kClients = 6;
  constexpr int kMaxMessages = 20000;
  constexpr int kBeforeClose = 200;
  ScratchDir dir;
  LogServer server(dir);
  // Large enough that the log is never rotated, however far the clients get.
  ASSERT_TRUE(server.Start({"--filesize=2000000000"}));

  // The manager goes away once every client has written kBeforeClose messages; the clients
  // go on writing until the server is gone.
  std::mutex mutex;
  std::condition_variable progressed;
  int clients_under_way = 0;
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      PipeClient client;
      if (!client.Connect(server.pipe)) return;
      for (int s = 0; s < kMaxMessages && client.Send(TaggedMessage(c, s)); ++s) {
        if (s + 1 != kBeforeClose) continue;
        std::lock_guard<std::mutex> lock(mutex);
        ++clients_under_way;
        progressed.notify_all();
      }
    });
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    bool under_way = progressed.wait_for(lock, std::chrono::seconds(30),
                                         [&] { return clients_under_way == kClients; });
    if (!under_way) ADD_FAILURE() << "only " << clients_under_way << " clients got under way";
  }
  // One more client that has been served for certain, so that the file holds at least one
  // message whatever the other clients' messages are still waiting in.
  ASSERT_TRUE(SendMessages(server.pipe, {TaggedMessage(kClients, 0)}));
  ASSERT_TRUE(server.WaitForClientsDone(1));
  server.program.CloseInput();
  int status = -1;
  bool ended = server.program.WaitForExit(20000, &status);
  for (std::thread& client : clients) client.join();
  ASSERT_TRUE(ended) << "the server was still running 20 s after its standard input closed";

  EXPECT_EQ(status, 1);
  EXPECT_NE(server.program.Stderr().find(kManagerExit), std::string::npos)
      << server.program.Stderr();
  if (PipesAreFiles()) {
    EXPECT_FALSE(FileExists(server.pipe)) << "the socket file is left behind";
  }
  // Only the very end may hold the start of one more message: the process can end in the
  // middle of a write, and Linux then keeps the part up to a page boundary.
  LogReader reader(kClients + 1, kLengths);
  EXPECT_TRUE(reader.ReadFile(server.log, ReadWholeFile(server.log), true));
  EXPECT_GE(reader.messages, 1);
}

// A manager may hand over its end non-blocking: only its end ends the server, not a moment
// with nothing to read.
TEST(ManagerLink, TextOnStandardInputIsReadAndIgnoredAlsoFromANonBlockingPipe) {
  for (platform::ChildInput input :
       {platform::ChildInput::kPipe, platform::ChildInput::kNonBlockingPipe}) {
    SCOPED_TRACE(input == platform::ChildInput::kPipe ? "blocking pipe" : "non-blocking pipe");
    ScratchDir dir;
    LogServer server(dir);
    server.input = input;
    ASSERT_TRUE(server.Start());
    // Far more than a pipe holds, so that the writes return only once the server has read
    // most of it. It looks like options, line ends and the ready byte, none of which counts.
    std::string noise;
    while (noise.size() < 512 * 1024)
      noise += "--output=" + dir.File("other.log") + " --filesize=1\r\n\x01\x1a\n";
    ASSERT_TRUE(server.program.WriteInput(noise.substr(0, noise.size() / 2)));
    ASSERT_TRUE(SendMessages(server.pipe, {"one\n", "two\n"}));
    ASSERT_TRUE(server.WaitForClientsDone(1));
    ASSERT_TRUE(server.program.WriteInput(noise.substr(noise.size() / 2)));
    ASSERT_TRUE(SendMessages(server.pipe, {"three\n"}));
    ASSERT_TRUE(server.WaitForClientsDone(2));

    EXPECT_EQ(ReadWholeFile(server.log), "one\ntwo\nthree\n");
    EXPECT_FALSE(FileExists(dir.File("other.log")));
    EXPECT_EQ(server.Stop(), 1);
    // The ready byte came once, first, and the only other word was the end.
    EXPECT_EQ(NormalizeNewlines(server.program.RawStderr()),
              std::string(kReadyByte) + kManagerExit);
  }
}

TEST(ManagerLink, ReadyByteComesOnlyOnceTheLogIsOpenAndRotated) {
  ScratchDir dir;
  LogServer server(dir);
  const std::string old_text(300, 'o');
  ASSERT_TRUE(WriteWholeFile(server.log, old_text));
  ASSERT_TRUE(server.Start({"--filesize=100", "--numbackups=2"}));
  // Start returned on the ready byte: by then the old log must have been moved aside and
  // a new one opened, before any client was served.
  EXPECT_EQ(ReadWholeFile(dir.File("server1.log")), old_text);
  EXPECT_TRUE(FileExists(server.log));
  EXPECT_EQ(ReadWholeFile(server.log), "");
  ASSERT_TRUE(SendMessages(server.pipe, {"first\n"}));
  ASSERT_TRUE(server.WaitForClientsDone(1));
  EXPECT_EQ(ReadWholeFile(server.log), "first\n");
  EXPECT_EQ(server.Stop(), 1);
  EXPECT_EQ(CountOf(server.program.RawStderr(), kReadyByte), 1);
}

}  // namespace
}  // namespace test
