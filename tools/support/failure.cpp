#include "tools/support/failure.h"

#include <cstdio>

void PrintFailure(const char* tool, const std::string& action, const std::error_code& error) {
  std::fprintf(stderr, "%s: cannot %s: %s (%d)\n", tool, action.c_str(), error.message().c_str(),
               error.value());
}
