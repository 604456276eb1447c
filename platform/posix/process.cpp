// The server process on POSIX: signals, descriptor limits, standard input, _exit.
#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

namespace platform {

namespace {

bool g_stdin_open = true;

// A standard descriptor that is closed would be taken by the next open(), and the log file
// would then receive the server's messages; /dev/null holds its place instead.
bool HoldStandardDescriptor(int fd) {
  if (fcntl(fd, F_GETFD) != -1) return true;
  int null_fd = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
  if (null_fd >= 0 && null_fd != fd) close(null_fd);
  return false;
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

void PrepareServerProcess() {
  g_stdin_open = HoldStandardDescriptor(STDIN_FILENO);
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

bool HasStandardInputHandle() { return g_stdin_open; }

int ReadStandardInput(char* buffer, int capacity) {
  ssize_t n;
  do {
    n = read(STDIN_FILENO, buffer, static_cast<size_t>(capacity));
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

}  // namespace platform
