#include "messages.h"

#include <algorithm>
#include <utility>

#include "rotation.h"
#include "test_support.h"

namespace test {

namespace {

constexpr unsigned char kMagic[2] = {0xA5, 0x5A};

uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

uint64_t Seed(int client, int sequence) {
  return Mix((static_cast<uint64_t>(client) << 32) | static_cast<uint32_t>(sequence));
}

void PutU32(unsigned char* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t GetU32(const unsigned char* at) {
  return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

// FNV-1a over the header before the checksum and the whole body.
uint32_t Checksum(const unsigned char* message, size_t length) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < length; ++i) {
    if (i >= 12 && i < kMessageHeader) continue;
    hash = (hash ^ message[i]) * 16777619u;
  }
  return hash;
}

}  // namespace

int MessageLength(int client, int sequence, const Lengths& lengths) {
  uint64_t r = Seed(client, sequence);
  uint64_t span = static_cast<uint64_t>(lengths.longest - lengths.shortest + 1);
  if (lengths.extremes) {
    switch (r % 20) {
      case 0:
        return 0;
      case 1:
        return lengths.longest;
      case 2:
        span = std::min<uint64_t>(span, 48);
        break;
    }
  }
  return lengths.shortest + static_cast<int>((r >> 8) % span);
}

std::string MakeMessage(int client, int sequence, const Lengths& lengths) {
  int length = MessageLength(client, sequence, lengths);
  std::string message(static_cast<size_t>(length), '\0');
  if (length == 0) return message;
  unsigned char* bytes = reinterpret_cast<unsigned char*>(&message[0]);
  bytes[0] = kMagic[0];
  bytes[1] = kMagic[1];
  bytes[2] = static_cast<unsigned char>(client);
  bytes[3] = static_cast<unsigned char>(client >> 8);
  PutU32(bytes + 4, static_cast<uint32_t>(sequence));
  PutU32(bytes + 8, static_cast<uint32_t>(length));
  uint64_t state = Seed(client, sequence);
  for (int i = kMessageHeader; i < length; ++i) {
    if ((i - kMessageHeader) % 8 == 0) state = Mix(state);
    bytes[i] = static_cast<unsigned char>(state >> (8 * ((i - kMessageHeader) % 8)));
  }
  PutU32(bytes + 12, Checksum(bytes, static_cast<size_t>(length)));
  return message;
}

int NextNonEmpty(int client, int sequence, const Lengths& lengths) {
  while (MessageLength(client, sequence, lengths) == 0) ++sequence;
  return sequence;
}

std::string BackupName(const std::string& log, int n) {
  char name[1024];
  return MakeBackupName(log.c_str(), n, name, sizeof(name)) ? name : "";
}

std::vector<std::string> FilesInWritingOrder(const std::string& log, int backups) {
  std::vector<std::string> files;
  for (int n = 1; n <= backups && FileExists(BackupName(log, n)); ++n)
    files.push_back(BackupName(log, n));
  files.push_back(log);
  return files;
}

int FirstSequence(const std::string& text) {
  if (text.size() < static_cast<size_t>(kMessageHeader)) return -1;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
  if (bytes[0] != kMagic[0] || bytes[1] != kMagic[1]) return -1;
  return static_cast<int>(GetU32(bytes + 4));
}

std::vector<std::string> RingInWritingOrder(const std::string& log, int backups) {
  std::vector<std::pair<int, std::string>> found;
  for (int n = 1; n <= backups; ++n) {
    std::string name = BackupName(log, n);
    if (FileExists(name)) found.emplace_back(FirstSequence(ReadWholeFile(name)), name);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> files;
  for (const auto& backup : found) files.push_back(backup.second);
  files.push_back(log);
  return files;
}

LogReader::LogReader(int clients, const Lengths& lengths)
    : lengths(lengths), next(static_cast<size_t>(clients)) {
  for (int c = 0; c < clients; ++c) next[c] = NextNonEmpty(c, 0, lengths);
}

::testing::AssertionResult LogReader::ReadFile(const std::string& name, const std::string& text) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
  size_t at = 0;
  while (at < text.size()) {
    size_t left = text.size() - at;
    const unsigned char* m = bytes + at;
    bool whole = left >= static_cast<size_t>(kMessageHeader) && GetU32(m + 8) <= left;
    if (!whole)
      return ::testing::AssertionFailure()
             << name << " @" << at << ": " << left << " bytes that are no whole message";
    int client = m[2] | (m[3] << 8);
    int sequence = static_cast<int>(GetU32(m + 4));
    uint32_t length = GetU32(m + 8);
    if (m[0] != kMagic[0] || m[1] != kMagic[1] || client >= static_cast<int>(next.size()) ||
        length < static_cast<uint32_t>(kMessageHeader) || length > platform::kMaxMessage)
      return ::testing::AssertionFailure() << name << " @" << at << ": not a message header";
    if (Checksum(m, length) != GetU32(m + 12))
      return ::testing::AssertionFailure() << name << " @" << at << ": checksum wrong (client "
                                           << client << ", sequence " << sequence << ")";
    if (sequence != next[client])
      return ::testing::AssertionFailure()
             << name << " @" << at << ": client " << client << " sequence " << sequence << " where "
             << next[client] << " was due";
    if (text.compare(at, length, MakeMessage(client, sequence, lengths)) != 0)
      return ::testing::AssertionFailure() << name << " @" << at << ": body differs";
    next[client] = NextNonEmpty(client, sequence + 1, lengths);
    ++messages;
    bytes_read += length;
    last_length = length;
    at += length;
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult LogReader::ReadRotated(const std::vector<std::string>& files,
                                                  int64_t limit) {
  for (size_t f = 0; f < files.size(); ++f) {
    std::string text = ReadWholeFile(files[f]);
    ::testing::AssertionResult read = ReadFile(files[f], text);
    if (!read) return read;
    int64_t size = static_cast<int64_t>(text.size());
    bool last = f + 1 == files.size();
    if (!last && (size <= limit || size - static_cast<int64_t>(last_length) > limit))
      return ::testing::AssertionFailure()
             << files[f] << ": " << size << " bytes, not rotated right after passing " << limit;
    if (last && size > limit)
      return ::testing::AssertionFailure() << files[f] << ": " << size << " bytes, over " << limit;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace test
