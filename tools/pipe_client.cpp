// tobrin-pipe-client: writes log messages into a log server's pipe, for people and tests.
//
//   tobrin-pipe-client [options] PIPE [MESSAGE...]
//
// Each MESSAGE is sent as one message; without any, each line of standard input is one
// message (with its line feed), sent as soon as it has been read. Standard input is read as
// bytes, exactly as they come. A message longer than the server takes (with its time stamp
// and tag) is reported and skipped alone, and the status at the end is then 1. Everything
// goes through the client library, so a server that restarts meanwhile is reconnected to.
// Standard input never makes tobrin-pipe-client give up: while no server takes its lines it holds
// up to a buffer's worth and then stops reading, so that its writer waits, and at the end of
// the input it waits up to --timeout for a server to take what it holds; status 1, with a
// count, when some could not be delivered.
// Options:
//   --newline        add a line feed to each MESSAGE
//   --tag=NAME       put "NAME: " before each MESSAGE and line
//   --timestamp      put the time before each MESSAGE and line (and before the tag):
//                    UTC, ISO 8601 with microseconds, then a space
//   --repeat=R       send the whole set R times (default 1); each line of standard input R
//                    times as it comes
//   --connections=N  do it over N connections at once (default 1); standard input's lines
//                    go to each connection in turn
//   --size=B --count=C  instead of MESSAGEs, send C generated messages of B bytes each
//                    (a connection number, a sequence number, filler, a line feed)
//   --timeout=MS     how long to keep trying to connect for MESSAGEs, and how long to wait
//                    at the end of standard input for its last lines to be taken
//                    (default 10000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/msgpipe.h"
#include "platform/process.h"
#include "tobrin/client.h"
#include "tools/support/failure.h"
#include "tools/support/standard_streams.h"
#include "tools/support/utc_time.h"

namespace {

constexpr char kTool[] = "tobrin-pipe-client";

struct Options {
  const char* pipe = nullptr;
  std::vector<std::string> messages;
  bool from_stdin = false;
  bool newline = false;
  std::string tag;
  bool timestamp = false;
  long repeat = 1;
  long connections = 1;
  long size = 0;
  long count = 0;
  int timeout_ms = 10000;
};

bool NumberOption(const char* argument, const char* prefix, long* value) {
  size_t length = std::strlen(prefix);
  if (std::strncmp(argument, prefix, length) != 0) return false;
  char* end = nullptr;
  *value = std::strtol(argument + length, &end, 10);
  if (end == argument + length || *end != '\0' || *value < 0) {
    std::fprintf(stderr, "%s: bad number in %s\n", kTool, argument);
    std::exit(2);
  }
  return true;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    long timeout = 0;
    if (std::strcmp(argv[i], "--newline") == 0) {
      options->newline = true;
    } else if (std::strcmp(argv[i], "--timestamp") == 0) {
      options->timestamp = true;
    } else if (std::strncmp(argv[i], "--tag=", 6) == 0) {
      options->tag = argv[i] + 6;
    } else if (NumberOption(argv[i], "--timeout=", &timeout)) {
      options->timeout_ms = static_cast<int>(timeout);
    } else if (!NumberOption(argv[i], "--repeat=", &options->repeat) &&
               !NumberOption(argv[i], "--connections=", &options->connections) &&
               !NumberOption(argv[i], "--size=", &options->size) &&
               !NumberOption(argv[i], "--count=", &options->count)) {
      std::fprintf(stderr, "%s: unknown option %s\n", kTool, argv[i]);
      return false;
    }
  }
  if (i >= argc) return false;
  options->pipe = argv[i++];
  for (; i < argc; ++i)
    options->messages.push_back(std::string(argv[i]) + (options->newline ? "\n" : ""));
  options->from_stdin = options->messages.empty() && options->size == 0;
  if (options->size > platform::kMaxMessage) {
    std::fprintf(stderr, "%s: --size is at most %d\n", kTool, platform::kMaxMessage);
    return false;
  }
  return true;
}

// What goes before each MESSAGE and line: the time, then the tag. The time has a fixed
// width, so the length is the same for every message.
std::string Prefix(const Options& options) {
  std::string prefix;
  if (options.timestamp) {
    platform::UtcTime t = platform::CurrentUtcTime();
    char stamp[64];
    int n = std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ ", t.year,
                          t.month, t.day, t.hour, t.minute, t.second, t.microsecond);
    prefix.append(stamp, static_cast<size_t>(n));
  }
  if (!options.tag.empty()) prefix += options.tag + ": ";
  return prefix;
}

bool Fits(size_t prefix, size_t text) { return prefix + text <= platform::kMaxMessage; }

void PrintTooLong(const char* what, long number) {
  std::fprintf(stderr, "%s: %s %ld is longer than %d bytes; not sent\n", kTool, what, number,
               platform::kMaxMessage);
}

// Reports each MESSAGE that the server would not take and leaves it out, before anything is
// sent; the others go as usual. False when one was left out.
bool KeepMessagesThatFit(Options* options) {
  const size_t prefix = Prefix(*options).size();
  std::vector<std::string> kept;
  for (size_t m = 0; m < options->messages.size(); ++m) {
    if (Fits(prefix, options->messages[m].size())) {
      kept.push_back(options->messages[m]);
    } else {
      PrintTooLong("message", static_cast<long>(m + 1));
    }
  }
  bool all = kept.size() == options->messages.size();
  options->messages.swap(kept);
  return all;
}

void PrintSendFailure(const char* pipe, int result) {
  std::fprintf(stderr, "%s: cannot send to %s: %s (%d)\n", kTool, pipe, tobrin_strerror(result),
               tobrin_last_error());
}

// Why the library made no client: the system's error, or none when the library itself
// refused the name (it is not a pipe).
void PrintNoClient(const char* pipe) {
  const int error = tobrin_last_error();
  if (error == 0)
    std::fprintf(stderr, "%s: cannot connect to %s: not a pipe\n", kTool, pipe);
  else
    PrintFailure(kTool, std::string("connect to ") + pipe,
                 std::error_code(error, std::system_category()));
}

tobrin_client* Connect(const Options& options) {
  tobrin_client* client = tobrin_connect(options.pipe, options.timeout_ms);
  if (!client) PrintNoClient(options.pipe);
  return client;
}

// Collects messages and sends them in groups, so that where the system sends many in one
// call (Linux), a group costs one. Each message is made in a slot of the outbox's own,
// which is filled again only after its group has gone.
class Outbox {
 public:
  enum { kGroup = 64 };
  Outbox(tobrin_client* client, const char* pipe) : client_(client), pipe_(pipe) {}
  /// Where to make the next message.
  std::string* Slot() { return &slots_[count_]; }
  /// Adds the message made in Slot(), and sends the group once it is full.
  bool Add() {
    messages_[count_] = {slots_[count_].data(), slots_[count_].size()};
    return ++count_ < kGroup || Flush();
  }
  bool Flush() {
    int result = tobrin_send_many(client_, messages_, static_cast<size_t>(count_), nullptr);
    count_ = 0;
    if (result != 0) PrintSendFailure(pipe_, result);
    return result == 0;
  }

 private:
  tobrin_client* client_;
  const char* pipe_;
  std::string slots_[kGroup];
  tobrin_message messages_[kGroup];
  int count_ = 0;
};

// A connection number, a sequence number, letters, a line feed: `size` bytes in all.
void MakeMessage(long connection, long seq, long size, std::string* message) {
  message->clear();
  char head[48];
  int n = std::snprintf(head, sizeof(head), "%ld %ld ", connection, seq);
  message->append(head, static_cast<size_t>(n));
  while (static_cast<long>(message->size()) + 1 < size)
    message->push_back(static_cast<char>('a' + message->size() % 26));
  message->push_back('\n');
  message->resize(static_cast<size_t>(size));
}

bool RunConnection(const Options& options, long connection) {
  tobrin_client* client = Connect(options);
  if (!client) return false;
  Outbox outbox(client, options.pipe);
  bool ok = true;
  for (long seq = 0; ok && options.size > 0 && seq < options.count; ++seq) {
    MakeMessage(connection, seq, options.size, outbox.Slot());
    ok = outbox.Add();
  }
  for (long r = 0; ok && r < options.repeat; ++r) {
    for (size_t m = 0; ok && m < options.messages.size(); ++m) {
      *outbox.Slot() = Prefix(options) + options.messages[m];
      ok = outbox.Add();
    }
  }
  ok = ok && outbox.Flush();
  tobrin_close(client);
  return ok;
}

// Standard input cut into lines, read in large blocks as it comes. A line longer than
// `limit` bytes (its line feed included) is read to its end but not kept.
class InputLines {
 public:
  enum Result { kLine, kTooLong, kEnd, kFailed };

  explicit InputLines(size_t limit) : limit_(limit), buffer_(64 * 1024) {}

  /// The next line into `*line`, its line feed included (the last one may have none), or
  /// why there is none. After kEnd or kFailed, the same again.
  Result Next(std::string* line) {
    line->clear();
    bool too_long = false;
    for (;;) {
      const char* begin = buffer_.data() + start_;
      size_t available = end_ - start_;
      const void* feed = std::memchr(begin, '\n', available);
      size_t taken =
          feed ? static_cast<size_t>(static_cast<const char*>(feed) - begin) + 1 : available;
      too_long = too_long || line->size() + taken > limit_;
      if (!too_long) line->append(begin, taken);
      start_ += taken;
      if (feed) return too_long ? kTooLong : kLine;
      if (!Fill()) break;
    }
    // The input has ended or failed: a last line without a line feed goes first.
    if (too_long) return kTooLong;
    if (!line->empty()) return kLine;
    return failure_ ? kFailed : kEnd;
  }

  /// Why the input failed, after kFailed.
  const std::error_code& failure() const { return failure_; }

 private:
  /// Reads the next block into the empty buffer. False at the end or on failure.
  bool Fill() {
    start_ = end_ = 0;
    if (closed_) return false;
    int got =
        platform::ReadStandardInput(buffer_.data(), static_cast<int>(buffer_.size()), &failure_);
    closed_ = got <= 0;
    if (got > 0) end_ = static_cast<size_t>(got);
    return !closed_;
  }

  size_t limit_;
  std::vector<char> buffer_;
  size_t start_ = 0;
  size_t end_ = 0;
  bool closed_ = false;
  std::error_code failure_;
};

// The sending side of standard input: each message goes to every connection in turn, as
// often as --repeat says. Each connection is an asynchronous client that waits for room: while
// no server takes the lines, the buffer fills and the reading stops, so the writer waits,
// and its sender keeps trying the server for as long as the input goes on.
struct Senders {
  const Options* options;
  std::vector<tobrin_client*> clients;
};

bool OpenSenders(const Options& options, Senders* senders) {
  senders->options = &options;
  tobrin_options settings;
  tobrin_options_init(&settings);
  settings.when_full = TOBRIN_WAIT;
  settings.flush_ms = 0;
  // The delivery at the end is waited for in FlushSenders, not again in tobrin_close.
  settings.connect_timeout_ms = 0;
  for (long c = 0; c < options.connections; ++c) {
    tobrin_client* client = tobrin_open(options.pipe, &settings);
    if (!client) return PrintNoClient(options.pipe), false;
    senders->clients.push_back(client);
  }
  return true;
}

bool SendToEach(const Senders& senders, const std::string& message) {
  for (tobrin_client* client : senders.clients) {
    for (long r = 0; r < senders.options->repeat; ++r) {
      int result = tobrin_send(client, message.data(), message.size());
      if (result != 0) return PrintSendFailure(senders.options->pipe, result), false;
    }
  }
  return true;
}

// Waits up to --timeout, in all, for a server to take what the clients hold. False, after
// saying how many messages are left, when it did not.
bool FlushSenders(const Senders& senders) {
  const int timeout_ms = senders.options->timeout_ms;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  unsigned long long left = 0;
  for (tobrin_client* client : senders.clients) {
    auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (tobrin_flush(client, static_cast<int>(remaining.count())) != 0)
      left += tobrin_pending(client);
  }
  if (left > 0)
    std::fprintf(stderr, "%s: %llu messages not delivered to %s within %d ms\n", kTool, left,
                 senders.options->pipe, timeout_ms);
  return left == 0;
}

void CloseSenders(Senders* senders) {
  for (tobrin_client* client : senders->clients) tobrin_close(client);
  senders->clients.clear();
}

// Sends each line as it is read; a line that does not fit is reported and skipped, and a
// read that fails ends the input with a report. At the end, what is still held is delivered.
bool StreamStdin(const Options& options) {
  Senders senders;
  bool ok = OpenSenders(options, &senders);
  bool refused = false;
  const size_t prefix = Prefix(options).size();
  InputLines input(Fits(prefix, 0) ? platform::kMaxMessage - prefix : 0);
  std::string line;
  for (long number = 1; ok; ++number) {
    InputLines::Result result = input.Next(&line);
    if (result == InputLines::kEnd) break;
    if (result == InputLines::kFailed) {
      PrintFailure(kTool, "read standard input", input.failure());
      ok = false;
    } else if (result == InputLines::kTooLong) {
      PrintTooLong("line", number);
      refused = true;
    } else {
      ok = SendToEach(senders, Prefix(options) + line);
    }
  }
  bool delivered = FlushSenders(senders);
  CloseSenders(&senders);
  return ok && delivered && !refused;
}

}  // namespace

int main(int argc, char** argv) {
  std::error_code error;
  if (!platform::HoldStandardStreams(&error)) {
    PrintFailure(kTool, "open the null device", error);
    return 1;
  }
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: tobrin-pipe-client [--newline] [--tag=NAME] [--timestamp] [--repeat=R] "
                 "[--connections=N] [--size=B --count=C] [--timeout=MS] PIPE [MESSAGE...]\n");
    return 2;
  }
  if (options.from_stdin) return StreamStdin(options) ? 0 : 1;
  bool all_fit = KeepMessagesThatFit(&options);
  std::vector<std::thread> threads;
  std::vector<char> results(static_cast<size_t>(options.connections), 0);
  for (long c = 0; c < options.connections; ++c)
    threads.emplace_back([&, c] { results[c] = RunConnection(options, c) ? 1 : 0; });
  for (std::thread& t : threads) t.join();
  for (char ok : results)
    if (!ok) return 1;
  return all_fit ? 0 : 1;
}
