// The log server's command line. The input, split at zero bytes, is the argument vector
// after the program name. Every argument must convert as strtoll clamped to 32 bits would,
// and a command line that ParseArgs accepts must leave the settings that the last
// occurrence of each option gives, complete and within their limits.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "args.h"
#include "fuzz_input.h"
#include "log_settings.h"

namespace {

int32_t ReferenceDecimal(const char* text) {
  long long value = std::strtoll(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

bool Starts(const char* text, const char* prefix, const char** rest) {
  size_t length = std::strlen(prefix);
  if (std::strncmp(text, prefix, length) != 0) return false;
  *rest = text + length;
  return true;
}

bool Same(const char* a, const std::string& b) { return a && b == a; }

// What the accepted options say, in the order the server reads them.
void CheckAccepted(int argc, char** argv, const LogSettings& settings) {
  std::string pipe, log, command;
  bool command_mode = false;
  int32_t backups = kDefaultNumBackups, limit = kDefaultSizeLimit;
  for (int i = 1; i < argc; ++i) {
    const char* value;
    if (Starts(argv[i], "--output=", &value)) {
      if (*value == '|') {
        ++value;
        while (*value && std::strchr(" \t\n\v\f\r", *value)) ++value;
        command = value;
        command_mode = true;
      } else {
        log = value;
      }
    } else if (Starts(argv[i], "--input=", &value)) {
      pipe = value;
    } else if (Starts(argv[i], "--numbackups=", &value)) {
      backups = ReferenceDecimal(value);
    } else if (Starts(argv[i], "--filesize=", &value)) {
      limit = ReferenceDecimal(value);
    } else {
      FUZZ_CHECK(false);  // accepted an unknown argument
    }
  }
  FUZZ_CHECK(!pipe.empty() && Same(settings.PipeName(), pipe));
  FUZZ_CHECK(settings.CommandMode() == command_mode);
  if (command_mode) FUZZ_CHECK(!command.empty() && Same(settings.ExternalCmd(), command));
  if (!command_mode) FUZZ_CHECK(!log.empty() && Same(settings.LogFileName(), log));
  FUZZ_CHECK(settings.NumBackups() == backups && backups >= 2);
  FUZZ_CHECK(settings.SizeLimit() == limit && limit >= 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  fuzz::Arguments arguments("TobrinLogger", data, size);
  for (int i = 1; i < arguments.argc(); ++i) {
    const char* text = arguments.argv()[i];
    FUZZ_CHECK(ConvertDecimal(text) == ReferenceDecimal(text));
  }
  LogSettings settings;
  if (ParseArgs(arguments.argv(), arguments.argc(), &settings))
    CheckAccepted(arguments.argc(), arguments.argv(), settings);
  return 0;
}
