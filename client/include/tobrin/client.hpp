// tobrin/client.hpp: the client library (tobrin/client.h) for C++, one object per client.
//
//   tobrin::Client log("/run/app/log.sock");                 // synchronous
//   if (!log) { ... tobrin_last_error() ... }
//   log.Send("started\n");
//
//   tobrin::Client async_log("/run/app/log.sock", tobrin::DefaultOptions());  // asynchronous
//   async_log.Send("started\n");                              // 0: in the buffer
//   async_log.Flush(1000);                                    // 0: taken by the system
//
// Every call returns what its C function returns; nothing throws. The promises and their
// limits are those of tobrin/client.h.
#ifndef TOBRIN_CLIENT_HPP
#define TOBRIN_CLIENT_HPP

#include <string_view>

#include "tobrin/client.h"

namespace tobrin {

/// tobrin_options with every field at its default (see tobrin_options_init).
inline tobrin_options DefaultOptions() {
  tobrin_options options;
  tobrin_options_init(&options);
  return options;
}

class Client {
 public:
  /// No connection: every send gives TOBRIN_E_INVALID.
  Client() = default;
  /// Connects as tobrin_connect does; test the object to see whether it did.
  explicit Client(const char* pipe_name, int timeout_ms = 5000)
      : client_(tobrin_connect(pipe_name, timeout_ms)) {}
  /// Makes the client as tobrin_open does: asynchronous unless options.buffer_bytes is 0.
  Client(const char* pipe_name, const tobrin_options& options)
      : client_(tobrin_open(pipe_name, &options)) {}
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

  /// True when the client was made.
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

  /// Waits until what was buffered has been taken by the system; see tobrin_flush.
  int Flush(int timeout_ms) { return tobrin_flush(client_, timeout_ms); }

  /// How many messages were dropped because the buffer was full; see tobrin_dropped.
  unsigned long long Dropped() const { return tobrin_dropped(client_); }

  /// The C handle, for calls this class does not wrap; still owned by this object.
  tobrin_client* get() const { return client_; }

 private:
  tobrin_client* client_ = nullptr;
};

}  // namespace tobrin

#endif  // TOBRIN_CLIENT_HPP
