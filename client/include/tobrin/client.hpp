// tobrin/client.hpp: the client library (tobrin/client.h) for C++, one object per connection.
//
//   tobrin::Client log("/run/app/log.sock");
//   if (!log) { ... tobrin_last_error() ... }
//   log.Send("started\n");
//
// Every call returns what its C function returns; nothing throws. The promises and their
// limits are those of tobrin/client.h.
#ifndef TOBRIN_CLIENT_HPP
#define TOBRIN_CLIENT_HPP

#include <string_view>

#include "tobrin/client.h"

namespace tobrin {

class Client {
 public:
  /// No connection: every send gives TOBRIN_E_INVALID.
  Client() = default;
  /// Connects as tobrin_connect does; test the object to see whether it did.
  explicit Client(const char* pipe_name, int timeout_ms = 5000)
      : client_(tobrin_connect(pipe_name, timeout_ms)) {}
  ~Client() { tobrin_close(client_); }

  Client(Client&& other) noexcept : client_(other.client_) { other.client_ = nullptr; }
  Client& operator=(Client&& other) noexcept {
    if (this != &other) {
      tobrin_close(client_);
      client_ = other.client_;
      other.client_ = nullptr;
    }
    return *this;
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  /// True when the connection was made.
  explicit operator bool() const { return client_ != nullptr; }

  /// Sends `message` as one message; see tobrin_send.
  int Send(std::string_view message) {
    return tobrin_send(client_, message.data(), message.size());
  }

  /// Sends `count` messages with as few system calls as the system allows; see
  /// tobrin_send_many.
  int SendMany(const tobrin_message* messages, size_t count, size_t* sent = nullptr) {
    return tobrin_send_many(client_, messages, count, sent);
  }

  /// The C handle, for calls this class does not wrap; still owned by this object.
  tobrin_client* get() const { return client_; }

 private:
  tobrin_client* client_ = nullptr;
};

}  // namespace tobrin

#endif  // TOBRIN_CLIENT_HPP
