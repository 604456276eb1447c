// Linux: the server process's signals, limits, standard streams and end; relies on poll, pwritev2
// and _exit.
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/linux/native.h"

namespace platform {

namespace {

// A standard descriptor that is closed would be taken by the next open(), and the log file
// would then receive the server's messages; /dev/null holds its place instead. A standard
// input held so reads end-of-file at once, as a process without one must.
void HoldStandardDescriptor(int fd) {
  if (fcntl(fd, F_GETFD) != -1) return;
  int null_fd = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
  if (null_fd >= 0 && null_fd != fd) close(null_fd);
}

// Blocks until standard input has something to read, its end, or an error.
bool WaitForStandardInput() {
  pollfd p{STDIN_FILENO, POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, -1);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

// A handler, not SIG_IGN: ignored signals stay ignored in the commands the server starts.
void IgnoreSignal(int) {}

void CatchSignal(int number) {
  struct sigaction action {};
  action.sa_handler = IgnoreSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(number, &action, nullptr);
}

}  // namespace

bool ProgramArguments(int*, char***, std::error_code*) { return true; }

void PrepareServerProcess() {
  HoldStandardDescriptor(STDIN_FILENO);
  HoldStandardDescriptor(STDOUT_FILENO);
  HoldStandardDescriptor(STDERR_FILENO);
  CatchSignal(SIGPIPE);
  CatchSignal(SIGXFSZ);
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

void TerminateProcessNow(int status) { _exit(status); }

// Every descriptor number is a handle here; there is no invalid one to be given.
bool HasStandardInputHandle() { return true; }

int ReadStandardInput(char* buffer, int capacity, std::error_code* error) {
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buffer, static_cast<size_t>(capacity));
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    // The manager may hand over a non-blocking stream: nothing to read yet is not its end.
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || !WaitForStandardInput()) {
      StoreErrno(error);
      return -1;
    }
  }
}

// RWF_NOWAIT makes this one write fail rather than wait, without switching the descriptor,
// which the manager or a command may share, to non-blocking. Files and older kernels' pipes
// refuse it; a file never waits for a reader, and a pipe that polls writable has room for a
// short line.
bool WriteStandardErrorWithoutWaiting(const char* text) {
  const size_t length = strlen(text);
  iovec piece{const_cast<char*>(text), length};
  ssize_t written;
  do {
    written = pwritev2(STDERR_FILENO, &piece, 1, -1, RWF_NOWAIT);
  } while (written < 0 && errno == EINTR);
  if (written < 0 && (errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS)) {
    pollfd p{STDERR_FILENO, POLLOUT, 0};
    if (poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT)) return false;
    written = write(STDERR_FILENO, text, length);
  }
  return written == static_cast<ssize_t>(length);
}

}  // namespace platform
