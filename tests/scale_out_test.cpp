// End-to-end: the log server in command mode hands its lines to the stock `logger`, which
// writes them to a local rsyslogd; that one forwards them over TCP on loopback to a central
// rsyslogd, which writes them to a file. Both daemons are the test's own, with every path in
// its scratch directory. Where rsyslogd or logger is missing (or pipes are not files, as on
// Windows) the tests skip themselves.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>

#include "log_server_fixture.h"

namespace test {
namespace {

constexpr char kTag[] = "tobrin-e2e";
constexpr int kArrivalMs = 30000;

struct Programs {
  std::string rsyslogd;
  std::string logger;
};

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = std::string(path ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (end > start && FileExists(candidate)) return candidate;
    start = end + 1;
  }
  return "";
}

// Empty when everything is there, else why the test cannot run.
std::string FindPrograms(Programs* programs) {
  if (!PipesAreFiles()) return "needs Linux (a local rsyslogd and Unix sockets)";
  programs->rsyslogd = FindProgram("rsyslogd");
  programs->logger = FindProgram("logger");
  if (programs->rsyslogd.empty()) return "rsyslogd is not installed (Debian package rsyslog)";
  if (programs->logger.empty()) return "logger is not installed (Debian package bsdutils)";
  return "";
}

// The decimal number that is the whole content of `path` (a final line feed allowed), or -1
// while the file is missing or not yet written.
long ReadNumberFile(const std::string& path) {
  std::string text = ReadWholeFile(path);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return -1;
  return std::atol(text.c_str());
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// One rsyslogd in the foreground, its configuration, pid file and work directory named
// after `name` in the scratch directory.
class Rsyslogd {
 public:
  Rsyslogd(const ScratchDir& dir, const std::string& name)
      : name_(name),
        conf_(dir.File(name + ".conf")),
        pid_file_(dir.File(name + ".pid")),
        work_(dir.File(name + "-work")) {}

  // Writes the configuration (`body` after the work directory) and starts the daemon.
  bool Start(const std::string& rsyslogd, const std::string& body) {
    std::error_code ignored;
    std::filesystem::create_directories(work_, ignored);
    return WriteWholeFile(conf_, "global(workDirectory=\"" + work_ + "\")\n" + body) &&
           program_.Start({rsyslogd, "-n", "-f", conf_, "-i", pid_file_});
  }

  // Waits for the pid file and for `ready`.
  ::testing::AssertionResult WaitReady(const std::function<bool()>& ready) {
    if (PollUntil([&] { return ReadNumberFile(pid_file_) > 0 && ready(); }, 20000))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "rsyslogd " << name_ << " not ready in 20 s; its errors:\n"
           << program_.Stderr();
  }

  // Ends the daemon with SIGTERM, as a service manager does, and checks that it exits
  // with status 0 and removes its pid file.
  ::testing::AssertionResult Stop() {
    long pid = ReadNumberFile(pid_file_);
    if (pid <= 0) return ::testing::AssertionFailure() << "no pid file for " << name_;
    RunResult kill = RunProgram({"/bin/sh", "-c", "kill -TERM " + std::to_string(pid)});
    if (kill.status != 0) return ::testing::AssertionFailure() << "kill: " << kill.err;
    int status = -1;
    if (!program_.WaitForExit(20000, &status))
      return ::testing::AssertionFailure() << "rsyslogd " << name_ << " ignored SIGTERM for 20 s";
    if (status != 0)
      return ::testing::AssertionFailure() << "rsyslogd " << name_ << " exited with " << status;
    if (FileExists(pid_file_))
      return ::testing::AssertionFailure() << "rsyslogd " << name_ << " left its pid file";
    return ::testing::AssertionSuccess();
  }

  std::string Errors() { return program_.Stderr(); }

 private:
  std::string name_, conf_, pid_file_, work_;
  RunningProgram program_;
};

// `text` with every "@NAME@" replaced by its value.
std::string Filled(std::string text, const std::map<std::string, std::string>& values) {
  for (const auto& [name, value] : values) {
    const std::string key = "@" + name + "@";
    size_t at = 0;
    while ((at = text.find(key, at)) != std::string::npos) {
      text.replace(at, key.size(), value);
      at += value.size();
    }
  }
  return text;
}

// The central collector: listens on loopback TCP and appends what it receives to a file.
// Port 0 lets it pick a free port and name it in the port file, which it writes once it
// listens.
std::string CentralConfig(const ScratchDir& dir, long port) {
  return Filled(R"(module(load="imtcp")
input(type="imtcp" address="127.0.0.1" port="@PORT@" listenPortFileName="@DIR@/central.port")
action(type="omfile" file="@DIR@/central.log")
)",
                {{"DIR", dir.path()}, {"PORT", std::to_string(port)}});
}

// The shipper beside the log server: reads its own Unix socket, with no rate limit, and
// forwards over TCP through a disk-assisted queue that keeps retrying while the collector
// is away (every second here, so that the tests stay short), drains for up to 5 s when
// stopped and saves what is left to disk.
std::string LocalConfig(const ScratchDir& dir, long central_port) {
  return Filled(R"(module(load="imuxsock" SysSock.Use="off")
input(type="imuxsock" Socket="@DIR@/local.sock" CreatePath="on" RateLimit.Interval="0")
action(type="omfwd" target="127.0.0.1" port="@PORT@" protocol="tcp"
       queue.type="LinkedList" queue.filename="tobrin-fwd"
       queue.saveOnShutdown="on" queue.timeoutShutdown="5000"
       action.resumeRetryCount="-1" action.resumeInterval="1")
)",
                {{"DIR", dir.path()}, {"PORT", std::to_string(central_port)}});
}

// The two daemons and the log server in command mode, started in that order.
struct Route {
  explicit Route(const ScratchDir& scratch)
      : dir(scratch), central(scratch, "central"), local(scratch, "local"), server(scratch) {}

  ::testing::AssertionResult Start(const Programs& programs) {
    if (!central.Start(programs.rsyslogd, CentralConfig(dir, 0)))
      return ::testing::AssertionFailure() << "cannot start " << programs.rsyslogd;
    auto ready = central.WaitReady([&] { return ReadNumberFile(dir.File("central.port")) > 0; });
    if (!ready) return ready;
    port = ReadNumberFile(dir.File("central.port"));
    if (!local.Start(programs.rsyslogd, LocalConfig(dir, port)))
      return ::testing::AssertionFailure() << "cannot start " << programs.rsyslogd;
    ready = local.WaitReady([&] { return FileExists(dir.File("local.sock")); });
    if (!ready) return ready;
    if (!server.Start({}, "--output=|" + programs.logger + " -d --socket-errors=on -u " +
                              dir.File("local.sock") + " -t " + kTag))
      return ::testing::AssertionFailure()
             << "log server did not start: " << server.program.Stderr();
    return ::testing::AssertionSuccess();
  }

  // The text of every line of ours in the collector's file, in file order.
  std::vector<std::string> Collected() {
    std::vector<std::string> lines;
    std::string log = ReadWholeFile(dir.File("central.log"));
    const std::string marker = std::string(" ") + kTag + ": ";
    size_t start = 0;
    while (start < log.size()) {
      size_t end = log.find('\n', start);
      if (end == std::string::npos) break;  // Still being written.
      size_t at = log.find(marker, start);
      if (at != std::string::npos && at < end)
        lines.push_back(log.substr(at + marker.size(), end - at - marker.size()));
      start = end + 1;
    }
    return lines;
  }

  // How the collector's lines compare with `expected`: a line may arrive in any order
  // relative to other clients' lines, but only as sent.
  struct Tally {
    std::vector<std::string> missing;
    std::vector<std::string> foreign;  // Torn, joined or never sent.
    int repeats = 0;
  };
  Tally Compare(const std::vector<std::string>& expected) {
    Tally tally;
    std::map<std::string, int> owed;
    for (const std::string& line : expected) ++owed[line];
    for (const std::string& line : Collected()) {
      auto it = owed.find(line);
      if (it == owed.end())
        tally.foreign.push_back(line);
      else if (it->second == 0)
        ++tally.repeats;
      else
        --it->second;
    }
    for (const auto& [line, count] : owed)
      for (int i = 0; i < count; ++i) tally.missing.push_back(line);
    return tally;
  }

  // Waits until every expected line is in the collector's file; then nothing may be torn or
  // foreign, and, unless `repeats_allowed`, nothing may be there twice.
  ::testing::AssertionResult Arrived(const std::vector<std::string>& expected,
                                     bool repeats_allowed = false) {
    bool in_time = PollUntil([&] { return Compare(expected).missing.empty(); }, kArrivalMs);
    Tally tally = Compare(expected);
    if (in_time && tally.foreign.empty() && (repeats_allowed || tally.repeats == 0))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << tally.missing.size() << " line(s) missing"
           << (in_time ? "" : " after " + std::to_string(kArrivalMs / 1000) + " s") << ", "
           << tally.foreign.size() << " torn or foreign, " << tally.repeats
           << " repeated; first missing: " << (in_time ? "-" : tally.missing[0])
           << "; first foreign: " << (tally.foreign.empty() ? "-" : tally.foreign[0])
           << "\ncentral errors:\n"
           << central.Errors() << "local errors:\n"
           << local.Errors() << "log server errors:\n"
           << server.program.Stderr();
  }

  // Ends the log server as the manager does; its command must end with it, without having
  // reported a socket error.
  void StopServer() {
    EXPECT_EQ(server.Stop(), 1);
    EXPECT_EQ(server.program.RawStderr(), std::string(kReadyByte) + kManagerExit);
    EXPECT_TRUE(
        PollUntil([&] { return ProcessesMentioning(dir.File("local.sock")).empty(); }, 20000))
        << "the logger command outlived the log server:\n"
        << Joined(ProcessesMentioning(dir.File("local.sock")));
  }

  const ScratchDir& dir;
  Rsyslogd central, local;
  LogServer server;
  long port = 0;
};

// Line `line` of message `message` of client `client`: it names all three and carries a
// filler of varying length in the client's letter, so that a torn or mixed line cannot
// pass for a whole one. Every line stays well below logger's 1 KiB message limit.
std::string NumberedLine(int client, int message, int line) {
  std::string text = "c" + std::to_string(client) + " m" + std::to_string(message) + " l" +
                     std::to_string(line) + " ";
  return text + std::string((client * 37 + message * 101 + line * 13) % 300,
                            static_cast<char>('a' + client % 26));
}

// Each message holds one to three whole lines; logger sends each line as one syslog message.
std::vector<std::string> SendFromClients(const std::string& pipe, int clients, int messages,
                                         const std::string& prefix) {
  std::vector<std::string> expected;
  std::vector<std::vector<std::string>> batches(clients);
  for (int c = 0; c < clients; ++c) {
    for (int m = 0; m < messages; ++m) {
      std::string block;
      for (int l = 0; l < 1 + (c + m) % 3; ++l) {
        expected.push_back(prefix + NumberedLine(c, m, l));
        block += expected.back() + "\n";
      }
      batches[c].push_back(block);
    }
  }
  EXPECT_TRUE(SendBatchesConcurrently(pipe, batches)) << "a client failed to send";
  return expected;
}

// Skips the test where a program is missing; else starts the route.
class ScaleOut : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string missing = FindPrograms(&programs);
    if (!missing.empty()) GTEST_SKIP() << missing;
    ASSERT_TRUE(route.Start(programs));
  }

  Programs programs;
  ScratchDir dir;
  Route route{dir};
};

TEST_F(ScaleOut, EveryLineReachesTheCollectorWholeAndEverythingStops) {
  std::vector<std::string> expected = SendFromClients(route.server.pipe, 6, 40, "");
  ASSERT_TRUE(route.server.WaitForClientsDone(6));
  EXPECT_TRUE(route.Arrived(expected));

  route.StopServer();
  EXPECT_TRUE(route.local.Stop());
  EXPECT_TRUE(route.central.Stop());
  // Neither daemon complained: no bad setting, no rate limiting, no lost connection.
  EXPECT_EQ(route.local.Errors(), "");
  EXPECT_EQ(route.central.Errors(), "");
  EXPECT_EQ(Joined(ProcessesMentioning(dir.path())), "");
}

TEST_F(ScaleOut, LinesSentWhileTheCollectorIsDownArriveWhenItIsBack) {
  std::vector<std::string> expected = SendFromClients(route.server.pipe, 2, 10, "before ");
  ASSERT_TRUE(route.server.WaitForClientsDone(2));
  ASSERT_TRUE(route.Arrived(expected));

  ASSERT_TRUE(route.central.Stop());
  std::vector<std::string> during = SendFromClients(route.server.pipe, 3, 20, "during ");
  expected.insert(expected.end(), during.begin(), during.end());
  ASSERT_TRUE(route.server.WaitForClientsDone(5));

  // The collector comes back on its old port, appending to the same file.
  Rsyslogd central(dir, "central-again");
  ASSERT_TRUE(central.Start(programs.rsyslogd, CentralConfig(dir, route.port)));
  // Plain TCP has no acknowledgements: around the reconnection rsyslog may send part of a
  // batch again, so a line may arrive twice, but none may be lost or torn.
  EXPECT_TRUE(route.Arrived(expected, true)) << "restarted central errors:\n" << central.Errors();

  route.StopServer();
  EXPECT_TRUE(route.local.Stop());
  EXPECT_TRUE(central.Stop());
  EXPECT_EQ(Joined(ProcessesMentioning(dir.path())), "");
}

}  // namespace
}  // namespace test
