// copy_stdin: a command for the log server's command mode that copies its standard input,
// byte for byte, onto the end of a file.
//
//   copy_stdin OUT [--echo] [--exit-after=N] [--fill-stderr]
//
// --echo         also write each piece read to standard error, at once
// --exit-after=N exit with status 5 after N bytes (0: at once), like a command that stops;
//                it reads no more than those, and leaves the rest in its standard input
// --fill-stderr  once the first piece has been read, and before it is written to OUT, fill
//                standard error until it takes not one more byte (nobody reading it)
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/process.h"
#include "tools/support/failure.h"

namespace {

// Ever smaller pieces, down to one byte, leave no room a short line could still take.
void FillStandardError() {
  std::string piece(4096, 'e');
  for (; !piece.empty(); piece.resize(piece.size() / 2)) {
    while (platform::WriteStandardErrorWithoutWaiting(piece.c_str())) {
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: copy_stdin OUT [--echo] [--exit-after=N] [--fill-stderr]\n");
    return 2;
  }
  bool echo = false, fill = false;
  long limit = -1;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--echo") == 0) echo = true;
    if (std::strcmp(argv[i], "--fill-stderr") == 0) fill = true;
    if (std::strncmp(argv[i], "--exit-after=", 13) == 0) limit = std::atol(argv[i] + 13);
  }
  // Appending, so that a command started again after it stopped goes on where it stopped.
  std::FILE* out = std::fopen(argv[1], "ab");
  if (!out) {
    PrintFailure("copy_stdin", std::string("open ") + argv[1],
                 std::error_code(errno, std::generic_category()));
    return 1;
  }
  long total = 0;
  char buffer[65536];
  while (limit < 0 || total < limit) {
    const long room = static_cast<long>(sizeof(buffer));
    long wanted = limit >= 0 && limit - total < room ? limit - total : room;
    int n = platform::ReadStandardInput(buffer, static_cast<int>(wanted));
    if (n <= 0) break;
    if (fill && total == 0) FillStandardError();
    std::fwrite(buffer, 1, static_cast<size_t>(n), out);
    std::fflush(out);
    if (echo) {
      std::fwrite(buffer, 1, static_cast<size_t>(n), stderr);
      std::fflush(stderr);
    }
    total += n;
  }
  std::fclose(out);
  return limit >= 0 ? 5 : 0;
}
