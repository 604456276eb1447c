#include "tools/support/sockets.h"

#include <chrono>
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

bool ReceiveLine(Socket socket, int timeout_ms, int max_bytes, std::string* line) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string received;
  while (received.find('\n') == std::string::npos &&
         received.size() < static_cast<size_t>(max_bytes)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 ||
        ReceiveWithin(socket, static_cast<int>(left.count()), 1024, &received) <= 0)
      return false;
  }
  size_t end = received.find('\n');
  if (end == std::string::npos) return false;
  *line = received.substr(0, end);
  while (!line->empty() && (line->back() == ' ' || line->back() == '\t' || line->back() == '\r'))
    line->pop_back();
  return true;
}

bool ReceiveUntilClosed(Socket socket, int timeout_ms, std::string* sink) {
  int received;
  while ((received = ReceiveWithin(socket, timeout_ms, 4096, sink)) > 0) {
  }
  return received == 0;
}

}  // namespace platform
