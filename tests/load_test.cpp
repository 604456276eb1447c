// Load: many clients write at once while the log rotates often, and afterwards every byte of
// the backups and the log must belong to exactly one message. Each message carries its
// client, its sequence number, its length and a checksum, and its body is generated from the
// client and the sequence number, so the checker can recognise any message, whole or cut.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log_server_fixture.h"
#include "messages.h"

namespace test {
namespace {

// The size of one run, from the environment where a slower build needs a smaller one.
int MessagesPerClient(int fallback) {
  const char* text = std::getenv("TOBRIN_LOAD_MESSAGES");
  int value = text ? std::atoi(text) : 0;
  return value > 0 ? value : fallback;
}

// Wine serves every named pipe through one wineserver process; 16 clients keep it busy.
int ClientsForThisSystem() { return PipesAreFiles() ? 64 : 16; }

constexpr int32_t kBackups = 2000;

TEST(Load, ManyClientsWithRotationLoseNothingAndKeepTheirOrder) {
  // On Windows, as many clients at once as the pipe's count of instances for "unlimited":
  // the 32-bit server then holds that many threads and instances.
  const int clients = PipesAreFiles() ? 64 : 255;
  const int messages = MessagesPerClient(PipesAreFiles() ? 60 : 6);
  const int32_t limit = 256 * 1024;
  ScratchDir dir;
  LogServer server(dir);
  ASSERT_TRUE(server.Start(
      {"--filesize=" + std::to_string(limit), "--numbackups=" + std::to_string(kBackups)}));
  ASSERT_LT(static_cast<int64_t>(clients) * messages * platform::kMaxMessage / limit + 1, kBackups)
      << "a run this size could reuse a backup";

  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  std::vector<std::string> failures(static_cast<size_t>(clients));
  // Every client is connected before any sends, so the server holds them all at once.
  std::mutex mutex;
  std::condition_variable arrived;
  int tried = 0;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      PipeClient client;
      bool connected = client.Connect(server.pipe);
      std::unique_lock<std::mutex> lock(mutex);
      ++tried;
      arrived.notify_all();
      arrived.wait_for(lock, std::chrono::seconds(60), [&] { return tried == clients; });
      lock.unlock();
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

  std::vector<std::string> files = FilesInWritingOrder(server.log, kBackups);
  LogReader reader(clients);
  for (const std::string& file : files)
    ASSERT_TRUE(reader.ReadFile(file, ReadWholeFile(file), false));
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

// Counts what the clients have sent, so the test can wait for an amount of traffic.
class Progress {
 public:
  void Add(int64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_ += bytes;
    changed_.notify_all();
  }
  bool WaitFor(int64_t bytes, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return sent_ >= bytes; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int64_t sent_ = 0;
};

// The server ends as soon as its manager goes, while its clients are still writing: it never
// waits for them. How soon is a figure the test prints, not a bound it checks.
TEST(Load, ManagerLeavingUnderFullLoadEndsTheServerWhileItsClientsWrite) {
  if (std::getenv("TOBRIN_I386_EMULATOR"))
    GTEST_SKIP() << "32-bit code runs under " << std::getenv("TOBRIN_I386_EMULATOR")
                 << ", where a process that ends while its threads are busy at times never "
                    "finishes ending (a zombie whose last threads wait on a futex)";
  const int clients = ClientsForThisSystem();
  const int max_messages = 100000;
  const int64_t traffic = PipesAreFiles() ? 16 << 20 : 4 << 20;
  ScratchDir dir;
  LogServer server(dir);
  ASSERT_TRUE(server.Start({"--filesize=1048576", "--numbackups=" + std::to_string(kBackups)}));

  Progress progress;
  std::atomic<bool> stop{false};
  std::atomic<int> cut_off{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      PipeClient client;
      if (!client.Connect(server.pipe)) return;
      for (int s = 0; s < max_messages && !stop; ++s) {
        std::string message = MakeMessage(c, s);
        if (!client.Send(message)) {
          ++cut_off;
          return;
        }
        progress.Add(static_cast<int64_t>(message.size()));
      }
    });
  }
  bool loaded = progress.WaitFor(traffic, 60000);
  server.program.CloseInput();
  auto closed = std::chrono::steady_clock::now();
  int status = -1;
  bool ended = server.program.WaitForExit(20000, &status);
  double waited_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - closed).count();
  stop = true;
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(loaded) << "the clients did not send " << traffic << " bytes within 60 s";
  ASSERT_TRUE(ended) << "the server was still running 20 s after its manager went away; its "
                        "standard error: "
                     << server.program.Stderr();
  EXPECT_GT(cut_off.load(), 0) << "every client had finished before the server ended";
  EXPECT_EQ(status, 1);
  EXPECT_NE(server.program.Stderr().find(kManagerExit), std::string::npos);

  // Only the message being written at that instant may be cut, and only at the end of the
  // file being written.
  std::vector<std::string> files = FilesInWritingOrder(server.log, kBackups);
  LogReader reader(clients);
  for (size_t f = 0; f < files.size(); ++f)
    ASSERT_TRUE(reader.ReadFile(files[f], ReadWholeFile(files[f]), f + 1 == files.size()));
  EXPECT_GT(reader.messages, 0);
  std::printf(
      "manager gone under load: %d clients, %lld whole messages (%lld bytes) in %zu "
      "files, %zu bytes of a cut message, ended %.0f ms after its input closed\n",
      clients, static_cast<long long>(reader.messages), static_cast<long long>(reader.bytes_read),
      files.size(), reader.cut_bytes, waited_ms);
}

}  // namespace
}  // namespace test
