// Linux: the client's end of the log pipe, a SOCK_SEQPACKET socket; relies on sendmmsg and
// MSG_NOSIGNAL.
#include "client/pipe.h"

#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "platform/linux/native.h"
#include "platform/linux/pipe_address.h"

namespace platform {

bool ConnectToPipe(const char* name, int timeout_ms, PipeEnd* end, std::error_code* error) {
  sockaddr_un address;
  if (!MakePipeAddress(name, &address)) {
    SetError(error, std::make_error_code(std::errc::filename_too_long));
    return false;
  }
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    int fd = NewPipeSocket();
    if (fd < 0) return StoreErrno(error), false;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
      *end = Wrap<PipeEnd>(fd);
      return true;
    }
    int failed = errno;
    StoreErrno(error);
    close(fd);
    bool retry = failed == ENOENT || failed == ECONNREFUSED || failed == EAGAIN || failed == EINTR;
    if (!retry || MillisecondsSince(start) >= timeout_ms) return false;
    PauseMilliseconds(2);
  }
}

bool SendPipeMessage(PipeEnd end, const void* data, int length, std::error_code* error) {
  for (;;) {
    ssize_t n = send(Fd(end), data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (n >= 0) return true;
    if (errno == EINTR) continue;
    StoreErrno(error);
    return false;
  }
}

int SendPipeMessages(PipeEnd end, const char* const* messages, const int* lengths, int count,
                     std::error_code* error) {
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
      StoreErrno(error);
      return sent;
    }
    sent += n;
  }
  return sent;
}

void ClosePipe(PipeEnd end) { close(Fd(end)); }

// A peer that has closed gives EPIPE; one that died with the message queued, or a listener
// that closed before accepting us, gives ECONNRESET; ENOTCONN when the socket never was.
bool IsServerGone(const std::error_code& error) {
  int code = error.value();
  return error.category() == std::generic_category() &&
         (code == EPIPE || code == ECONNRESET || code == ENOTCONN);
}

}  // namespace platform
