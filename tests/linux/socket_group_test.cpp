// Linux only: who may log through the pipe's socket when an operator gives a service group
// the right to, through the group of the socket's directory and the server's umask.
#include <errno.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "client/pipe.h"
#include "tests/log_server_fixture.h"

namespace test {
namespace {

// Ids that no account on a test machine is expected to have; nothing in /etc names them.
constexpr gid_t kServiceGroup = 64701;
constexpr gid_t kOtherGroup = 64702;
constexpr uid_t kMember = 64701;
constexpr uid_t kOutsider = 64702;

// Sends `message` into `pipe` from a child that runs as `uid` with `gid` and, for a member,
// the service group too. Its status: 0 when sent, 2 when the connection was refused for lack
// of permission, 1 for anything else.
int SendAs(uid_t uid, gid_t gid, bool member, const std::string& pipe, const std::string& message) {
  pid_t child = fork();
  if (child == 0) {
    gid_t groups[] = {kServiceGroup};
    if (setgroups(member ? 1 : 0, groups) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(1);
    platform::PipeEnd end;
    int error = 0;
    if (!platform::ConnectToPipe(pipe.c_str(), 5000, &end, &error)) _exit(error == EACCES ? 2 : 1);
    _exit(platform::SendPipeMessage(end, message.data(), static_cast<int>(message.size())) ? 0 : 1);
  }
  int status = -1;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Starts `server` under `mask`, and gives the mode of its socket (0 when it has none).
mode_t SocketModeUnder(mode_t mask, LogServer* server) {
  mode_t old_mask = umask(mask);
  bool started = server->Start();
  umask(old_mask);
  struct stat st;
  // The socket is bound once a client got through.
  if (!started || !SendMessages(server->pipe, {}) || lstat(server->pipe.c_str(), &st) != 0 ||
      !S_ISSOCK(st.st_mode))
    return 0;
  return st.st_mode & 07777;
}

// What the umask leaves of owner and group, and never anything for others.
TEST(SocketGroup, ModeIsWhatTheUmaskLeavesOwnerAndGroupAndNothingForOthers) {
  const struct { mode_t umask, mode; } cases[] = {{077, 0700}, {027, 0750}, {0, 0770}};
  for (const auto& c : cases) {
    ScratchDir dir;
    LogServer server(dir);
    EXPECT_EQ(SocketModeUnder(c.umask, &server), c.mode) << "umask " << std::oct << c.umask;
    EXPECT_EQ(server.Stop(), 1);
  }
}

TEST(SocketGroup, AnotherUserInTheGroupCanLogAndOneOutsideItCannot) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can act as other users; run as root to test this";
  ScratchDir dir;
  // Others may pass through the directory, so that the socket's own mode is what turns the
  // outsider away.
  ASSERT_EQ(chown(dir.path().c_str(), 0, kServiceGroup), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 02755), 0);
  LogServer server(dir);
  ASSERT_EQ(SocketModeUnder(0007, &server), 0770u);
  struct stat st;
  ASSERT_EQ(lstat(server.pipe.c_str(), &st), 0);
  EXPECT_EQ(st.st_gid, kServiceGroup) << "the socket did not take its directory's group";

  ASSERT_EQ(SendAs(kMember, kOtherGroup, true, server.pipe, "member\n"), 0);
  EXPECT_EQ(SendAs(kOutsider, kOtherGroup, false, server.pipe, "outsider\n"), 2);
  ASSERT_TRUE(server.WaitForClientsDone(2));
  EXPECT_EQ(ReadWholeFile(server.log), "member\n");
  EXPECT_EQ(server.Stop(), 1);
}

}  // namespace
}  // namespace test
