// Every fixed text that the control client prints. Users and scripts read these byte for
// byte. Names ending in Format are printf formats.
#pragma once

/// The usage text, three lines of it; each %s takes the program's name.
inline constexpr char kTellUsageFormat[] = "Usage: %s [-h hostip] [-p port] <cmd>\n";
inline constexpr char kTellGetAllExampleFormat[] =
    "Example (get all manager settings):\n\t %s get all\n";
inline constexpr char kTellLogLevelExampleFormat[] =
    "Example (change manager loglevel to TRACE):\n"
    "\t %s -h localhost set loglevel TRACE\n";

/// %d: the largest command line, its line feed included.
inline constexpr char kCommandTooLongFormat[] =
    "Command too long: the words, blanks and line feed must fit in %d bytes.\n";
inline constexpr char kNoCommandGiven[] = "No cmd specified\n";
inline constexpr char kSocketsNotStarted[] = "Error at WSAStartup().\n";

/// %s: the host as given.
inline constexpr char kUnknownHostFormat[] =
    "Cannot determine host (%s) address. Using 127.0.0.1\n";
// Each %d is the socket library's own error code.
inline constexpr char kSocketFailedFormat[] = "socket failed with error %d.\n";
inline constexpr char kConnectFailedFormat[] = "connect failed with error %d.\n";
inline constexpr char kReceiveFailedFormat[] = "recv failed with error %d.\n";
inline constexpr char kSendFailedFormat[] = "send failed with error %d.\n";
