// Win32: the lock is a critical section; relies on it fitting Lock's 64-byte storage.
#include "platform/lock.h"

#include <windows.h>

namespace platform {

namespace {

CRITICAL_SECTION* Section(unsigned char* storage) {
  return reinterpret_cast<CRITICAL_SECTION*>(storage);
}

}  // namespace

Lock::Lock() {
  static_assert(sizeof(CRITICAL_SECTION) <= sizeof(storage_), "critical section does not fit");
  static_assert(alignof(CRITICAL_SECTION) <= 16, "critical section needs more alignment");
  InitializeCriticalSection(Section(storage_));
}

Lock::~Lock() { DeleteCriticalSection(Section(storage_)); }

void Lock::Acquire() { EnterCriticalSection(Section(storage_)); }

void Lock::Release() { LeaveCriticalSection(Section(storage_)); }

}  // namespace platform
