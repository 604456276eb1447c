// tobrin-dev-manager: the least that stands in for the manager, so that the log server can be run
// on one machine: it starts the log server, relays its output, waits for its ready byte and
// serves a control port on 127.0.0.1 until told to stop or the log server ends. Its command
// line, commands, messages and exit statuses: docs/dev-manager.md, docs/man/dev_manager.1.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/socket.h"
#include "tools/support/child_output.h"
#include "tools/support/control_commands.h"
#include "tools/support/failure.h"
#include "tools/support/sockets.h"
#include "tools/support/spawn.h"

namespace {

constexpr char kReadyByte = 0x01;
constexpr int kMaxCommandLine = 32768;
constexpr int kCommandTimeoutMs = 10000;
constexpr int kChildPollMs = 200;
constexpr int kRelayDrainMs = 2000;

struct Options {
  long port = 4328;
  long ready_timeout_ms = 10000;
  long stop_timeout_ms = 10000;
  std::vector<std::string> command;
};

// Where one of the log server's streams is relayed to, and what is left to do there.
struct Relay {
  std::FILE* out;
  bool watch_ready;
  platform::PrefixedLines lines{"[log server] "};
};

struct Manager {
  Options options;
  ManagerState state;
  platform::Socket listener;
  platform::Child child;
  platform::ChildOutput output;
  Relay relays[2] = {{stdout, false}, {stderr, true}};
  bool ready = false;  // Guarded by the output's lock.
};

// A numeric option: its prefix, its largest value and where it goes.
struct NumberOption {
  const char* prefix;
  long limit;
  long Options::*value;
};
constexpr NumberOption kNumberOptions[] = {
    {"--port=", 65535, &Options::port},
    {"--ready-timeout=", 3600000, &Options::ready_timeout_ms},
    {"--stop-timeout=", 3600000, &Options::stop_timeout_ms}};

// True when `argument` is a known option with a good value, which it then sets.
bool SetNumberOption(const char* argument, Options* options) {
  for (const NumberOption& option : kNumberOptions) {
    size_t length = std::strlen(option.prefix);
    if (std::strncmp(argument, option.prefix, length) != 0) continue;
    char* end = nullptr;
    long value = std::strtol(argument + length, &end, 10);
    if (end == argument + length || *end != '\0' || value < 0 || value > option.limit) return false;
    options->*option.value = value;
    return true;
  }
  return false;
}

bool PrintUsage() {
  std::fprintf(stderr,
               "usage: tobrin-dev-manager [--port=N] [--ready-timeout=MS] [--stop-timeout=MS] -- "
               "LOGSERVER [ARGS...]\n");
  return false;
}

// False, after saying what is wrong and how it is used, for a bad command line.
bool ParseOptions(int argc, char** argv, Options* options) {
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0 && std::strcmp(argv[i], "--") != 0; ++i) {
    if (!SetNumberOption(argv[i], options)) {
      std::fprintf(stderr, "tobrin-dev-manager: bad option %s\n", argv[i]);
      return PrintUsage();
    }
  }
  if (i < argc && std::strcmp(argv[i], "--") == 0) ++i;
  for (; i < argc; ++i) options->command.push_back(argv[i]);
  if (!options->command.empty()) return true;
  std::fprintf(stderr, "tobrin-dev-manager: no log server command\n");
  return PrintUsage();
}

// The ready byte is taken out of what is relayed; our own text stream writes line ends.
void RelayPiece(Manager* manager, platform::ChildStream stream, const char* data, int size) {
  Relay* relay = &manager->relays[stream == platform::ChildStream::kStdout ? 0 : 1];
  std::string piece(data, static_cast<size_t>(size));
  size_t ready_at = relay->watch_ready ? piece.find(kReadyByte) : std::string::npos;
  if (ready_at != std::string::npos) {
    piece.erase(ready_at, 1);
    relay->watch_ready = false;
    manager->output.Update([manager] { manager->ready = true; });
  }
  std::string text = size == 0 ? relay->lines.End() : relay->lines.Next(piece);
  std::fwrite(text.data(), 1, text.size(), relay->out);
  std::fflush(relay->out);
}

// True once the child has exited; its status is kept, since it can be collected only once.
bool ChildHasExited(Manager* manager, int timeout_ms) {
  ManagerState& state = manager->state;
  if (!state.exited && platform::WaitForChild(manager->child, timeout_ms, &state.exit_status))
    state.exited = true;
  return state.exited;
}

bool StartLogServer(Manager* manager) {
  const Options& options = manager->options;
  std::error_code error;
  std::string failed;
  if (!platform::StartSockets(&error)) {
    failed = "start the socket library";
  } else if (!platform::ListenOnLoopback(static_cast<uint16_t>(options.port), &manager->listener,
                                         &manager->state.port, &error)) {
    failed = "listen on 127.0.0.1:" + std::to_string(options.port);
  } else if (!platform::SpawnChild(options.command, platform::ChildInput::kPipe,
                                   platform::ChildOutputs::kPipes, &manager->child, &error)) {
    failed = "start " + options.command[0];
  }
  if (!failed.empty()) return PrintFailure("tobrin-dev-manager", failed, error), false;
  manager->state.process = platform::ChildProcessNumber(manager->child);
  manager->output.Start(manager->child,
                        [manager](platform::ChildStream stream, const char* data, int size) {
                          RelayPiece(manager, stream, data, size);
                        });
  return true;
}

// Kills the log server; its end is still waited for, so that its status can be told.
int KillLogServer(Manager* manager) {
  platform::KillChild(manager->child);
  ChildHasExited(manager, 10000);
  return 1;
}

// True once the ready byte has come; otherwise says why not, and the log server is gone.
bool AwaitReady(Manager* manager) {
  const long timeout_ms = manager->options.ready_timeout_ms;
  bool ready = false, ending = false;
  manager->output.WaitUntil(static_cast<int>(timeout_ms), [&] {
    ready = manager->ready;
    ending = !manager->output.IsOpen(platform::ChildStream::kStderr);
    return ready || ending;
  });
  if (ready) return true;
  // A closed error stream means the log server is ending; its status follows shortly.
  if (ending && ChildHasExited(manager, 5000)) {
    std::fprintf(stderr, "tobrin-dev-manager: the log server ended before it was ready\n");
    return false;
  }
  std::fprintf(stderr,
               "tobrin-dev-manager: no ready byte from the log server within %ld ms; killing it\n",
               timeout_ms);
  KillLogServer(manager);
  return false;
}

// One connection: greeting, one command line, one reply. True when the manager must stop.
bool Serve(Manager* manager, platform::Socket connection) {
  // The control client reads each of greeting and reply with one receive, so each goes out
  // with one send unless the system takes only part of it.
  platform::SendAll(connection, "tobrin-dev-manager ready\n");
  std::string line;
  bool stop = false;
  // Bounded in size and time, so that one idle or runaway connection cannot hold the port.
  if (platform::ReceiveLine(connection, kCommandTimeoutMs, kMaxCommandLine, &line)) {
    ChildHasExited(manager, 0);
    std::string reply = ExecuteControlCommand(line, &manager->state, &stop);
    platform::SendAll(connection, reply);
    std::fputs(NoteOfCommand(line, reply, manager->state.level).c_str(), stderr);
    std::fflush(stderr);
  } else {
    platform::SendAll(connection, "error: no command line received\n");
  }
  platform::ShutdownSending(connection);
  platform::CloseSocket(connection);
  return stop;
}

// Closes the log server's standard input and waits for it to end. Our exit status.
int StopLogServer(Manager* manager) {
  const long timeout_ms = manager->options.stop_timeout_ms;
  platform::CloseChildInput(&manager->child);
  if (ChildHasExited(manager, static_cast<int>(timeout_ms))) return 0;
  std::fprintf(stderr, "tobrin-dev-manager: the log server did not end within %ld ms; killing it\n",
               timeout_ms);
  return KillLogServer(manager);
}

// Names the control port, then answers connections until one asks to stop or the log server
// ends on its own. Our exit status.
int ServeUntilStopOrEnd(Manager* manager) {
  std::printf("tobrin-dev-manager: log server ready, process %lld\n", manager->state.process);
  std::printf("tobrin-dev-manager: control port 127.0.0.1:%u\n",
              static_cast<unsigned>(manager->state.port));
  std::fflush(stdout);
  for (;;) {
    platform::Socket connection;
    if (platform::AcceptConnection(manager->listener, kChildPollMs, &connection) &&
        Serve(manager, connection)) {
      platform::CloseSocket(manager->listener);
      return StopLogServer(manager);
    }
    if (ChildHasExited(manager, 0)) {
      std::fprintf(stderr, "tobrin-dev-manager: the log server ended on its own\n");
      return 1;
    }
  }
}

// The relays end when the child and everything it started have closed its streams; their
// last lines are worth waiting for, briefly, before the process ends under them.
[[noreturn]] void ShutDown(Manager* manager, int status) {
  if (manager->output.WaitForBothEnds(kRelayDrainMs)) manager->output.Join();
  if (manager->state.exited)
    std::printf("tobrin-dev-manager: log server exited with status %d\n",
                manager->state.exit_status);
  std::fflush(stdout);
  std::fflush(stderr);
  platform::StopSockets();
  platform::TerminateProcessNow(status);
}

}  // namespace

int main(int argc, char** argv) {
  platform::PrepareServerProcess();
  // The relays may outlive every owner, so the manager is never freed.
  Manager* manager = new Manager;
  int status = 2;
  // The log server gets its arguments as they were typed, names outside the ANSI code page
  // included; on failure the narrow ones, in which such names are already lost, are all
  // there is.
  platform::ProgramArguments(&argc, &argv);
  if (ParseOptions(argc, argv, &manager->options)) {
    manager->state.command_line = JoinCommandLine(manager->options.command);
    status = 1;
    if (StartLogServer(manager) && AwaitReady(manager)) status = ServeUntilStopOrEnd(manager);
  }
  ShutDown(manager, status);
}
