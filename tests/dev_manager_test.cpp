// End-to-end: the development manager with a real TobrinLogger as its child, talked to
// over its control port with a plain socket and with TellTobrinManager.
#include <gtest/gtest.h>

#include <cstdlib>

#include "log_server_fixture.h"
#include "tools/support/sockets.h"

namespace test {
namespace {

constexpr int kWaitMs = 20000;
constexpr char kPortLine[] = "tobrin-dev-manager: control port 127.0.0.1:";

// A tobrin-dev-manager on a free port with its log server on a pipe and log in a scratch
// directory of its own.
class DevManager {
 public:
  DevManager() : pipe(UniquePipeName(dir)), log(dir.File("server.log")) {}

  /// Starts it and waits until it names its control port, which it does once the log
  /// server is ready.
  bool Start() {
    if (!program.Start({ToolPath("tobrin-dev-manager"), "--port=0", "--", LoggerPath(),
                        "--input=" + pipe, "--output=" + log}) ||
        !program.WaitForStdout(kPortLine, kWaitMs)) {
      ADD_FAILURE() << "no control port named; stderr: " << program.Stderr();
      return false;
    }
    std::string out = program.Stdout();
    port =
        static_cast<uint16_t>(std::atoi(out.c_str() + out.find(kPortLine) + sizeof kPortLine - 1));
    return port != 0;
  }

  /// One control exchange over a plain socket: the greeting, `line` sent as is, and the
  /// reply, read until the manager closes the connection.
  std::string Ask(const std::string& line) {
    std::string greeting, reply;
    platform::Socket socket = platform::CreateTcpSocket();
    if (!platform::ConnectSocket(socket, platform::ParseIpv4Address("127.0.0.1"), port) ||
        platform::ReceiveWithin(socket, kWaitMs, 4096, &greeting) <= 0 ||
        !platform::SendAll(socket, line) ||
        !platform::ReceiveUntilClosed(socket, kWaitMs, &reply)) {
      ADD_FAILURE() << "control exchange failed for " << line;
    }
    platform::CloseSocket(socket);
    EXPECT_EQ(greeting, "tobrin-dev-manager ready\n");
    return reply;
  }

  ScratchDir dir;  // Declared first: the pipe and the log are named inside it.
  std::string pipe;
  std::string log;
  uint16_t port = 0;
  RunningProgram program;
};

// Waits until the pipe no longer takes a connection: its server has ended.
bool PipeRefusesWithin(const std::string& pipe, int timeout_ms) {
  return PollUntil(
      [&] {
        platform::PipeEnd end;
        if (!platform::ConnectToPipe(pipe.c_str(), 300, &end)) return true;
        platform::ClosePipe(end);
        return false;
      },
      timeout_ms);
}

// Where pipe names are files, the log server removed its own on the way out.
void ExpectPipeNameRemoved(const std::string& pipe) {
  if (PipesAreFiles()) {
    EXPECT_FALSE(FileExists(pipe));
  }
}

class DevManagerTest : public SocketTest {};

TEST_F(DevManagerTest, ServesItsControlPortAndStopsTheLogServer) {
  DevManager manager;
  ASSERT_TRUE(manager.Start());
  ASSERT_TRUE(SendMessages(manager.pipe, {"first\n", "second\n"}));
  // The log server's own output is relayed, marked as its own.
  ASSERT_TRUE(manager.program.WaitForStdout("[log server] LogThread: ReadFile failed"))
      << manager.program.Stdout();

  std::string all = manager.Ask("get all \n");
  EXPECT_NE(all.find("logserver.command: " + LoggerPath() + " --input=" + manager.pipe +
                     " --output=" + manager.log + "\n"),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("logserver.state: running\n"), std::string::npos) << all;
  EXPECT_NE(all.find("loglevel: INFO\n"), std::string::npos) << all;
  EXPECT_NE(all.find("controlport: 127.0.0.1:" + std::to_string(manager.port) + "\n"),
            std::string::npos)
      << all;

  EXPECT_EQ(manager.Ask("set loglevel trace \n"), "loglevel set to TRACE\n");
  EXPECT_NE(manager.Ask("get all\r\n").find("loglevel: TRACE\n"), std::string::npos);
  // At TRACE the manager notes each command it serves.
  EXPECT_TRUE(manager.program.WaitForStderr("tobrin-dev-manager: command 'get all' -> "));
  EXPECT_EQ(manager.Ask("set loglevel LOUD \n").rfind("error: unknown loglevel 'LOUD'", 0), 0u);
  EXPECT_EQ(manager.Ask("set colour red \n").rfind("error: ", 0), 0u);
  EXPECT_EQ(manager.Ask("get everything \n").rfind("error: ", 0), 0u);
  EXPECT_EQ(manager.Ask("reboot now \n").rfind("error: unknown command 'reboot now'", 0), 0u);
  EXPECT_EQ(manager.Ask(" \n").rfind("error: ", 0), 0u);
  EXPECT_NE(manager.Ask("get all \n").find("logserver.state: running\n"), std::string::npos);

  EXPECT_EQ(manager.Ask("stop \n"), "stopping the log server\n");
  int status = -1;
  ASSERT_TRUE(manager.program.WaitForExit(kWaitMs, &status)) << "the manager did not end";
  EXPECT_EQ(status, 0);
  EXPECT_NE(manager.program.Stdout().find("tobrin-dev-manager: log server exited with status 1\n"),
            std::string::npos)
      << manager.program.Stdout();
  EXPECT_NE(manager.program.Stderr().find(std::string("[log server] ") + kManagerExit),
            std::string::npos)
      << manager.program.Stderr();
  // The manager waited for the log server, so it is gone already.
  platform::PipeEnd end;
  EXPECT_FALSE(platform::ConnectToPipe(manager.pipe.c_str(), 200, &end));
  ExpectPipeNameRemoved(manager.pipe);
  EXPECT_EQ(ReadWholeFile(manager.log), "first\nsecond\n");
}

TEST_F(DevManagerTest, AnswersTheControlClient) {
  DevManager manager;
  ASSERT_TRUE(manager.Start());
  const std::string port = std::to_string(manager.port);

  RunResult all = RunProgram({TellPath(), "-p", port, "get", "all"}, "", kWaitMs);
  EXPECT_EQ(all.status, 0) << all.err;
  EXPECT_NE(all.out.find("logserver.state: running\n"), std::string::npos) << all.out;
  EXPECT_NE(all.out.find("loglevel: INFO\n"), std::string::npos) << all.out;

  RunResult set = RunProgram({TellPath(), "-p", port, "set", "loglevel", "TRACE"}, "", kWaitMs);
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.out, "loglevel set to TRACE\n");
  EXPECT_NE(manager.Ask("get all \n").find("loglevel: TRACE\n"), std::string::npos);

  RunResult stop = RunProgram({TellPath(), "-p", port, "stop"}, "", kWaitMs);
  EXPECT_EQ(stop.out, "stopping the log server\n");
  int status = -1;
  ASSERT_TRUE(manager.program.WaitForExit(kWaitMs, &status)) << "the manager did not end";
  EXPECT_EQ(status, 0);
}

TEST_F(DevManagerTest, KilledManagerTakesTheLogServerWithIt) {
  DevManager manager;
  ASSERT_TRUE(manager.Start());
  ASSERT_TRUE(SendMessages(manager.pipe, {"before the end\n"}));
  ASSERT_TRUE(manager.program.WaitForStdout(kReadFileFailed));
  // WaitForExit kills a program that has not ended in time; here that is at once.
  int status = -1;
  ASSERT_FALSE(manager.program.WaitForExit(0, &status));
  EXPECT_TRUE(PipeRefusesWithin(manager.pipe, kWaitMs))
      << "the log server still takes connections after its manager was killed";
  ExpectPipeNameRemoved(manager.pipe);
  EXPECT_EQ(ReadWholeFile(manager.log), "before the end\n");
}

TEST_F(DevManagerTest, ReportsALogServerThatFailsOrNeverGetsReady) {
  // The process it names is the log server's: killed by that id, it is seen to end.
  DevManager killed;
  ASSERT_TRUE(killed.Start());
  const std::string ready = "tobrin-dev-manager: log server ready, process ";
  std::string out = killed.program.Stdout();
  ASSERT_NE(out.find(ready), std::string::npos) << out;
  long id = std::atol(out.c_str() + out.find(ready) + ready.size());
  EXPECT_NE(killed.Ask("get all\n").find("logserver.process: " + std::to_string(id) + "\n"),
            std::string::npos);
  platform::KillProcess(id);
  int killed_status = -1;
  ASSERT_TRUE(killed.program.WaitForExit(kWaitMs, &killed_status))
      << "the manager did not see its log server end after killing process " << id;
  EXPECT_EQ(killed_status, 1);
  EXPECT_NE(killed.program.Stderr().find("tobrin-dev-manager: the log server ended on its own"),
            std::string::npos)
      << killed.program.Stderr();

  RunResult bad =
      RunProgram({ToolPath("tobrin-dev-manager"), "--port=0", "--", LoggerPath()}, "", kWaitMs);
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find(std::string("[log server] ") + kNoPipeName), std::string::npos) << bad.err;
  EXPECT_NE(bad.out.find("tobrin-dev-manager: log server exited with status 1\n"),
            std::string::npos);
  EXPECT_EQ(bad.out.find(kPortLine), std::string::npos);

  // copy_stdin never writes the ready byte.
  ScratchDir dir;
  RunResult silent = RunProgram({ToolPath("tobrin-dev-manager"), "--port=0", "--ready-timeout=200",
                                 "--", ToolPath("copy_stdin"), dir.File("copy.out")},
                                "", kWaitMs);
  EXPECT_EQ(silent.status, 1);
  EXPECT_NE(silent.err.find("no ready byte from the log server within 200 ms"), std::string::npos)
      << silent.err;
  EXPECT_EQ(silent.out.find(kPortLine), std::string::npos);

  RunResult usage =
      RunProgram({ToolPath("tobrin-dev-manager"), "--port=70000", "--", LoggerPath()});
  EXPECT_EQ(usage.status, 2);
  EXPECT_NE(usage.err.find("usage: tobrin-dev-manager"), std::string::npos);
}

}  // namespace
}  // namespace test
