// Win32: the inherit lock; relies on SRWLOCK_INIT, which needs no initialisation call.
#include "platform/win32/native.h"

namespace platform {

namespace {

SRWLOCK inherit_lock = SRWLOCK_INIT;

}  // namespace

void AcquireInheritLock() { AcquireSRWLockExclusive(&inherit_lock); }

void ReleaseInheritLock() { ReleaseSRWLockExclusive(&inherit_lock); }

}  // namespace platform
