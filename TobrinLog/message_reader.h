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

/// Reads the messages of one connected client. The messages queued behind the first go into
/// an area of the batch pool, held until the next read; without an area, or where the
/// system is set to take each message on its own, they are read one at a time.
class MessageReader {
 public:
  explicit MessageReader(platform::PipeEnd client) : client_(client) {}
  /// Gives the area of the last read back to the pool.
  ~MessageReader() { ReleaseArea(); }
  MessageReader(const MessageReader&) = delete;
  MessageReader& operator=(const MessageReader&) = delete;

  /// Waits for the next message and reads it with those already queued behind it, as many
  /// as a write takes. The batch and its blocks stay valid until the next call.
  const MessageBatch& ReadNext();

 private:
  /// Reads into `first_` and the area; returns how many entries `messages` holds.
  int ReadMessages(platform::ReceivedMessage* messages);
  void ReleaseArea();

  platform::PipeEnd client_;
  BatchArea* area_ = nullptr;
  bool area_waited_ = false;
  MessageBatch batch_;
  char first_[platform::kMaxMessage];
};
