// Linux: the server process's signals, limits, standard streams and end; relies on poll, pwritev2,
// a self-pipe for the stop signals, and _exit.
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
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

bool CatchSignal(int number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return sigaction(number, &action, nullptr) == 0;
}

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The stop signals' way from their handler to WaitForStopRequest: each writes its number
// into this pipe. Both ends are non-blocking, so that a handler never waits.
int g_stop_pipe[2] = {-1, -1};

void NoteStopSignal(int number) {
  const int saved_errno = errno;
  const unsigned char byte = static_cast<unsigned char>(number);
  ssize_t ignored = write(g_stop_pipe[1], &byte, 1);
  (void)ignored;
  errno = saved_errno;
}

// A stop signal's number, or 0 when none has come.
int TakeStopSignal() {
  unsigned char byte = 0;
  ssize_t n;
  do {
    n = read(g_stop_pipe[0], &byte, 1);
  } while (n < 0 && errno == EINTR);
  return n == 1 ? byte : 0;
}

// Reads what standard input holds now. False at its end or a failed read; a stream handed
// over non-blocking that has nothing yet is not at its end.
bool DiscardStandardInput(char* buffer, int capacity) {
  ssize_t n;
  do {
    n = read(STDIN_FILENO, buffer, static_cast<size_t>(capacity));
  } while (n < 0 && errno == EINTR);
  return n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
}

}  // namespace

bool ProgramArguments(int*, char***, std::error_code*) { return true; }

void PrepareServerProcess() {
  HoldStandardDescriptor(STDIN_FILENO);
  HoldStandardDescriptor(STDOUT_FILENO);
  HoldStandardDescriptor(STDERR_FILENO);
  CatchSignal(SIGPIPE, IgnoreSignal);
  CatchSignal(SIGXFSZ, IgnoreSignal);
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

void TerminateProcessNow(int status) { _exit(status); }

// Caught, not blocked: a blocked signal stays blocked in the commands the server starts,
// while a caught one goes back to its default there.
bool CatchStopSignals() {
  if (pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  for (int number : kStopSignals) {
    if (!CatchSignal(number, NoteStopSignal)) return false;
  }
  return true;
}

// Standard input is read only once poll says it has something (or its end), so that a stop
// signal is seen while it is quiet.
int WaitForStopRequest(char* buffer, int capacity) {
  pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {g_stop_pipe[0], POLLIN, 0}};
  const nfds_t count = g_stop_pipe[0] >= 0 ? 2 : 1;
  for (;;) {
    if (poll(watched, count, -1) < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (count == 2 && watched[1].revents) {
      int number = TakeStopSignal();
      if (number != 0) return number;
    }
    if (watched[0].revents && !DiscardStandardInput(buffer, capacity)) return 0;
  }
}

// Raised on the calling thread, the signal's default action ends the whole process. Should
// it not (the signal blocked on this thread), the status a shell gives a process that the
// signal ended stands in.
void EndBySignal(int signal_number) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal_number);
  _exit(128 + signal_number);
}

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
