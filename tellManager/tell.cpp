#include "tell.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/socket.h"
#include "tell_messages.h"

TellOptions ParseTellOptions(int argc, char** argv) {
  TellOptions options;
  int i = 1;
  while (i < argc) {
    const char* word = argv[i];
    if (std::strcmp(word, "-help") == 0 || std::strcmp(word, "-?") == 0) {
      options.help = true;
      break;
    }
    bool is_port = std::strcmp(word, "-p") == 0;
    if (!is_port && std::strcmp(word, "-h") != 0) break;
    if (i + 1 >= argc) {
      // The value is missing: nothing is left for the command either.
      i = argc;
      break;
    }
    if (is_port) {
      options.port = std::atoi(argv[i + 1]);
    } else {
      options.host = argv[i + 1];
    }
    i += 2;
  }
  options.command_start = i;
  return options;
}

int BuildCommandLine(int argc, char** argv, int first, char* buffer, int capacity) {
  if (capacity < 2) return -1;
  // The line feed and the terminating zero always need room after the words.
  size_t room = static_cast<size_t>(capacity) - 2;
  size_t length = 0;
  for (int i = first; i < argc; ++i) {
    size_t word = std::strlen(argv[i]);
    if (word >= room - length) return -1;
    std::memcpy(buffer + length, argv[i], word);
    length += word;
    buffer[length++] = ' ';
  }
  buffer[length++] = '\n';
  buffer[length] = '\0';
  return static_cast<int>(length);
}

void PrintTellUsage(std::FILE* out, const char* program) {
  std::fprintf(out, kTellUsageFormat, program);
  std::fprintf(out, kTellGetAllExampleFormat, program);
  std::fprintf(out, kTellLogLevelExampleFormat, program);
}

void PrintReply(std::FILE* out, const char* reply, int length) {
  const void* zero = std::memchr(reply, '\0', static_cast<size_t>(length));
  size_t shown = zero ? static_cast<size_t>(static_cast<const char*>(zero) - reply)
                      : static_cast<size_t>(length);
  std::fwrite(reply, 1, shown, out);
}

int ExchangeWithManager(platform::Socket socket, const TellOptions& options, const char* command,
                        int command_length, int receive_timeout_ms) {
  const char* host = options.host;
  uint32_t address = platform::ParseIpv4Address(host);
  if (address == platform::kNoAddress) {
    std::fprintf(stderr, kUnknownHostFormat, host);
    address = platform::ParseIpv4Address("127.0.0.1");
  }
  std::error_code error;
  if (!platform::ConnectSocket(socket, address, static_cast<uint16_t>(options.port), &error)) {
    std::fprintf(stderr, kConnectFailedFormat, error.value());
    return -1;
  }
  // A manager that accepts and then stays silent must not hold a script for good; a wait
  // that cannot be bounded fails the same way as one that ran out.
  if (!platform::SetReceiveTimeout(socket, receive_timeout_ms, &error)) {
    std::fprintf(stderr, kReceiveFailedFormat, error.value());
    return -1;
  }
  char reply[kTellBufferSize];
  // The greeting only tells us the manager is ready; its content is not ours to show.
  if (platform::ReceiveOnce(socket, reply, kTellBufferSize, &error) <= 0) {
    std::fprintf(stderr, kReceiveFailedFormat, error.value());
    return -1;
  }
  if (platform::SendOnce(socket, command, command_length, &error) < command_length) {
    std::fprintf(stderr, kSendFailedFormat, error.value());
    return -1;
  }
  int received = platform::ReceiveOnce(socket, reply, kTellBufferSize, &error);
  if (received <= 0) {
    std::fprintf(stderr, kReceiveFailedFormat, error.value());
    return -1;
  }
  PrintReply(stdout, reply, received);
  std::fflush(stdout);
  return 0;
}

int TellManagerMain(int argc, char** argv) {
  const char* program = argc > 0 ? argv[0] : "TellTobrinManager";
  TellOptions options = ParseTellOptions(argc, argv);
  if (options.help) {
    PrintTellUsage(stdout, program);
    return 1;
  }
  char command[kTellBufferSize];
  int length = BuildCommandLine(argc, argv, options.command_start, command, kTellBufferSize);
  if (length < 0) {
    std::fprintf(stderr, kCommandTooLongFormat, kTellBufferSize - 1);
    return -1;
  }
  if (length <= 2) {
    std::fputs(kNoCommandGiven, stderr);
    PrintTellUsage(stdout, program);
    return -1;
  }
  if (!platform::StartSockets()) {
    std::fputs(kSocketsNotStarted, stderr);
    return -1;
  }
  std::error_code error;
  platform::Socket socket = platform::CreateTcpSocket(&error);
  if (!platform::IsOpen(socket)) {
    std::fprintf(stderr, kSocketFailedFormat, error.value());
    platform::StopSockets();
    return -2;
  }
  // The socket stays open: stopping the library and exiting ends the connection.
  int status = ExchangeWithManager(socket, options, command, length, kTellReceiveTimeoutMs);
  platform::StopSockets();
  return status;
}
