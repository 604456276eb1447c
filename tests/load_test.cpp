// Load: many clients write at once while the log rotates often, and afterwards every byte of
// the backups and the log must belong to exactly one message. Each message carries its
// client, its sequence number, its length and a checksum, and its body is generated from the
// client and the sequence number, so the checker can recognise any message, whole or cut.
#include <gtest/gtest.h>

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

// The size of one run, from the environment where a slower build needs a smaller one.
int MessagesPerClient(int fallback) {
  const char* text = std::getenv("TOBRIN_LOAD_MESSAGES");
  int value = text ? std::atoi(text) : 0;
  return value > 0 ? value : fallback;
}

constexpr int32_t kBackups = 2000;

// Every message of every client whole, once and in its client's order, across rotations.
TEST(Load, ManyClientsWithRotationLoseNothingAndKeepTheirOrder) {
  // On Windows, as many clients at once as the pipe's count of instances for "unlimited":
  // the 32-bit server then holds that many threads and instances.
  const int clients = PipesAreFiles() ? 64 : 255;
  const int messages = MessagesPerClient(PipesAreFiles() ? 60 : 6);
  const int32_t limit = 256 * 1024;
  ScratchDir dir;
  LogServer server(dir);
  ASSERT_TRUE(server.Start(RotationOptions(limit, kBackups)));
  ASSERT_LT(static_cast<int64_t>(clients) * messages * platform::kMaxMessage / limit + 1, kBackups)
      << "a run this size could reuse a backup";

  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  std::vector<std::string> failures(static_cast<size_t>(clients));
  // Every client is connected before any sends, so the server holds them all at once.
  Progress tried;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      PipeClient client;
      bool connected = client.Connect(server.pipe);
      tried.ArriveAndWait(clients, 60000);
      if (!connected) {
        failures[c] = "cannot connect";
        return;
      }
      for (int s = 0; s < messages; ++s) {
        if (!client.Send(MakeMessage(c, s))) {
          failures[c] = "send " + std::to_string(s) + " failed";
          return;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int c = 0; c < clients; ++c) ASSERT_EQ(failures[c], "") << "client " << c;
  ASSERT_TRUE(server.WaitForClientsDone(clients, 120000))
      << "not every client thread ended; server output:\n"
      << server.program.Stdout();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  // With more backup numbers than rotations none is reused, and each rotation takes the
  // lowest free number, so the numbers rise with age. Each backup must have been rotated by
  // the message that took it over the limit.
  std::vector<std::string> files = FilesInWritingOrder(server.log, kBackups);
  ASSERT_LE(files.size(), static_cast<size_t>(kBackups)) << "a backup may have been reused";
  LogReader reader(clients);
  ASSERT_TRUE(reader.ReadRotated(files, limit));
  int64_t sent = 0, empty = 0, bytes = 0;
  for (int c = 0; c < clients; ++c) {
    EXPECT_EQ(reader.next[c], NextNonEmpty(c, messages)) << "client " << c << " lost messages";
    for (int s = 0; s < messages; ++s) {
      int length = MessageLength(c, s);
      ++sent;
      empty += length == 0;
      bytes += length;
    }
  }
  EXPECT_EQ(reader.messages, sent - empty);
  EXPECT_EQ(reader.bytes_read, bytes);
  EXPECT_GT(files.size(), 10u) << "the log hardly rotated";
  EXPECT_EQ(server.program.Stdout(), [&] {
    std::string lines;
    for (int c = 0; c < clients; ++c) lines += std::string(kReadFileFailed);
    return lines;
  }()) << "only the clients' ends may be reported";
  EXPECT_EQ(server.Stop(), 1);
  std::printf(
      "load: %d clients, %lld messages sent (%lld empty), %lld messages and %lld bytes "
      "in %zu files, 0 bytes lost, %.2f s\n",
      clients, static_cast<long long>(sent), static_cast<long long>(empty),
      static_cast<long long>(reader.messages), static_cast<long long>(reader.bytes_read),
      files.size(), seconds);
}

}  // namespace
}  // namespace test
