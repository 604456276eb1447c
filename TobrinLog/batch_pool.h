// The areas that hold the messages a client has queued behind the one it is read for.
#pragma once

#include "log_writer.h"
#include "platform/msgpipe.h"

/// How many queued messages one read takes behind the first: with it, one write's worth.
inline constexpr int kQueuedPerRead = kMaxBlocksPerWrite - 1;

/// Room for the messages of one read after the first, kMaxMessage bytes each.
struct BatchArea {
  char slots[kQueuedPerRead][platform::kMaxMessage];
};

/// Takes an area from a small shared pool that grows on demand up to a fixed number, so that
/// only busy client threads hold that memory. An area held `to_wait` for a client's next
/// message may sit with an idle client for long, so only half of the areas may be held so.
/// Null when none may be had; the caller then reads one message at a time.
BatchArea* TakeBatchArea(bool to_wait);

/// Gives `area` (null is allowed) back to the pool; `waited` as it was taken.
void ReturnBatchArea(BatchArea* area, bool waited);
