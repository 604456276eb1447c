// The areas that hold the messages a client has queued behind the one it was read for.
#pragma once

#include "log_writer.h"
#include "platform/msgpipe.h"

/// Room for one write's worth of messages, kMaxMessage bytes each.
struct BatchArea {
  char bytes[kMaxBlocksPerWrite * platform::kMaxMessage];
};

/// Takes an area from a small shared pool that grows on demand up to a fixed number, so that
/// only client threads with messages in hand hold that memory. Null when every area is in
/// use (or the build keeps none); the caller then writes its one message alone.
BatchArea* TakeBatchArea();

/// Gives `area` (null is allowed) back to the pool.
void ReturnBatchArea(BatchArea* area);
