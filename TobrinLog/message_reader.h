// Reading one client's messages: the next one together with those queued behind it.
#pragma once

#include "batch_pool.h"
#include "log_writer.h"
#include "platform/msgpipe.h"

/// What one read gave.
struct MessageBatch {
  /// The messages read, in order, without the empty ones.
  Block blocks[kMaxBlocksPerWrite];
  int count = 0;
  /// Nothing was read: the client has gone, or its next message could not be read whole.
  bool client_ended = false;
  /// The message queued behind those in `blocks` could not be read whole: they are the last.
  bool read_failed = false;
};

/// Reads the messages of one connected client: it waits for the next one, then takes an area
/// of the batch pool and reads into it what is queued behind, without waiting. The area is
/// held until the next read; without one, the message is handed on alone.
class MessageReader {
 public:
  explicit MessageReader(platform::PipeEnd client) : client_(client) {}
  /// Gives the area of the last read back to the pool.
  ~MessageReader() { ReleaseArea(); }
  MessageReader(const MessageReader&) = delete;
  MessageReader& operator=(const MessageReader&) = delete;

  /// Gives the last read's area back, waits for the next message and reads it with those
  /// already queued behind it, as many as a write takes. The batch and its blocks stay valid
  /// until the next call.
  const MessageBatch& ReadNext();

 private:
  /// Reads what is queued behind the first message, of `first_length` bytes, into an area,
  /// in front of which the first message is then copied. Returns how many entries `queued`
  /// holds: 0 when nothing is queued or no area can be had.
  int ReadQueuedBehind(int first_length, platform::ReceivedMessage* queued);
  void AddBlock(const char* data, int length);
  void ReleaseArea();

  platform::PipeEnd client_;
  BatchArea* area_ = nullptr;
  MessageBatch batch_;
  char first_[platform::kMaxMessage];
};
