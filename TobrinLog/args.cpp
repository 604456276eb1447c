#include "args.h"

#include <cstdio>
#include <cstring>

#include "log_settings.h"
#include "server_messages.h"

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The value after `prefix`, or null when the option does not start with it.
const char* ValueOf(const char* option, const char* prefix) {
  size_t length = std::strlen(prefix);
  return std::strncmp(option, prefix, length) == 0 ? option + length : nullptr;
}

void PrintUsage(const char* program) { std::printf(kUsageFormat, program, program); }

int SetOutput(const char* value, LogSettings* settings) {
  if (*value != '|') return settings->SetLogFileName(value);
  ++value;
  while (IsSpace(*value)) ++value;
  return settings->SetExternalCmd(value);
}

// The value of a number option, when it is at least `minimum`; else false after printing
// `refusal` with the argument as given.
bool TakeNumber(const char* argument, const char* value, int32_t minimum, const char* refusal,
                int32_t* number) {
  *number = ConvertDecimal(value);
  if (*number >= minimum) return true;
  std::fprintf(stderr, refusal, argument);
  return false;
}

// One argument; 0 ends the parse.
int ParseOne(const char* program, const char* argument, LogSettings* settings) {
  if (std::strncmp(argument, "--", 2) != 0) {
    std::fprintf(stderr, kInvalidArgumentFormat, argument);
    PrintUsage(program);
    return 0;
  }
  const char* option = argument + 2;
  const char* value;
  int32_t number = 0;
  if ((value = ValueOf(option, "output="))) return SetOutput(value, settings);
  if ((value = ValueOf(option, "input="))) return settings->SetPipeName(value);
  if ((value = ValueOf(option, "numbackups="))) {
    if (!TakeNumber(argument, value, 2, kNumBackupsTooSmallFormat, &number)) return 0;
    settings->SetNumBackups(number);
    return 1;
  }
  if ((value = ValueOf(option, "filesize="))) {
    if (!TakeNumber(argument, value, 1, kFileSizeTooSmallFormat, &number)) return 0;
    settings->SetSizeLimit(number);
    return 1;
  }
  std::fprintf(stderr, kUnknownOptionFormat, argument);
  PrintUsage(program);
  return 0;
}

bool IsEmpty(const char* text) { return !text || !*text; }

}  // namespace

int32_t ConvertDecimal(const char* text) {
  while (IsSpace(*text)) ++text;
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > limit) value = limit;
  }
  return static_cast<int32_t>(negative ? -value : value);
}

int ParseArgs(char** argv, int argc, LogSettings* settings) {
  const char* program = argc > 0 ? argv[0] : "TobrinLogger";
  for (int i = 1; i < argc; ++i) {
    if (!ParseOne(program, argv[i], settings)) return 0;
  }
  if (IsEmpty(settings->PipeName())) {
    std::fputs(kNoPipeName, stderr);
    return 0;
  }
  if (settings->CommandMode()) {
    if (IsEmpty(settings->ExternalCmd())) {
      std::fputs(kNoCommand, stderr);
      return 0;
    }
    return 1;
  }
  if (IsEmpty(settings->LogFileName())) {
    std::fputs(kNoLogFile, stderr);
    return 0;
  }
  return 1;
}
