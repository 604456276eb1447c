// Linux: the log pipe is a SOCK_SEQPACKET socket; relies on recvmmsg, SIOCINQ and POLLRDHUP.
// Each accepted connection is one client's instance, and each packet one message.
#include "platform/msgpipe.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "platform/file.h"
#include "platform/linux/native.h"
#include "platform/linux/pipe_address.h"
#include "platform/lock.h"

namespace platform {

namespace {

// The listener is made by the main thread; RemovePipeName may run on another thread as the
// process ends, so the bound path is guarded. The socket file's identity is kept so that a
// file another server has bound at the same path since is never taken for ours.
int g_listener = -1;
bool g_name_bound = false;
char g_bound_path[sizeof(sockaddr_un::sun_path)];
dev_t g_bound_device;
ino_t g_bound_inode;

// Never destroyed: RemovePipeName may take it while the process exits.
Lock& NameLock() {
  static Lock* lock = new Lock;
  return *lock;
}

// The socket file gets what the umask leaves of owner and group, and nothing for others:
// an operator lets a service group log through the group of the socket's directory and a
// umask such as 0007. The bind itself creates the file with that mode, so it is never wider
// for a moment. Only the main thread creates files at this point of start-up, so the
// process-wide umask is safe to change around the bind.
bool BindForOwnerAndGroup(int fd, const sockaddr_un& address) {
  // A umask can be read only by setting one; the strict one stands for that instant.
  mode_t old_mask = umask(077);
  umask(old_mask | 007);
  int rc = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  umask(old_mask);
  return rc == 0;
}

// A socket file whose server has died refuses connections; a live server's socket, or
// anything that is not a socket, must never be removed.
bool IsStaleSocket(const sockaddr_un& address) {
  struct stat st;
  if (lstat(address.sun_path, &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
  int probe = NewPipeSocket();
  if (probe < 0) return false;
  int rc = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  bool refused = rc != 0 && errno == ECONNREFUSED;
  close(probe);
  return refused;
}

bool OpenListener(const char* name, std::error_code* error) {
  sockaddr_un address;
  if (!MakePipeAddress(name, &address)) {
    SetError(error, std::make_error_code(std::errc::filename_too_long));
    return false;
  }
  // Non-blocking, so that an accept returns at once (see ConnectPipeClient).
  int fd = NewPipeSocket(SOCK_NONBLOCK);
  if (fd < 0) return StoreErrno(error), false;
  LockGuard guard(NameLock());
  bool bound = BindForOwnerAndGroup(fd, address);
  std::error_code failed = ErrnoError();
  if (!bound && failed.value() == EADDRINUSE && IsStaleSocket(address)) {
    unlink(address.sun_path);
    bound = BindForOwnerAndGroup(fd, address);
    failed = ErrnoError();
  }
  if (bound && listen(fd, SOMAXCONN) != 0) {
    failed = ErrnoError();
    unlink(address.sun_path);
    bound = false;
  }
  if (!bound) {
    SetError(error, failed);
    close(fd);
    return false;
  }
  struct stat st {};
  g_name_bound = lstat(address.sun_path, &st) == 0;
  memcpy(g_bound_path, address.sun_path, sizeof(g_bound_path));
  g_bound_device = st.st_dev;
  g_bound_inode = st.st_ino;
  g_listener = fd;
  return true;
}

// recvmsg returns 0 both for an empty message and at the client's end. The client has
// ended only when it has hung up and nothing it sent is left in the queue.
bool ClientHasEnded(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  if (poll(&p, 1, 0) <= 0 || !(p.revents & (POLLRDHUP | POLLHUP))) return false;
  int queued = 0;
  return ioctl(fd, SIOCINQ, &queued) != 0 || queued == 0;
}

}  // namespace

void* PipeEndToThreadArgument(PipeEnd end) { return reinterpret_cast<void*>(intptr_t{Fd(end)}); }

PipeEnd PipeEndFromThreadArgument(void* argument) {
  return Wrap<PipeEnd>(static_cast<int>(reinterpret_cast<intptr_t>(argument)));
}

// The instance is made by the accept in ConnectPipeClient; until then it holds nothing.
bool CreatePipeInstance(const char* name, PipeEnd* instance, std::error_code* error) {
  if (g_listener < 0 && !OpenListener(name, error)) return false;
  *instance = PipeEnd();
  return true;
}

// A blocking accept takes the new descriptor's number before it waits, and would so keep
// the one a rotation has just closed to open the new log. The accept therefore waits for a
// client in poll, which takes no descriptor, and runs without waiting, excluded by any
// DescriptorHold.
bool ConnectPipeClient(PipeEnd* instance, std::error_code* error) {
  for (;;) {
    int fd, failed;
    {
      DescriptorHold hold;
      fd = accept4(g_listener, nullptr, nullptr, SOCK_CLOEXEC);
      failed = errno;
    }
    if (fd >= 0) {
      *instance = Wrap<PipeEnd>(fd);
      return true;
    }
    errno = failed;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd p{g_listener, POLLIN, 0};
      if (poll(&p, 1, -1) >= 0 || errno == EINTR) continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    StoreErrno(error);
    // Out of descriptors or memory: give connected clients a moment to leave instead of
    // spinning on a failing accept.
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
      PauseMilliseconds(10);
    return false;
  }
}

bool ReadPipeMessage(PipeEnd end, char* buffer, int capacity, int* length, std::error_code* error) {
  int fd = Fd(end);
  iovec vec{buffer, static_cast<size_t>(capacity)};
  for (;;) {
    msghdr message{};
    message.msg_iov = &vec;
    message.msg_iovlen = 1;
    ssize_t n = recvmsg(fd, &message, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return StoreErrno(error), false;
    }
    if (message.msg_flags & MSG_TRUNC) {
      SetError(error, std::make_error_code(std::errc::message_size));
      return false;
    }
    if (n == 0 && ClientHasEnded(fd)) return false;
    *length = static_cast<int>(n);
    return true;
  }
}

// writev gathers the messages from wherever they lie.
const bool kWriteNeedsOneRun = false;

// One recvmmsg into consecutive kMaxMessage-byte slots of `storage`, which takes only what
// is queued already. Each entry is checked for truncation.
int ReadQueuedMessages(PipeEnd end, char* storage, int bytes, int max_count,
                       ReceivedMessage* received_messages, bool* failed) {
  mmsghdr messages[kMaxMessagesPerRead];
  iovec vecs[kMaxMessagesPerRead];
  int count = bytes / kMaxMessage;
  if (count > max_count) count = max_count;
  if (count > kMaxMessagesPerRead) count = kMaxMessagesPerRead;
  for (int i = 0; i < count; ++i) {
    vecs[i].iov_base = storage + static_cast<size_t>(i) * kMaxMessage;
    vecs[i].iov_len = kMaxMessage;
    memset(&messages[i].msg_hdr, 0, sizeof(messages[i].msg_hdr));
    messages[i].msg_hdr.msg_iov = &vecs[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  *failed = false;
  if (count <= 0) return 0;
  int received;
  do {
    received = recvmmsg(Fd(end), messages, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
  } while (received < 0 && errno == EINTR);
  if (received < 0) return 0;
  for (int i = 0; i < received; ++i) {
    if (messages[i].msg_hdr.msg_flags & MSG_TRUNC) {
      *failed = true;
      return i;
    }
    received_messages[i] = {static_cast<const char*>(vecs[i].iov_base),
                            static_cast<int>(messages[i].msg_len)};
  }
  return received;
}

void DisconnectAndCloseServerEnd(PipeEnd instance) {
  shutdown(Fd(instance), SHUT_RDWR);
  close(Fd(instance));
}

void CloseUnconnectedServerEnd(PipeEnd instance) {
  if (IsOpen(instance)) close(Fd(instance));
}

// Only the name goes: the listener stays open until the process ends. Closing it first
// would let another server bind the path, and the unlink would then remove its socket.
// Once our file has been removed by someone else, the path may hold another server's.
void RemovePipeName() {
  LockGuard guard(NameLock());
  if (!g_name_bound) return;
  struct stat st;
  if (lstat(g_bound_path, &st) == 0 && st.st_dev == g_bound_device && st.st_ino == g_bound_inode)
    unlink(g_bound_path);
  g_name_bound = false;
}

std::string MakePipeName(const std::string& directory, const std::string& tag) {
  return directory + "/" + tag + ".sock";
}

}  // namespace platform
