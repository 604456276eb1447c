// dev_manager: the least that stands in for the manager, so that the log server can be run
// on one machine.
//
//   dev_manager [--port=N] [--ready-timeout=MS] [--stop-timeout=MS] -- LOGSERVER [ARGS...]
//
// It listens on 127.0.0.1:N (default 4328; 0 picks a free port), starts LOGSERVER with
// ARGS as its child, holds the child's standard input open and waits at most MS
// milliseconds (default 10000) for its ready byte. Then it prints
// "dev_manager: control port 127.0.0.1:PORT" on standard output and serves the port. The
// child's standard output and error are relayed to ours, each line prefixed with
// "[log server] " (the ready byte itself is not relayed).
//
// Each control connection gets the greeting "dev_manager ready\n", sends one command line
// ended by a line feed (trailing blanks do not count), gets one reply and is closed:
//   get all              the log server's command line, process, state; log level; port
//   set loglevel LEVEL   TRACE, DEBUG, INFO, WARN or ERROR, in any case
//   help                 the commands
//   stop (or quit)       close the log server's standard input, wait for it, exit
// Anything else gets a reply beginning "error: ". The log level is the manager's own: at
// DEBUG every command and the first line of its reply are noted on standard error, at
// TRACE the whole reply.
//
// Exit status: 0 after stop; 1 when the log server cannot be started, never gets ready,
// ends on its own or does not end after stop within --stop-timeout (default 10000); 2 for
// a bad command line. Killed, it simply dies: the log server then reads end-of-file on
// its standard input and ends itself.
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/socket.h"
#include "tools/support/failure.h"
#include "tools/support/sockets.h"
#include "tools/support/spawn.h"

namespace {

constexpr char kReadyByte = 0x01;
constexpr int kMaxCommandLine = 32768;
constexpr int kCommandTimeoutMs = 10000;
constexpr int kChildPollMs = 200;
constexpr int kRelayDrainMs = 2000;
constexpr const char* kLevels[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR"};
constexpr int kInfoLevel = 2;

struct Options {
  long port = 4328;
  long ready_timeout_ms = 10000;
  long stop_timeout_ms = 10000;
  std::vector<std::string> command;
};

// What the relay threads tell the main thread.
struct RelayState {
  std::mutex mutex;
  std::condition_variable changed;
  bool ready = false;
  bool stderr_open = true;
  int streams_open = 2;
};

struct Manager {
  platform::Child child;
  std::string command_line;
  uint16_t port = 0;
  int level = kInfoLevel;
  bool exited = false;
  int exit_status = 0;
  RelayState* relay = nullptr;
};

void PrintUsage() {
  std::fprintf(stderr,
               "usage: dev_manager [--port=N] [--ready-timeout=MS] [--stop-timeout=MS] -- "
               "LOGSERVER [ARGS...]\n");
}

bool NumberOption(const char* argument, const char* prefix, long limit, long* value) {
  size_t length = std::strlen(prefix);
  if (std::strncmp(argument, prefix, length) != 0) return false;
  char* end = nullptr;
  *value = std::strtol(argument + length, &end, 10);
  if (end == argument + length || *end != '\0' || *value < 0 || *value > limit) *value = -1;
  return true;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    if (std::strcmp(argv[i], "--") == 0) {
      ++i;
      break;
    }
    long* target = nullptr;
    long value = 0;
    if (NumberOption(argv[i], "--port=", 65535, &value)) {
      target = &options->port;
    } else if (NumberOption(argv[i], "--ready-timeout=", 3600000, &value)) {
      target = &options->ready_timeout_ms;
    } else if (NumberOption(argv[i], "--stop-timeout=", 3600000, &value)) {
      target = &options->stop_timeout_ms;
    }
    if (target == nullptr || value < 0) {
      std::fprintf(stderr, "dev_manager: bad option %s\n", argv[i]);
      return false;
    }
    *target = value;
  }
  for (; i < argc; ++i) options->command.push_back(argv[i]);
  if (options->command.empty()) std::fprintf(stderr, "dev_manager: no log server command\n");
  return !options->command.empty();
}

std::string JoinCommandLine(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) line += ' ';
    bool quote = word.empty() || word.find_first_of(" \t") != std::string::npos;
    line += quote ? "\"" + word + "\"" : word;
  }
  return line;
}

// Lines are relayed whole with their prefix where possible; a carriage return before a
// line feed is dropped, since our own text stream writes line ends in the local form.
void Relay(platform::Child child, platform::ChildStream stream, RelayState* state) {
  std::FILE* out = stream == platform::ChildStream::kStdout ? stdout : stderr;
  bool watch_ready = stream == platform::ChildStream::kStderr;
  bool line_start = true;
  bool pending_cr = false;
  char buffer[4096];
  int n;
  while ((n = platform::ReadFromChild(child, stream, buffer, sizeof buffer)) > 0) {
    std::string text;
    for (int i = 0; i < n; ++i) {
      char c = buffer[i];
      if (watch_ready && c == kReadyByte) {
        watch_ready = false;
        std::lock_guard<std::mutex> lock(state->mutex);
        state->ready = true;
        state->changed.notify_all();
        continue;
      }
      if (pending_cr && c != '\n') text += '\r';
      pending_cr = c == '\r';
      if (pending_cr) continue;
      if (line_start) text += "[log server] ";
      text += c;
      line_start = c == '\n';
    }
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
  }
  if (pending_cr) std::fputs(line_start ? "[log server] \r" : "\r", out);
  if (!line_start || pending_cr) std::fputc('\n', out);
  std::fflush(out);
  std::lock_guard<std::mutex> lock(state->mutex);
  if (stream == platform::ChildStream::kStderr) state->stderr_open = false;
  --state->streams_open;
  state->changed.notify_all();
}

// True once the child has exited; its status is kept, since it can be collected only once.
bool ChildHasExited(Manager* manager, int timeout_ms) {
  if (!manager->exited &&
      platform::WaitForChild(manager->child, timeout_ms, &manager->exit_status)) {
    manager->exited = true;
  }
  return manager->exited;
}

// The relays end when the child and everything it started have closed its streams; their
// last lines are worth waiting for, briefly, before the process ends under them.
[[noreturn]] void Finish(Manager* manager, int status) {
  {
    std::unique_lock<std::mutex> lock(manager->relay->mutex);
    manager->relay->changed.wait_for(lock, std::chrono::milliseconds(kRelayDrainMs),
                                     [&] { return manager->relay->streams_open == 0; });
  }
  if (manager->exited)
    std::printf("dev_manager: log server exited with status %d\n", manager->exit_status);
  std::fflush(stdout);
  std::fflush(stderr);
  platform::StopSockets();
  platform::TerminateProcessNow(status);
}

[[noreturn]] void KillAndFinish(Manager* manager) {
  platform::KillChild(manager->child);
  ChildHasExited(manager, 10000);
  Finish(manager, 1);
}

enum class ReadyWait { kReady, kStderrClosed, kTimedOut };

ReadyWait WaitForReady(Manager* manager, long timeout_ms) {
  RelayState* relay = manager->relay;
  std::unique_lock<std::mutex> lock(relay->mutex);
  relay->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                          [&] { return relay->ready || !relay->stderr_open; });
  if (relay->ready) return ReadyWait::kReady;
  return relay->stderr_open ? ReadyWait::kTimedOut : ReadyWait::kStderrClosed;
}

std::string Upper(std::string word) {
  for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return word;
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  size_t at = 0;
  while ((at = line.find_first_not_of(" \t\r", at)) != std::string::npos) {
    size_t end = line.find_first_of(" \t\r", at);
    if (end == std::string::npos) end = line.size();
    words.push_back(line.substr(at, end - at));
    at = end;
  }
  return words;
}

std::string GetAll(Manager* manager) {
  std::string state = "running";
  if (ChildHasExited(manager, 0))
    state = "exited with status " + std::to_string(manager->exit_status);
  return "logserver.command: " + manager->command_line +
         "\nlogserver.process: " + std::to_string(platform::ChildProcessNumber(manager->child)) +
         "\nlogserver.state: " + state + "\nloglevel: " + kLevels[manager->level] +
         "\ncontrolport: 127.0.0.1:" + std::to_string(manager->port) + "\n";
}

std::string SetLogLevel(Manager* manager, const std::vector<std::string>& words) {
  if (words.size() != 3 || Upper(words[1]) != "LOGLEVEL")
    return "error: usage: set loglevel TRACE|DEBUG|INFO|WARN|ERROR\n";
  std::string wanted = Upper(words[2]);
  for (int level = 0; level < 5; ++level) {
    if (wanted == kLevels[level]) {
      manager->level = level;
      return std::string("loglevel set to ") + kLevels[level] + "\n";
    }
  }
  return "error: unknown loglevel '" + words[2] + "' (use TRACE, DEBUG, INFO, WARN or ERROR)\n";
}

// Sets `*stop` for a command that ends the manager once its reply is out.
std::string Execute(Manager* manager, const std::string& line, bool* stop) {
  std::vector<std::string> words = SplitWords(line);
  if (words.empty()) return "error: empty command (try: help)\n";
  std::string verb = Upper(words[0]);
  if (verb == "GET" && words.size() == 2 && Upper(words[1]) == "ALL") return GetAll(manager);
  if (verb == "GET") return "error: usage: get all\n";
  if (verb == "SET") return SetLogLevel(manager, words);
  if (verb == "HELP")
    return "commands: get all | set loglevel TRACE|DEBUG|INFO|WARN|ERROR | help | stop\n";
  if ((verb == "STOP" || verb == "QUIT") && words.size() == 1) {
    *stop = true;
    return "stopping the log server\n";
  }
  return "error: unknown command '" + line + "' (try: get all, set loglevel LEVEL, help, stop)\n";
}

// Reads up to the first line feed, within a bounded size and time, so that one idle or
// runaway connection cannot hold the port for good.
bool ReceiveCommandLine(platform::Socket connection, std::string* line) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCommandTimeoutMs);
  while (line->find('\n') == std::string::npos &&
         line->size() < static_cast<size_t>(kMaxCommandLine)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 ||
        platform::ReceiveWithin(connection, static_cast<int>(left.count()), 1024, line) <= 0)
      return false;
  }
  size_t end = line->find('\n');
  if (end == std::string::npos) return false;
  line->resize(end);
  while (!line->empty() && (line->back() == ' ' || line->back() == '\t' || line->back() == '\r'))
    line->pop_back();
  return true;
}

// One connection: greeting, one command line, one reply. True when the manager must stop.
bool Serve(Manager* manager, platform::Socket connection) {
  // The control client reads each of greeting and reply with one receive, so each goes out
  // with one send unless the system takes only part of it.
  platform::SendAll(connection, "dev_manager ready\n");
  std::string line;
  bool stop = false;
  if (ReceiveCommandLine(connection, &line)) {
    std::string reply = Execute(manager, line, &stop);
    platform::SendAll(connection, reply);
    // At DEBUG the first line of each reply is noted, at TRACE all of it.
    if (manager->level <= 1) {
      size_t shown = manager->level == 0 ? reply.size() : reply.find('\n') + 1;
      std::fprintf(stderr, "dev_manager: command '%s' -> %s", line.c_str(),
                   reply.substr(0, shown).c_str());
      std::fflush(stderr);
    }
  } else {
    platform::SendAll(connection, "error: no command line received\n");
  }
  platform::ShutdownSending(connection);
  platform::CloseSocket(connection);
  return stop;
}

[[noreturn]] void Stop(Manager* manager, long timeout_ms) {
  platform::CloseChildInput(&manager->child);
  if (!ChildHasExited(manager, static_cast<int>(timeout_ms))) {
    std::fprintf(stderr, "dev_manager: the log server did not end within %ld ms; killing it\n",
                 timeout_ms);
    KillAndFinish(manager);
  }
  Finish(manager, 0);
}

// Returns once the ready byte has come; ends the process when the log server ends first or
// stays silent past `timeout_ms`.
void AwaitReady(Manager* manager, long timeout_ms) {
  ReadyWait ready = WaitForReady(manager, timeout_ms);
  if (ready == ReadyWait::kReady) return;
  // A closed error stream means the log server is ending; its status follows shortly.
  if (ready == ReadyWait::kStderrClosed && ChildHasExited(manager, 5000)) {
    std::fprintf(stderr, "dev_manager: the log server ended before it was ready\n");
    Finish(manager, 1);
  }
  std::fprintf(stderr, "dev_manager: no ready byte from the log server within %ld ms; killing it\n",
               timeout_ms);
  KillAndFinish(manager);
}

// Answers control connections until one asks to stop or the log server ends on its own.
[[noreturn]] void ServeControlPort(Manager* manager, platform::Socket listener,
                                   long stop_timeout_ms) {
  for (;;) {
    platform::Socket connection;
    if (platform::AcceptConnection(listener, kChildPollMs, &connection) &&
        Serve(manager, connection)) {
      platform::CloseSocket(listener);
      Stop(manager, stop_timeout_ms);
    }
    if (ChildHasExited(manager, 0)) {
      std::fprintf(stderr, "dev_manager: the log server ended on its own\n");
      Finish(manager, 1);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  platform::PrepareServerProcess();
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    PrintUsage();
    return 2;
  }
  std::error_code error;
  if (!platform::StartSockets(&error)) {
    PrintFailure("dev_manager", "start the socket library", error);
    return 1;
  }
  Manager manager;
  manager.command_line = JoinCommandLine(options.command);
  platform::Socket listener;
  if (!platform::ListenOnLoopback(static_cast<uint16_t>(options.port), &listener, &manager.port,
                                  &error)) {
    PrintFailure("dev_manager", "listen on 127.0.0.1:" + std::to_string(options.port), error);
    return 1;
  }
  if (!platform::SpawnChild(options.command, platform::ChildInput::kPipe, &manager.child, &error)) {
    PrintFailure("dev_manager", "start " + options.command[0], error);
    return 1;
  }
  // The relays may outlive every owner, so their state is never freed.
  manager.relay = new RelayState;
  std::thread(Relay, manager.child, platform::ChildStream::kStdout, manager.relay).detach();
  std::thread(Relay, manager.child, platform::ChildStream::kStderr, manager.relay).detach();

  AwaitReady(&manager, options.ready_timeout_ms);
  std::printf("dev_manager: log server ready, process %lld\n",
              platform::ChildProcessNumber(manager.child));
  std::printf("dev_manager: control port 127.0.0.1:%u\n", static_cast<unsigned>(manager.port));
  std::fflush(stdout);
  ServeControlPort(&manager, listener, options.stop_timeout_ms);
}
