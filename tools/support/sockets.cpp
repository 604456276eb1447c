#include "tools/support/sockets.h"

#include <vector>

namespace platform {

bool SendAll(Socket socket, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    int sent = SendOnce(socket, bytes.data() + done, static_cast<int>(bytes.size() - done));
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  return true;
}

int ReceiveWithin(Socket socket, int timeout_ms, int capacity, std::string* sink) {
  if (WaitReadable(socket, timeout_ms) != 1) return -1;
  std::vector<char> buffer(static_cast<size_t>(capacity));
  int received = ReceiveOnce(socket, buffer.data(), capacity);
  if (received > 0) sink->append(buffer.data(), static_cast<size_t>(received));
  return received;
}

bool ReceiveUntilClosed(Socket socket, int timeout_ms, std::string* sink) {
  int received;
  while ((received = ReceiveWithin(socket, timeout_ms, 4096, sink)) > 0) {
  }
  return received == 0;
}

}  // namespace platform
