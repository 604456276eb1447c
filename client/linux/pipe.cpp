// Linux: the client's end of the log pipe, a SOCK_SEQPACKET socket; relies on sendmmsg,
// MSG_NOSIGNAL and MSG_DONTWAIT.
#include "client/pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/linux/native.h"
#include "platform/linux/pipe_address.h"

namespace platform {

namespace {

void Store(int* error, int code) {
  if (error) *error = code;
}

// connect() on a path that is not a socket fails with ECONNREFUSED, like a socket that no
// server listens on, so the path itself tells the two apart.
bool IsSocketOrAbsent(const char* path) {
  struct stat st;
  return stat(path, &st) != 0 || S_ISSOCK(st.st_mode);
}

// Of the flags F_SETFL sets, a new socket has none but O_NONBLOCK.
bool MakeBlocking(int fd) { return fcntl(fd, F_SETFL, 0) == 0; }

}  // namespace

bool MayBePipe(const char* name) {
  sockaddr_un address;
  return MakePipeAddress(name, &address) && IsSocketOrAbsent(name);
}

// The socket connects without blocking: a blocking connect waits in the kernel, beyond any
// time-out, while the server's queue of connections is full (EAGAIN here instead).
Connected ConnectPipe(const char* name, int timeout_ms, PipeWaits waits, PipeEnd* end, int* error) {
  sockaddr_un address;
  if (!MakePipeAddress(name, &address)) return Connected::kNotAPipe;
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    int fd = NewPipeSocket(SOCK_NONBLOCK);
    if (fd < 0) return Store(error, errno), Connected::kNoServer;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
        (waits == PipeWaits::kBounded || MakeBlocking(fd))) {
      *end = Wrap<PipeEnd>(fd);
      return Connected::kYes;
    }
    int failed = errno;
    Store(error, failed);
    close(fd);
    if (failed == ECONNREFUSED && !IsSocketOrAbsent(name)) return Connected::kNotAPipe;
    bool retry = failed == ENOENT || failed == ECONNREFUSED || failed == EAGAIN || failed == EINTR;
    if (!retry || MillisecondsSince(start) >= timeout_ms) return Connected::kNoServer;
    PauseMilliseconds(2);
  }
}

bool SendPipeMessage(PipeEnd end, const void* data, int length, int* error) {
  for (;;) {
    ssize_t n = send(Fd(end), data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (n >= 0) return true;
    if (errno == EINTR) continue;
    Store(error, errno);
    return false;
  }
}

int SendPipeMessages(PipeEnd end, const char* const* messages, const int* lengths, int count,
                     int* error) {
  enum { kPerCall = 64 };
  mmsghdr headers[kPerCall];
  iovec vecs[kPerCall];
  int sent = 0;
  while (sent < count) {
    int batch = count - sent < kPerCall ? count - sent : kPerCall;
    for (int i = 0; i < batch; ++i) {
      vecs[i].iov_base = const_cast<char*>(messages[sent + i]);
      vecs[i].iov_len = static_cast<size_t>(lengths[sent + i]);
      memset(&headers[i], 0, sizeof(headers[i]));
      headers[i].msg_hdr.msg_iov = &vecs[i];
      headers[i].msg_hdr.msg_iovlen = 1;
    }
    int n = sendmmsg(Fd(end), headers, static_cast<unsigned>(batch), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Store(error, errno);
      return sent;
    }
    sent += n;
  }
  return sent;
}

// A message on a SOCK_SEQPACKET socket is taken whole or not at all, so a send that finds
// no room has taken nothing.
Sent SendPipeMessageBounded(PipeEnd end, const void* data, int length, bool (*keep_waiting)(void*),
                            void* context, int* error) {
  for (;;) {
    if (send(Fd(end), data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0)
      return Sent::kYes;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Store(error, errno), Sent::kFailed;
    pollfd room{Fd(end), POLLOUT, 0};
    poll(&room, 1, kSendStepMs);
    if (!keep_waiting(context)) return Sent::kGaveUp;
  }
}

void ClosePipe(PipeEnd end) { close(Fd(end)); }

// A peer that has closed gives EPIPE; one that died with the message queued, or a listener
// that closed before accepting us, gives ECONNRESET; ENOTCONN when the socket never was.
bool IsServerGone(int error) { return error == EPIPE || error == ECONNRESET || error == ENOTCONN; }

}  // namespace platform
