// The log server's bond with its manager: the ready byte, and the end that follows the
// end of its standard input.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "log_server_fixture.h"
#include "messages.h"
#include "progress.h"

namespace test {
namespace {

// Short messages of varying length, so that each client gets through many of them before
// its manager goes away.
constexpr Lengths kLengths{kMessageHeader, 900, false};

std::string TaggedMessage(int client, int sequence) {
  return MakeMessage(client, sequence, kLengths);
}

// How hard the clients press the server when its manager goes.
struct Load {
  int clients;
  int64_t bytes;  ///< What they send in all before the manager goes.
};

// Wine serves every named pipe through one wineserver process; 16 clients keep it busy.
// Under qemu's emulation of 32-bit code, a process that ends while many of its threads are
// busy at times never finishes ending (a zombie whose last threads wait on a futex): there
// a few clients write, and no more than each needs to get under way.
Load FullLoadForThisSystem() {
  if (std::getenv("TOBRIN_I386_EMULATOR")) return Load{6, 0};
  return PipesAreFiles() ? Load{64, 16 << 20} : Load{16, 4 << 20};
}

// The server ends as soon as its manager goes, while its clients are still writing: it never
// waits for them, and what was written stays. How soon is a figure the test prints, not a
// bound it checks.
TEST(ManagerLink, ManagerGoingAwayUnderLoadEndsTheServerAndKeepsWhatWasWritten) {
  constexpr int kMaxMessages = 100000;
  constexpr int kBeforeClose = 200;
  constexpr int kBackups = 2000;
  const Load load = FullLoadForThisSystem();
  ScratchDir dir;
  LogServer server(dir);
  ASSERT_TRUE(server.Start(RotationOptions(1 << 20, kBackups)));

  // The manager goes away once every client has written kBeforeClose messages and all of
  // them `load.bytes`; the clients go on writing until the server is gone.
  Progress under_way, sent;
  std::atomic<bool> stop{false};
  std::atomic<int> cut_off{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < load.clients; ++c) {
    clients.emplace_back([&, c] {
      PipeClient client;
      if (!client.Connect(server.pipe)) return;
      for (int s = 0; s < kMaxMessages && !stop; ++s) {
        std::string message = TaggedMessage(c, s);
        if (!client.Send(message)) {
          ++cut_off;
          return;
        }
        sent.Add(static_cast<int64_t>(message.size()));
        if (s + 1 == kBeforeClose) under_way.Add();
      }
    });
  }
  bool all_under_way = under_way.WaitFor(load.clients, 60000);
  bool loaded = sent.WaitFor(load.bytes, 60000);
  // One more client that has been served for certain, so that the files hold at least one
  // message whatever the other clients' messages are still waiting in.
  ASSERT_TRUE(SendMessages(server.pipe, {TaggedMessage(load.clients, 0)}));
  ASSERT_TRUE(server.WaitForClientsDone(1));
  server.program.CloseInput();
  auto closed = std::chrono::steady_clock::now();
  int status = -1;
  bool ended = server.program.WaitForExit(20000, &status);
  double waited_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - closed).count();
  stop = true;
  for (std::thread& client : clients) client.join();
  EXPECT_TRUE(all_under_way) << "only " << under_way.Count() << " clients got under way";
  ASSERT_TRUE(loaded) << "the clients did not send " << load.bytes << " bytes within 60 s";
  ASSERT_TRUE(ended) << "the server was still running 20 s after its standard input closed; "
                        "its standard error: "
                     << server.program.Stderr();
  EXPECT_GT(cut_off.load(), 0) << "every client had finished before the server ended";
  EXPECT_EQ(status, 1);
  EXPECT_NE(server.program.Stderr().find(kManagerExit), std::string::npos)
      << server.program.Stderr();
  if (PipesAreFiles()) {
    EXPECT_FALSE(FileExists(server.pipe)) << "the socket file is left behind";
  }
  // Only the very end may hold the start of one more message: the process can end in the
  // middle of a write, and Linux then keeps the part up to a page boundary.
  std::vector<std::string> files = FilesInWritingOrder(server.log, kBackups);
  LogReader reader(load.clients + 1, kLengths);
  for (size_t f = 0; f < files.size(); ++f)
    ASSERT_TRUE(reader.ReadFile(files[f], ReadWholeFile(files[f]), f + 1 == files.size()));
  EXPECT_GE(reader.messages, 1);
  std::printf(
      "manager gone under load: %d clients, %lld whole messages (%lld bytes) in %zu "
      "files, %zu bytes of a cut message, ended %.0f ms after its input closed\n",
      load.clients, static_cast<long long>(reader.messages),
      static_cast<long long>(reader.bytes_read), files.size(), reader.cut_bytes, waited_ms);
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

// An old log exactly at the limit or over it is rotated at start-up, before the ready byte.
TEST(ManagerLink, ReadyByteComesOnlyOnceTheLogIsOpenAndRotated) {
  for (size_t old_size : {100, 300}) {
    SCOPED_TRACE("old log of " + std::to_string(old_size) + " bytes");
    ScratchDir dir;
    LogServer server(dir);
    const std::string old_text(old_size, 'o');
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
}

}  // namespace
}  // namespace test
