// pipe_client: writes log messages into a log server's pipe, for people and tests.
//
//   pipe_client [options] PIPE [MESSAGE...]
//
// Each MESSAGE is sent as one message; without any, each line of standard input is one
// message (with its line feed), sent as soon as it has been read. A line longer than a
// message may be is reported and skipped, and the status at the end is then 1. Everything
// goes through the client library, so a server that restarts meanwhile is reconnected to.
// Options:
//   --newline        add a line feed to each MESSAGE
//   --repeat=R       send the whole set R times (default 1); each line of standard input R
//                    times as it comes
//   --connections=N  do it over N connections at once (default 1); standard input's lines
//                    go to each connection in turn
//   --size=B --count=C  instead of MESSAGEs, send C generated messages of B bytes each
//                    (a connection number, a sequence number, filler, a line feed)
//   --timeout=MS     how long to keep trying to connect (default 10000)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/msgpipe.h"
#include "tobrin/client.h"
#include "tools/support/failure.h"

namespace {

struct Options {
  const char* pipe = nullptr;
  std::vector<std::string> messages;
  bool newline = false;
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
    std::fprintf(stderr, "pipe_client: bad number in %s\n", argument);
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
    } else if (NumberOption(argv[i], "--timeout=", &timeout)) {
      options->timeout_ms = static_cast<int>(timeout);
    } else if (!NumberOption(argv[i], "--repeat=", &options->repeat) &&
               !NumberOption(argv[i], "--connections=", &options->connections) &&
               !NumberOption(argv[i], "--size=", &options->size) &&
               !NumberOption(argv[i], "--count=", &options->count)) {
      std::fprintf(stderr, "pipe_client: unknown option %s\n", argv[i]);
      return false;
    }
  }
  if (i >= argc) return false;
  options->pipe = argv[i++];
  for (; i < argc; ++i)
    options->messages.push_back(std::string(argv[i]) + (options->newline ? "\n" : ""));
  if (options->size > platform::kMaxMessage) {
    std::fprintf(stderr, "pipe_client: --size is at most %d\n", platform::kMaxMessage);
    return false;
  }
  return true;
}

void PrintSendFailure(const char* pipe, int result) {
  std::fprintf(stderr, "pipe_client: cannot send to %s: %s (%d)\n", pipe, tobrin_strerror(result),
               tobrin_last_error());
}

tobrin_client* Connect(const Options& options) {
  tobrin_client* client = tobrin_connect(options.pipe, options.timeout_ms);
  if (!client)
    PrintFailure("pipe_client", std::string("connect to ") + options.pipe,
                 std::error_code(tobrin_last_error(), std::system_category()));
  return client;
}

// Collects messages and sends them in groups, so that where the system sends many in one
// call (Linux), a group costs one. A message must stay unchanged until its group is sent.
class Outbox {
 public:
  enum { kGroup = 64 };
  Outbox(tobrin_client* client, const char* pipe) : client_(client), pipe_(pipe) {}
  bool Add(const std::string& message) {
    messages_[count_] = {message.data(), message.size()};
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
  // One slot per message of a group: a slot is filled again only after its group has gone.
  std::vector<std::string> generated(options.size > 0 ? Outbox::kGroup : 0);
  for (long seq = 0; ok && options.size > 0 && seq < options.count; ++seq) {
    std::string& message = generated[static_cast<size_t>(seq % Outbox::kGroup)];
    MakeMessage(connection, seq, options.size, &message);
    ok = outbox.Add(message);
  }
  for (long r = 0; ok && r < options.repeat; ++r) {
    for (size_t m = 0; ok && m < options.messages.size(); ++m) ok = outbox.Add(options.messages[m]);
  }
  ok = ok && outbox.Flush();
  tobrin_close(client);
  return ok;
}

// Reads the next line of standard input, its line feed included, into `line`. A line
// longer than a message may be is read to its end but not kept: `*too_long` tells.
bool ReadLine(std::string* line, bool* too_long) {
  line->clear();
  *too_long = false;
  int c = EOF;
  while ((c = std::getchar()) != EOF) {
    if (line->size() < platform::kMaxMessage)
      line->push_back(static_cast<char>(c));
    else
      *too_long = true;
    if (c == '\n') break;
  }
  return c != EOF || !line->empty() || *too_long;
}

// Sends each line as it is read, on every connection in turn, as often as --repeat says.
bool StreamStdin(const Options& options) {
  std::vector<tobrin_client*> clients;
  for (long c = 0; c < options.connections; ++c) {
    tobrin_client* client = Connect(options);
    if (!client) break;
    clients.push_back(client);
  }
  bool ok = static_cast<long>(clients.size()) == options.connections;
  bool refused = false;
  std::string line;
  bool too_long = false;
  for (long number = 1; ok && ReadLine(&line, &too_long); ++number) {
    if (too_long) {
      std::fprintf(stderr, "pipe_client: line %ld is longer than %d bytes; not sent\n", number,
                   platform::kMaxMessage);
      refused = true;
      continue;
    }
    for (size_t c = 0; ok && c < clients.size(); ++c) {
      for (long r = 0; ok && r < options.repeat; ++r) {
        int result = tobrin_send(clients[c], line.data(), line.size());
        if (result != 0) PrintSendFailure(options.pipe, result);
        ok = result == 0;
      }
    }
  }
  for (tobrin_client* client : clients) tobrin_close(client);
  return ok && !refused;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: pipe_client [--newline] [--repeat=R] [--connections=N] "
                 "[--size=B --count=C] [--timeout=MS] PIPE [MESSAGE...]\n");
    return 2;
  }
  if (options.messages.empty() && options.size == 0) return StreamStdin(options) ? 0 : 1;
  std::vector<std::thread> threads;
  std::vector<char> results(static_cast<size_t>(options.connections), 0);
  for (long c = 0; c < options.connections; ++c)
    threads.emplace_back([&, c] { results[c] = RunConnection(options, c) ? 1 : 0; });
  for (std::thread& t : threads) t.join();
  for (char ok : results)
    if (!ok) return 1;
  return 0;
}
