// Child processes on POSIX: posix_spawn with pipes; every descriptor of ours is close-on-exec.
#include "platform/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

void CloseIfOpen(intptr_t* fd) {
  if (*fd >= 0) close(static_cast<int>(*fd));
  *fd = -1;
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

long MillisecondsSince(const timespec& start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

}  // namespace

bool SpawnChild(const std::vector<std::string>& argv, Child* child, int* error, ChildInput input) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) return *error = errno, false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    *error = errno;
    close(in[0]), close(in[1]);
    return false;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    *error = errno;
    close(in[0]), close(in[1]), close(out[0]), close(out[1]);
    return false;
  }
  // The child's descriptor shares the flag with in[0]; our end stays blocking.
  if (input == ChildInput::kNonBlockingPipe) fcntl(in[0], F_SETFL, O_NONBLOCK);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input == ChildInput::kNone) {
    posix_spawn_file_actions_addclose(&actions, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  }
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]), close(out[1]), close(err[1]);
  if (rc != 0) {
    *error = rc;
    close(in[1]), close(out[0]), close(err[0]);
    return false;
  }
  *child = Child{pid, in[1], out[0], err[0]};
  return true;
}

// A child that has gone must fail the write, not end this process with SIGPIPE: the signal
// is held back on this thread during the write and taken off again when it came.
int WriteToChild(const Child& child, const void* data, int size) {
  sigset_t pipe_signal, old_mask;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &old_mask);
  const char* bytes = static_cast<const char*>(data);
  int done = 0;
  while (done < size) {
    ssize_t n = write(static_cast<int>(child.stdin_write), bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      timespec no_wait{0, 0};
      if (errno == EPIPE) sigtimedwait(&pipe_signal, nullptr, &no_wait);
      done = -1;
      break;
    }
    done += static_cast<int>(n);
  }
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  return done;
}

void CloseChildInput(Child* child) { CloseIfOpen(&child->stdin_write); }

int ReadFromChild(const Child& child, ChildStream stream, char* buffer, int capacity) {
  int fd = static_cast<int>(stream == ChildStream::kStdout ? child.stdout_read : child.stderr_read);
  for (;;) {
    ssize_t n = read(fd, buffer, static_cast<size_t>(capacity));
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : static_cast<int>(n);
  }
}

bool WaitForChild(const Child& child, int timeout_ms, int* exit_status) {
  pid_t pid = static_cast<pid_t>(child.process);
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    pollfd p{pidfd, POLLIN, 0};
    int ready;
    do {
      ready = poll(&p, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    close(pidfd);
    if (ready <= 0) return false;
  }
  // Without pidfd (old kernels) fall back to polling, still within the limit.
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    int status;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      *exit_status = DecodeStatus(status);
      return true;
    }
    if (done < 0 && errno != EINTR) return false;
    if (MillisecondsSince(start) >= timeout_ms) return false;
    timespec pause{0, 2000000};
    nanosleep(&pause, nullptr);
  }
}

void KillChild(const Child& child) {
  if (child.process > 0) kill(static_cast<pid_t>(child.process), SIGKILL);
}

void ReleaseChild(Child* child) {
  CloseIfOpen(&child->stdin_write);
  CloseIfOpen(&child->stdout_read);
  CloseIfOpen(&child->stderr_read);
}

int ReportedExitStatus(int status) { return status & 0xff; }

long CurrentProcessId() { return static_cast<long>(getpid()); }

}  // namespace platform
