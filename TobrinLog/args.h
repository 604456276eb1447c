// The log server's command line.
#pragma once

#include <cstdint>

class LogSettings;

/// Converts decimal text as the C runtime's atoi does (leading white space, an optional
/// sign, digits up to the first other character; no digits give 0), saturating at the
/// 32-bit limits so that every target gives the same value.
int32_t ConvertDecimal(const char* text);

/// Reads argv[1..argc-1] into `settings`. 1 when they are complete and valid;
/// else 0 after printing the message (and the usage text for an unknown argument).
int ParseArgs(char** argv, int argc, LogSettings* settings);
