#include "message_reader.h"

const MessageBatch& MessageReader::ReadNext() {
  ReleaseArea();
  platform::ReceivedMessage messages[kMaxBlocksPerWrite];
  int read = ReadMessages(messages);
  batch_.client_ended = read == 0;
  if (read == 0) ReleaseArea();
  batch_.count = 0;
  for (int i = 0; i < read; ++i) {
    if (messages[i].length > 0)
      batch_.blocks[batch_.count++] = Block{messages[i].data, messages[i].length};
  }
  return batch_;
}

// An area taken before waiting lets the message and what is queued behind it be read
// together; a thread that gets none reads the message alone and then looks for an area.
int MessageReader::ReadMessages(platform::ReceivedMessage* messages) {
  batch_.read_failed = false;
  // Where reads take one message at a time, no area would ever be filled.
  bool batches = platform::QueuedReadLimit() >= kQueuedPerRead;
  area_ = batches ? TakeBatchArea(true) : nullptr;
  area_waited_ = area_ != nullptr;
  if (area_)
    return platform::ReadPipeMessages(client_, first_, area_->slots[0], kQueuedPerRead, messages,
                                      &batch_.read_failed);
  int length = 0;
  if (!platform::ReadPipeMessage(client_, first_, platform::kMaxMessage, &length)) return 0;
  messages[0] = {first_, length};
  area_ = batches ? TakeBatchArea(false) : nullptr;
  if (!area_) return 1;
  return 1 + platform::ReadQueuedMessages(client_, area_->slots[0], kQueuedPerRead, messages + 1,
                                          &batch_.read_failed);
}

void MessageReader::ReleaseArea() {
  ReturnBatchArea(area_, area_waited_);
  area_ = nullptr;
}
