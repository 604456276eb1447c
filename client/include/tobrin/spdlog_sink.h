// tobrin/spdlog_sink.h: an spdlog sink that sends each formatted record to a Tobrin log
// server as one message (the default pattern ends each record in a line feed).
//
//   auto sink = std::make_shared<tobrin::spdlog_sink_mt>("/run/app/log.sock",
//                                                        tobrin::DefaultOptions());
//   spdlog::logger logger("app", sink);
//
// Made with tobrin_options, the sink sends through an asynchronous client (unless
// buffer_bytes is 0): a record goes into the client's buffer and the logger goes on, whether
// or not a server is there; with the default TOBRIN_DROP, a record that finds the buffer
// full is dropped and counted, and the count line in the log reports it. The logger's flush
// (flush(), flush_on) waits until the buffered records have been taken by the system, for at
// most the connect time-out. Made with a pipe name and a time-out, the sink sends through a
// synchronous client, as it always has: the constructor throws when no server is reachable
// within the time-out, and each record waits until the system has taken it.
//
// The constructor throws spdlog::spdlog_ex when it cannot make the client, as spdlog's file
// sinks do when they cannot open their file. A record that cannot be sent or buffered (longer
// than TOBRIN_MAX_MESSAGE bytes; synchronously, the server gone and not back within the
// time-out) and a flush that runs out of time throw spdlog::spdlog_ex from the sink, which
// the logger hands to its error handler: a record is never cut or dropped silently.
// Reconnection and the limits of what is promised are those of tobrin/client.h.
#ifndef TOBRIN_SPDLOG_SINK_H
#define TOBRIN_SPDLOG_SINK_H

#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>

#include <mutex>
#include <string>

#include "tobrin/client.hpp"

namespace tobrin {

template <typename Mutex>
class spdlog_sink final : public spdlog::sinks::base_sink<Mutex> {
 public:
  /// Connects to the pipe `pipe_name`, waiting up to `timeout_ms` for its server.
  explicit spdlog_sink(const std::string& pipe_name, int timeout_ms = 5000)
      : client_(pipe_name.c_str(), timeout_ms), flush_timeout_ms_(timeout_ms) {
    if (!client_)
      spdlog::throw_spdlog_ex("tobrin sink: cannot connect to " + pipe_name, tobrin_last_error());
  }

  /// Makes the client as tobrin_open does: asynchronous unless options.buffer_bytes is 0.
  spdlog_sink(const std::string& pipe_name, const tobrin_options& options)
      : client_(pipe_name.c_str(), options), flush_timeout_ms_(options.connect_timeout_ms) {
    if (!client_)
      spdlog::throw_spdlog_ex("tobrin sink: cannot open " + pipe_name, tobrin_last_error());
  }

  /// How many records were dropped because the buffer was full.
  unsigned long long dropped() const { return client_.Dropped(); }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t formatted;
    this->formatter_->format(msg, formatted);
    // A drop is reported in the log by the count line, not once per record here.
    int result = client_.Send(std::string_view(formatted.data(), formatted.size()));
    if (result != 0 && result != TOBRIN_E_DROPPED) Throw(result);
  }

  void flush_() override {
    int result = client_.Flush(flush_timeout_ms_);
    if (result != 0) Throw(result);
  }

 private:
  static void Throw(int result) {
    spdlog::throw_spdlog_ex(std::string("tobrin sink: ") + tobrin_strerror(result),
                            tobrin_last_error());
  }

  Client client_;
  int flush_timeout_ms_;
};

/// For loggers used from several threads, and for one thread only.
using spdlog_sink_mt = spdlog_sink<std::mutex>;
using spdlog_sink_st = spdlog_sink<spdlog::details::null_mutex>;

}  // namespace tobrin

#endif  // TOBRIN_SPDLOG_SINK_H
