// The log server's command line: ParseArgs into settings of their own, and the
// decimal conversion of --filesize= and --numbackups=.
#include "args.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "log_settings.h"
#include "server_messages.h"
#include "test_support.h"

namespace test {
namespace {

// One ParseArgs run of `args` after the program name "prog": its result, the settings it
// filled, and what it printed.
struct Parsed {
  explicit Parsed(std::vector<std::string> args) {
    args.insert(args.begin(), "prog");
    std::vector<char*> argv;
    for (std::string& word : args) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    CapturedOutput captured_out(stdout), captured_err(stderr);
    result = ParseArgs(argv.data(), static_cast<int>(args.size()), &settings);
    err = captured_err.Release();
    out = captured_out.Release();
  }

  int result = -1;
  LogSettings settings;
  std::string out, err;
};

const std::string kUsage = Format(kUsageFormat, "prog", "prog");

TEST(Args, NoArgumentsAskForThePipeName) {
  Parsed p(std::vector<std::string>{});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.err, kNoPipeName);
  EXPECT_EQ(p.out, "");
}

TEST(Args, CompleteFileModeLineFillsTheSettings) {
  Parsed p({"--input=pipe", "--output=app.log", "--filesize=1000", "--numbackups=3"});
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.err, "");
  EXPECT_STREQ(p.settings.PipeName(), "pipe");
  EXPECT_STREQ(p.settings.LogFileName(), "app.log");
  EXPECT_EQ(p.settings.SizeLimit(), 1000);
  EXPECT_EQ(p.settings.NumBackups(), 3);
  EXPECT_FALSE(p.settings.CommandMode());
}

TEST(Args, DefaultsStayWhenSizeAndBackupsAreNotGiven) {
  Parsed p({"--input=pipe", "--output=app.log"});
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.settings.SizeLimit(), 5242880);
  EXPECT_EQ(p.settings.NumBackups(), 10);
}

TEST(Args, OneMinusSignIsAnInvalidArgumentWithUsage) {
  Parsed p({"-input=x"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.err, Format(kInvalidArgumentFormat, "-input=x"));
  EXPECT_EQ(p.out, kUsage);
}

TEST(Args, UnknownOptionIsAnInvalidArgumentWithoutPrefixWithUsage) {
  for (const char* option : {"--verbose", "--inputs=x", "--numbackups", "--Output=x", "--"}) {
    Parsed p({"--input=pipe", option, "--output=app.log"});
    EXPECT_EQ(p.result, 0) << option;
    EXPECT_EQ(p.err, Format(kUnknownOptionFormat, option));
    EXPECT_EQ(p.out, kUsage);
  }
}

TEST(Args, ParsingStopsAtTheFirstBadArgument) {
  Parsed p({"--filesize=7", "--verbose", "--filesize=0"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.err, Format(kUnknownOptionFormat, "--verbose"));
  EXPECT_EQ(p.settings.SizeLimit(), 7);
}

TEST(Args, BarWithOnlyBlanksIsAMissingCommand) {
  Parsed p({"--input=pipe", "--output=| "});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.err, kNoCommand);
  EXPECT_TRUE(p.settings.CommandMode());
  EXPECT_STREQ(p.settings.ExternalCmd(), "");

  Parsed bare({"--input=pipe", "--output=|"});
  EXPECT_EQ(bare.result, 0);
  EXPECT_EQ(bare.err, kNoCommand);
}

TEST(Args, PipeNameIsCheckedBeforeTheCommand) {
  Parsed p({"--output=| "});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.err, kNoPipeName);
}

TEST(Args, BlanksAfterTheBarAreSkippedAndTheRestIsTheCommand) {
  Parsed p({"--input=pipe", "--output=|  mycmd -x"});
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.err, "");
  EXPECT_TRUE(p.settings.CommandMode());
  EXPECT_STREQ(p.settings.ExternalCmd(), "mycmd -x");
  EXPECT_EQ(p.settings.LogFileName(), nullptr);

  Parsed every({"--input=pipe", "--output=| \t\n\v\f\rcmd  |x "});
  EXPECT_EQ(every.result, 1);
  EXPECT_STREQ(every.settings.ExternalCmd(), "cmd  |x ");
}

TEST(Args, FilesizeBelowOneIsRefusedWithTheArgumentAsTyped) {
  for (const char* option : {"--filesize=0", "--filesize=abc", "--filesize=-5",
                             "--filesize=", "--filesize=-99999999999"}) {
    Parsed p({"--input=pipe", "--output=app.log", option});
    EXPECT_EQ(p.result, 0) << option;
    EXPECT_EQ(p.err, Format(kFileSizeTooSmallFormat, option));
    EXPECT_EQ(p.out, "");
  }
}

TEST(Args, FilesizeIsReadLikeAtoi) {
  const struct {
    const char* option;
    int32_t limit;
  } cases[] = {{"--filesize=5MB", 5},
               {"--filesize= 7", 7},
               {"--filesize=+7", 7},
               {"--filesize=\t12x3", 12},
               {"--filesize=1", 1},
               {"--filesize=2147483647", 2147483647},
               {"--filesize=99999999999", 2147483647}};
  for (const auto& c : cases) {
    Parsed p({"--input=pipe", "--output=app.log", c.option});
    EXPECT_EQ(p.result, 1) << c.option;
    EXPECT_EQ(p.settings.SizeLimit(), c.limit) << c.option;
  }
}

TEST(Args, NumbackupsBelowTwoIsRefusedWithTheArgumentAsTyped) {
  for (const char* option :
       {"--numbackups=1", "--numbackups=0", "--numbackups=x", "--numbackups=-3"}) {
    Parsed p({"--input=pipe", "--output=app.log", option});
    EXPECT_EQ(p.result, 0) << option;
    EXPECT_EQ(p.err, Format(kNumBackupsTooSmallFormat, option));
    EXPECT_EQ(p.out, "");
  }
  Parsed two({"--input=pipe", "--output=app.log", "--numbackups=2"});
  EXPECT_EQ(two.result, 1);
  EXPECT_EQ(two.settings.NumBackups(), 2);
}

TEST(Args, EmptyInputCountsAsNoPipeName) {
  Parsed p({"--input=", "--output=app.log"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.err, kNoPipeName);

  Parsed later({"--input=pipe", "--input=", "--output=app.log"});
  EXPECT_EQ(later.result, 0);
  EXPECT_EQ(later.err, kNoPipeName);
}

TEST(Args, MissingOrEmptyLogFileIsReported) {
  const std::vector<std::vector<std::string>> lines{{"--input=pipe"},
                                                    {"--input=pipe", "--output="}};
  for (const std::vector<std::string>& args : lines) {
    Parsed p(args);
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.err, kNoLogFile);
  }
}

TEST(Args, LaterValuesWinAndAreNotComparedWithEachOther) {
  Parsed p({"--input=a", "--output=a.log", "--filesize=10", "--numbackups=50", "--input=b",
            "--output=b.log", "--filesize=20", "--numbackups=3"});
  EXPECT_EQ(p.result, 1);
  EXPECT_STREQ(p.settings.PipeName(), "b");
  EXPECT_STREQ(p.settings.LogFileName(), "b.log");
  EXPECT_EQ(p.settings.SizeLimit(), 20);
  EXPECT_EQ(p.settings.NumBackups(), 3);

  Parsed unrelated({"--input=p", "--output=x", "--filesize=1", "--numbackups=100000"});
  EXPECT_EQ(unrelated.result, 1);
  EXPECT_EQ(unrelated.settings.SizeLimit(), 1);
  EXPECT_EQ(unrelated.settings.NumBackups(), 100000);
}

TEST(Args, CommandModeStaysOnAfterALaterPlainOutput) {
  Parsed p({"--input=pipe", "--output=|cmd", "--output=app.log"});
  EXPECT_EQ(p.result, 1);
  EXPECT_TRUE(p.settings.CommandMode());
  EXPECT_STREQ(p.settings.ExternalCmd(), "cmd");
  EXPECT_STREQ(p.settings.LogFileName(), "app.log");

  // The later command replaces the earlier one; an empty one is still refused.
  Parsed replaced({"--input=pipe", "--output=|one", "--output=| two"});
  EXPECT_STREQ(replaced.settings.ExternalCmd(), "two");
  Parsed emptied({"--input=pipe", "--output=|one", "--output=app.log", "--output=|"});
  EXPECT_EQ(emptied.result, 0);
  EXPECT_EQ(emptied.err, kNoCommand);
}

// Each text with the value ConvertDecimal must give for it.
void ExpectConverted(const std::vector<std::pair<std::string, int32_t>>& cases) {
  for (const auto& [text, value] : cases) EXPECT_EQ(ConvertDecimal(text.c_str()), value) << text;
}

TEST(ConvertDecimal, ReadsLikeAtoi) {
  ExpectConverted({{"0", 0},
                   {"42", 42},
                   {"007", 7},
                   {"5MB", 5},
                   {" \t\n\v\f\r9", 9},
                   {"+7", 7},
                   {"-12x", -12},
                   {"", 0},
                   {"abc", 0},
                   {"+", 0},
                   {"-", 0},
                   {"- 5", 0},
                   {"+-5", 0},
                   {"1 2", 1}});
}

TEST(ConvertDecimal, SaturatesAtTheThirtyTwoBitLimits) {
  ExpectConverted({{"2147483647", INT32_MAX},
                   {"2147483648", INT32_MAX},
                   {"99999999999", 2147483647},
                   {"99999999999999999999999999999", INT32_MAX},
                   {"-2147483648", INT32_MIN},
                   {"-2147483649", INT32_MIN},
                   {"-99999999999", -2147483647 - 1},
                   {"-99999999999999999999999999999", INT32_MIN}});
}

}  // namespace
}  // namespace test
