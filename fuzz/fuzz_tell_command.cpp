// The control client's command line. The first input byte chooses the size of the command
// buffer; the rest, split at zero bytes, is the argument vector after the program name. The
// options must be read as the usage text says, the command line must be every remaining word
// and a blank, then a line feed, or refused when it does not fit (never written past the
// buffer, which is exactly as large as stated), and a reply must be printed up to its first
// zero byte and not beyond.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_input.h"
#include "tell.h"

namespace {

void CheckOptions(int argc, char** argv, const TellOptions& options) {
  const char* host = "127.0.0.1";
  int port = 4328, i = 1;
  bool help = false;
  for (; i < argc; i += 2) {
    if (!std::strcmp(argv[i], "-help") || !std::strcmp(argv[i], "-?")) {
      help = true;
      break;
    }
    if (std::strcmp(argv[i], "-p") && std::strcmp(argv[i], "-h")) break;
    if (i + 1 >= argc) {
      i = argc;
      break;
    }
    if (!std::strcmp(argv[i], "-p")) port = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "-h")) host = argv[i + 1];
  }
  FUZZ_CHECK(options.help == help);
  if (help) return;
  FUZZ_CHECK(options.command_start == i);
  FUZZ_CHECK(options.port == port);
  FUZZ_CHECK(std::strcmp(options.host, host) == 0);
}

void CheckCommandLine(int argc, char** argv, int first, int capacity) {
  std::string expected;
  for (int i = first; i < argc; ++i) expected += std::string(argv[i]) + " ";
  expected += "\n";
  std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(capacity)]);
  int length = BuildCommandLine(argc, argv, first, buffer.get(), capacity);
  if (expected.size() + 1 > static_cast<size_t>(capacity)) {
    FUZZ_CHECK(length == -1);
    return;
  }
  FUZZ_CHECK(length == static_cast<int>(expected.size()));
  FUZZ_CHECK(std::memcmp(buffer.get(), expected.c_str(), expected.size() + 1) == 0);
}

void CheckReply(const uint8_t* data, size_t size) {
  char* printed = nullptr;
  size_t printed_size = 0;
  std::FILE* out = open_memstream(&printed, &printed_size);
  if (!out) return;
  std::unique_ptr<char[]> reply(new char[size]);
  std::memcpy(reply.get(), data, size);
  PrintReply(out, reply.get(), static_cast<int>(size));
  std::fclose(out);
  const void* zero = std::memchr(data, 0, size);
  size_t shown = zero ? static_cast<const uint8_t*>(zero) - data : size;
  FUZZ_CHECK(printed_size == shown && std::memcmp(printed, data, shown) == 0);
  std::free(printed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 70000) return 0;
  // Mostly small buffers, so that the limit is met often; sometimes the real one.
  int capacity = data[0] % 4 == 0 ? kTellBufferSize : data[0];
  fuzz::Arguments arguments("TellTobrinManager", data + 1, size - 1);
  TellOptions options = ParseTellOptions(arguments.argc(), arguments.argv());
  CheckOptions(arguments.argc(), arguments.argv(), options);
  if (!options.help)
    CheckCommandLine(arguments.argc(), arguments.argv(), options.command_start, capacity);
  CheckReply(data + 1, size - 1);
  return 0;
}
