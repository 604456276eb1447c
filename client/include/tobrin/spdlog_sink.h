// tobrin/spdlog_sink.h: an spdlog sink that sends each formatted record to a Tobrin log
// server as one message (the default pattern ends each record in a line feed).
//
//   auto sink = std::make_shared<tobrin::spdlog_sink_mt>("/run/app/log.sock");
//   spdlog::logger logger("app", sink);
//
// The constructor throws spdlog::spdlog_ex when no server is reachable within the time-out,
// as spdlog's file sinks do when they cannot open their file. A record that cannot be sent
// (longer than TOBRIN_MAX_MESSAGE bytes, or the server gone and not back within the time-out)
// throws spdlog::spdlog_ex from the sink, which the logger hands to its error handler: the
// record is never dropped silently, and never cut. Reconnection and the limits of what is
// promised are those of tobrin/client.h.
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
      : client_(pipe_name.c_str(), timeout_ms) {
    if (!client_)
      spdlog::throw_spdlog_ex("tobrin sink: cannot connect to " + pipe_name, tobrin_last_error());
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t formatted;
    this->formatter_->format(msg, formatted);
    int result = client_.Send(std::string_view(formatted.data(), formatted.size()));
    if (result != 0)
      spdlog::throw_spdlog_ex(std::string("tobrin sink: ") + tobrin_strerror(result),
                              tobrin_last_error());
  }

  // Every record is with the system once sink_it_ returns; there is nothing to flush.
  void flush_() override {}

 private:
  Client client_;
};

/// For loggers used from several threads, and for one thread only.
using spdlog_sink_mt = spdlog_sink<std::mutex>;
using spdlog_sink_st = spdlog_sink<spdlog::details::null_mutex>;

}  // namespace tobrin

#endif  // TOBRIN_SPDLOG_SINK_H
