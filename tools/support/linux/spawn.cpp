// Linux: child processes through posix_spawnp and pipe2; relies on pidfd_open to wait for them.
#include "tools/support/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "platform/linux/native.h"

extern char** environ;

namespace platform {

namespace {

pid_t Pid(const Child& child) { return static_cast<pid_t>(Fd(child.process)); }

int StreamFd(const Child& child, ChildStream stream) {
  return Fd(stream == ChildStream::kStdout ? child.output : child.error);
}

// Our end of the pipe on a stream the child keeps, or none when it has gone without.
ChildPipe OurEndIf(bool kept, int fd) {
  if (kept) return Wrap<ChildPipe>(fd);
  close(fd);
  return ChildPipe();
}

void CloseOurEnd(ChildPipe* end) {
  if (IsOpen(*end)) close(Fd(*end));
  *end = ChildPipe();
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

bool SpawnChild(const std::vector<std::string>& argv, ChildInput input, ChildOutputs outputs,
                Child* child, std::error_code* error) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) return StoreErrno(error), false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    StoreErrno(error);
    close(in[0]), close(in[1]);
    return false;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    StoreErrno(error);
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
  const bool with_stdout = outputs != ChildOutputs::kNoStdout;
  const bool with_stderr = outputs != ChildOutputs::kNoStderr;
  if (with_stdout) {
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
  }
  if (with_stderr) {
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  } else {
    posix_spawn_file_actions_addclose(&actions, STDERR_FILENO);
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  // A name without a slash is looked up in PATH, as CreateProcess does on Windows.
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]), close(out[1]), close(err[1]);
  if (rc != 0) {
    SetError(error, std::error_code(rc, std::generic_category()));
    close(in[1]), close(out[0]), close(err[0]);
    return false;
  }
  child->process = Wrap<ChildProcess>(pid);
  child->input = Wrap<ChildPipe>(in[1]);
  child->output = OurEndIf(with_stdout, out[0]);
  child->error = OurEndIf(with_stderr, err[0]);
  return true;
}

// A child that has gone must fail the write, not end this process with SIGPIPE: the signal
// is held back on this thread during the write and taken off again when it came.
int WriteToChild(const Child& child, const void* data, int size, std::error_code* error) {
  sigset_t pipe_signal, old_mask;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &old_mask);
  const char* bytes = static_cast<const char*>(data);
  int done = 0;
  while (done < size) {
    ssize_t n = write(Fd(child.input), bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      StoreErrno(error);
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

void CloseChildInput(Child* child) { CloseOurEnd(&child->input); }

int ReadFromChild(const Child& child, ChildStream stream, char* buffer, int capacity,
                  std::error_code* error) {
  int fd = StreamFd(child, stream);
  for (;;) {
    ssize_t n = read(fd, buffer, static_cast<size_t>(capacity));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) StoreErrno(error);
    return n < 0 ? -1 : static_cast<int>(n);
  }
}

bool WaitForChild(const Child& child, int timeout_ms, int* exit_status, std::error_code* error) {
  pid_t pid = Pid(child);
  if (pid <= 0) return SetError(error, std::make_error_code(std::errc::no_child_process)), false;
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
    if (done < 0 && errno != EINTR) return StoreErrno(error), false;
    if (MillisecondsSince(start) >= timeout_ms) return false;
    PauseMilliseconds(2);
  }
}

long long ChildProcessNumber(const Child& child) { return Pid(child); }

void KillChild(const Child& child) { KillProcess(Pid(child)); }

void KillProcess(long pid) {
  if (pid > 0) kill(static_cast<pid_t>(pid), SIGKILL);
}

// A pid is no handle: the process itself has nothing to release.
void ReleaseChild(Child* child) {
  CloseOurEnd(&child->input);
  CloseOurEnd(&child->output);
  CloseOurEnd(&child->error);
  child->process = ChildProcess();
}

int ReportedExitStatus(int status) { return status & 0xff; }

long CurrentProcessId() { return static_cast<long>(getpid()); }

}  // namespace platform
