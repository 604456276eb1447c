// Win32: the lock is a critical section and the condition a condition variable slept on
// with SleepConditionVariableCS; relies on both fitting their 64-byte storage.
#include "platform/lock.h"

#include <windows.h>

namespace platform {

namespace {

CRITICAL_SECTION* Section(unsigned char* storage) {
  return reinterpret_cast<CRITICAL_SECTION*>(storage);
}

CONDITION_VARIABLE* Variable(unsigned char* storage) {
  return reinterpret_cast<CONDITION_VARIABLE*>(storage);
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

Condition::Condition() {
  static_assert(sizeof(CONDITION_VARIABLE) <= sizeof(storage_), "condition does not fit");
  InitializeConditionVariable(Variable(storage_));
}

// A condition variable holds no resources on Windows.
Condition::~Condition() {}

void Condition::Wait(Lock& lock) {
  SleepConditionVariableCS(Variable(storage_), Section(lock.storage_), INFINITE);
}

bool Condition::WaitFor(Lock& lock, int milliseconds) {
  return SleepConditionVariableCS(Variable(storage_), Section(lock.storage_),
                                  static_cast<DWORD>(milliseconds)) != 0;
}

void Condition::WakeAll() { WakeAllConditionVariable(Variable(storage_)); }

}  // namespace platform
