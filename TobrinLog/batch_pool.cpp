#include "batch_pool.h"

#include <cstdlib>

#include "platform/lock.h"

namespace {

constexpr int kBatchAreas = 16;
constexpr int kAreasHeldWhileWaiting = kBatchAreas / 2;

platform::Lock g_pool_lock;
BatchArea* g_free_areas[kBatchAreas];
int g_free_count = 0;
int g_areas_made = 0;
int g_areas_waiting = 0;

}  // namespace

BatchArea* TakeBatchArea(bool to_wait) {
  platform::LockGuard guard(g_pool_lock);
  BatchArea* area = nullptr;
  if (to_wait && g_areas_waiting >= kAreasHeldWhileWaiting) {
    // Leave the rest to threads that already have messages in hand.
  } else if (g_free_count > 0) {
    area = g_free_areas[--g_free_count];
  } else if (g_areas_made < kBatchAreas) {
    // Never freed: the pool lives as long as the process.
    area = static_cast<BatchArea*>(std::malloc(sizeof(BatchArea)));
    if (area) ++g_areas_made;
  }
  if (area && to_wait) ++g_areas_waiting;
  return area;
}

void ReturnBatchArea(BatchArea* area, bool waited) {
  if (!area) return;
  platform::LockGuard guard(g_pool_lock);
  if (waited) --g_areas_waiting;
  g_free_areas[g_free_count++] = area;
}
