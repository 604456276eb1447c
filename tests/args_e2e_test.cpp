// End-to-end: the real TobrinLogger refusing its command line. Each refusal prints its one
// message on standard error (the usage text on standard output only after an invalid
// argument), exits with status 1 and never writes the ready byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_server_fixture.h"

namespace test {
namespace {

struct Refusal {
  std::vector<std::string> args;  // after the program name
  std::string err;
  bool usage;
};

TEST(ArgsProgram, EveryRefusalPrintsItsMessageAndExitsWithOne) {
  ScratchDir dir;
  const std::string pipe = "--input=" + UniquePipeName(dir);
  const std::string log = "--output=" + dir.File("app.log");
  const std::vector<Refusal> refusals{
      {{pipe, "--verbose", log}, Format(kUnknownOptionFormat, "--verbose"), true},
      {{pipe, "--output=| "}, kNoCommand, false},
      {{"--output=| "}, kNoPipeName, false},
      {{"--input=", log}, kNoPipeName, false},
      {{pipe}, kNoLogFile, false},
      {{pipe, log, "--numbackups=1"}, Format(kNumBackupsTooSmallFormat, "--numbackups=1"), false},
      {{pipe, log, "--filesize=abc"}, Format(kFileSizeTooSmallFormat, "--filesize=abc"), false},
      {{pipe, log, "--filesize= 0"}, Format(kFileSizeTooSmallFormat, "--filesize= 0"), false},
  };
  for (const Refusal& refusal : refusals) {
    std::vector<std::string> argv{LoggerPath()};
    argv.insert(argv.end(), refusal.args.begin(), refusal.args.end());
    RunResult run = RunProgram(argv);
    std::string line = refusal.args.back();
    EXPECT_TRUE(run.exited) << line;
    EXPECT_EQ(run.status, 1) << line;
    EXPECT_EQ(run.err, refusal.err) << line;
    EXPECT_EQ(run.out, refusal.usage ? LoggerUsage(LoggerPath()) : "") << line;
    EXPECT_EQ(run.err.find(kReadyByte), std::string::npos) << line;
  }
  // Nothing was opened on the way.
  EXPECT_FALSE(FileExists(dir.File("app.log")));
}

TEST(ArgsProgram, SizeAndBackupsWrittenLikeAtoiAreTaken) {
  ScratchDir dir;
  LogServer server(dir);
  ASSERT_TRUE(server.Start({"--filesize=+10bytes", "--numbackups= 2"}));
  ASSERT_TRUE(SendMessages(server.pipe, {"eleven byte"}));
  ASSERT_TRUE(server.WaitForClientsDone(1));
  EXPECT_EQ(ReadWholeFile(dir.File("server1.log")), "eleven byte");
  EXPECT_EQ(ReadWholeFile(server.log), "");
  EXPECT_EQ(server.Stop(), 1);
}

}  // namespace
}  // namespace test
