// Batched reads of the log pipe on Windows: a message-mode pipe hands over one message per
// ReadFile, so the batch is always the one message that was waited for.
#include "platform/msgpipe.h"

namespace platform {

int QueuedReadLimit() { return 0; }

int ReadPipeMessages(PipeEnd end, char* first, char*, int, int* lengths, bool* failed) {
  *failed = false;
  return ReadPipeMessage(end, first, kMaxMessage, &lengths[0]) ? 1 : 0;
}

}  // namespace platform
