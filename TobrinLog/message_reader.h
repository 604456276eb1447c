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
/// held until the next read, which first looks, without waiting, for more queued in it when
/// the last read found some; it is given back before any wait. Without an area, the message
/// is handed on alone.
class MessageReader {
 public:
  explicit MessageReader(platform::PipeEnd client) : client_(client) {}
  /// Gives the area of the last read back to the pool.
  ~MessageReader() { ReleaseArea(); }
  MessageReader(const MessageReader&) = delete;
  MessageReader& operator=(const MessageReader&) = delete;

  /// Reads the next message with those already queued behind it, as many as a write takes,
  /// waiting for one when none is queued. The batch and its blocks stay valid until the next
  /// call.
  const MessageBatch& ReadNext();

 private:
  /// Reads what is queued behind the first message, of `first_length` bytes, into the area.
  void ReadQueuedBehindFirst(int first_length);
  /// Reads at most `most` queued messages into the area from `storage` on, without waiting,
  /// and adds them to the batch.
  void ReadQueued(char* storage, int most);
  void AddBlock(const char* data, int length);
  void ReleaseArea();

  platform::PipeEnd client_;
  BatchArea* area_ = nullptr;
  /// The last read found messages queued behind the first: the client is ahead of us.
  bool client_ahead_ = false;
  MessageBatch batch_;
  char first_[platform::kMaxMessage];
};
