// Messages that carry their client, sequence number, length and a checksum, and a reader that
// checks a log for them: every message whole, once, and in its client's order.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/msgpipe.h"

namespace test {

/// magic (2 bytes), client (2), sequence (4), length (4), checksum (4); little-endian.
inline constexpr int kMessageHeader = 16;

/// The lengths messages take: from `shortest` to `longest` (both at least kMessageHeader);
/// with `extremes`, one in twenty is empty, one in twenty the longest and one in twenty short.
struct Lengths {
  int shortest = kMessageHeader;
  int longest = platform::kMaxMessage;
  bool extremes = true;
};
/// Any length the pipe takes, the extremes included.
inline constexpr Lengths kAnyLength{};
/// Every message exactly `length` bytes long.
constexpr Lengths Exactly(int length) { return Lengths{length, length, false}; }

/// The length of message `sequence` of `client`; 0 for an empty one (never written).
int MessageLength(int client, int sequence, const Lengths& lengths = kAnyLength);
/// Message `sequence` of `client`: the header, then a body generated from both, so that a cut,
/// torn or mixed message cannot pass for a whole one.
std::string MakeMessage(int client, int sequence, const Lengths& lengths = kAnyLength);
/// The first sequence number from `sequence` on whose message is not empty.
int NextNonEmpty(int client, int sequence, const Lengths& lengths = kAnyLength);

/// The backup file that takes number `n` of `log`, as the server names it; "" when too long.
std::string BackupName(const std::string& log, int n);
/// The backups in the order they were taken (1, 2, ... while none has been reused), then the
/// log itself.
std::vector<std::string> FilesInWritingOrder(const std::string& log, int backups);
/// The sequence number of the message that `text` begins with; -1 when it begins with none.
int FirstSequence(const std::string& text);
/// The backups of `log` that exist, in the order they were written also after the ring has
/// been reused: by the sequence number of the message each begins with (the messages of one
/// client), an empty one first. Then the log itself.
std::vector<std::string> RingInWritingOrder(const std::string& log, int backups);

/// Walks files in the order they were written and follows every client's sequence.
struct LogReader {
  explicit LogReader(int clients, const Lengths& lengths = kAnyLength);

  /// Reads one file, which must consist of whole messages, each the next of its client.
  ::testing::AssertionResult ReadFile(const std::string& name, const std::string& text);
  /// Reads `files`, which a server rotating at `limit` bytes wrote in this order, each as
  /// ReadFile does: each but the last must have been rotated right after the message that
  /// took it over the limit, and the last must be within the limit.
  ::testing::AssertionResult ReadRotated(const std::vector<std::string>& files, int64_t limit);

  Lengths lengths;
  std::vector<int> next;  ///< Per client, the sequence number of its next non-empty message.
  int64_t messages = 0;
  int64_t bytes_read = 0;
  size_t last_length = 0;  ///< The length of the last whole message read.
};

}  // namespace test
