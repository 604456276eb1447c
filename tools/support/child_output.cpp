#include "tools/support/child_output.h"

#include <utility>

namespace platform {

void ChildOutput::Start(const Child& child, Deliver deliver, Hold hold) {
  child_ = child;
  deliver_ = std::move(deliver);
  hold_ = std::move(hold);
  open_[0] = open_[1] = true;
  readers_[0] = std::thread([this] { Read(ChildStream::kStdout); });
  readers_[1] = std::thread([this] { Read(ChildStream::kStderr); });
}

void ChildOutput::Read(ChildStream stream) {
  char buffer[4096];
  // A stream that the child was started without ends at once.
  bool reading = (stream == ChildStream::kStdout ? child_.output : child_.error).IsOpen();
  while (reading) {
    if (hold_) {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return !hold_(stream); });
    }
    int n = ReadFromChild(child_, stream, buffer, sizeof buffer);
    reading = n > 0;
    if (reading) deliver_(stream, buffer, n);
  }
  deliver_(stream, nullptr, 0);
  Update([&] { open_[Index(stream)] = false; });
}

bool ChildOutput::WaitForBothEnds(int timeout_ms) {
  return WaitUntil(timeout_ms, [&] { return !open_[0] && !open_[1]; });
}

void ChildOutput::Join() {
  for (std::thread& reader : readers_) {
    if (reader.joinable()) reader.join();
  }
}

std::string PrefixedLines::Next(const std::string& bytes) {
  std::string text;
  for (char c : bytes) {
    if (pending_cr_ && c != '\n') text += '\r';
    pending_cr_ = c == '\r';
    if (pending_cr_) continue;
    if (line_start_) text += prefix_;
    text += c;
    line_start_ = c == '\n';
  }
  return text;
}

std::string PrefixedLines::End() {
  std::string text;
  if (pending_cr_) text += line_start_ ? std::string(prefix_) + "\r" : "\r";
  if (!line_start_ || pending_cr_) text += '\n';
  return text;
}

}  // namespace platform
