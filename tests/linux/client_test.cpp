// The client library where only Linux can test it: forks while other threads send, and a
// server whose queue of connections is full.
#include "tobrin/client.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/log_server_fixture.h"
#include "tests/messages.h"

namespace test {
namespace {

int Send(tobrin_client* client, const std::string& message) {
  return tobrin_send(client, message.data(), message.size());
}

// Runs `body` in a forked child and gives its exit status; -1 when it had not ended within
// `timeout_ms` (it is killed then).
int RunInChild(const std::function<int()>& body, int timeout_ms) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (!PollUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

// Each child is forked while two threads of the parent send, one through an asynchronous
// and one through a synchronous client; it sends one message through each client it
// inherited and closes them. No child hangs on a lock a parent's thread held, no child sends
// what the parent had buffered, and every message is in the log whole and once.
TEST(ClientFork, AChildForkedWhileOtherThreadsSendLogsAtOnceAndNothingTwice) {
  constexpr int kChildren = 12;
  const Lengths kLength = Exactly(64);
  LogServer server;
  ASSERT_TRUE(server.Start({"--filesize=2000000000"}));
  tobrin_options options;
  tobrin_options_init(&options);
  options.when_full = TOBRIN_WAIT;
  tobrin_client* clients[2] = {tobrin_open(server.pipe.c_str(), &options),
                               tobrin_connect(server.pipe.c_str(), 20000)};
  ASSERT_NE(clients[0], nullptr);
  ASSERT_NE(clients[1], nullptr);
  std::atomic<bool> stop{false};
  int sent[2] = {0, 0};
  std::vector<std::thread> senders;
  for (int c = 0; c < 2; ++c) {
    senders.emplace_back([&, c] {
      while (!stop && Send(clients[c], MakeMessage(c, sent[c], kLength)) == 0) ++sent[c];
    });
  }
  for (int k = 0; k < kChildren; ++k) {
    int status = RunInChild(
        [&] {
          int failed = 0;
          for (int c = 0; c < 2; ++c)
            failed += Send(clients[c], MakeMessage(2 + 2 * k + c, 0, kLength)) != 0;
          tobrin_close(clients[0]);
          tobrin_close(clients[1]);
          return failed;
        },
        20000);
    EXPECT_EQ(status, 0) << "child " << k << (status == -1 ? " hung" : " failed to send");
  }
  stop = true;
  for (std::thread& sender : senders) sender.join();
  tobrin_close(clients[0]);
  tobrin_close(clients[1]);
  ASSERT_TRUE(server.WaitForClientsDone(2 + 2 * kChildren));
  LogReader reader(2 + 2 * kChildren, kLength);
  EXPECT_TRUE(reader.ReadFile(server.log, ReadWholeFile(server.log)));
  for (int c = 0; c < 2; ++c) EXPECT_EQ(reader.next[c], sent[c]) << "the parent's client " << c;
  for (int c = 2; c < 2 + 2 * kChildren; ++c) EXPECT_EQ(reader.next[c], 1) << "child client " << c;
  EXPECT_EQ(server.Stop(), 1);
}

// A listener with room for one waiting connection, which it never accepts unless told: a
// server whose queue is full, as one at its descriptor limit or stopped has.
class FullQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir.File("full.sock");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener, 0), 0);
  }
  void TearDown() override { close(listener); }

  ScratchDir dir;
  std::string path;
  int listener = -1;
};

// A blocking connect would wait in the kernel until the queue has room, beyond any time-out,
// in tobrin_connect and in the reconnection of a send alike.
TEST_F(FullQueue, ConnectingGivesUpAtTheTimeOut) {
  constexpr int kTimeoutMs = 300;
  tobrin_client* client = tobrin_connect(path.c_str(), kTimeoutMs);
  ASSERT_NE(client, nullptr);
  close(accept(listener, nullptr, nullptr));  // the server drops it
  tobrin_client* waiting = tobrin_connect(path.c_str(), 0);
  ASSERT_NE(waiting, nullptr) << "the queue's one place";

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Send(client, "dropped\n"), TOBRIN_E_NO_SERVER);
  EXPECT_EQ(tobrin_last_error(), EAGAIN);
  EXPECT_EQ(tobrin_connect(path.c_str(), kTimeoutMs), nullptr);
  EXPECT_EQ(tobrin_last_error(), EAGAIN);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  tobrin_close(waiting);
  tobrin_close(client);
}

}  // namespace
}  // namespace test
