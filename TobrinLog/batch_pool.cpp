#include "batch_pool.h"

#include <cstdlib>

#include "platform/lock.h"

namespace {

// Set by the build: 0 for the bench's server that takes every message on its own.
constexpr int kBatchAreas = TOBRIN_BATCH_AREAS;

platform::Lock g_pool_lock;
BatchArea* g_free_areas[kBatchAreas > 0 ? kBatchAreas : 1];
int g_free_count = 0;
int g_areas_made = 0;

}  // namespace

BatchArea* TakeBatchArea() {
  platform::LockGuard guard(g_pool_lock);
  if (g_free_count > 0) return g_free_areas[--g_free_count];
  if (g_areas_made >= kBatchAreas) return nullptr;
  // Never freed: the pool lives as long as the process.
  BatchArea* area = static_cast<BatchArea*>(std::malloc(sizeof(BatchArea)));
  if (area) ++g_areas_made;
  return area;
}

void ReturnBatchArea(BatchArea* area) {
  if (!area) return;
  platform::LockGuard guard(g_pool_lock);
  g_free_areas[g_free_count++] = area;
}
