// Win32: the client library's locks are slim reader/writer locks with condition variables,
// its threads come from CreateThread, its clock is GetTickCount64, and the last error lives
// in a TLS slot of its own (thread_local would bring the threads runtime into the DLL).
// Windows processes do not fork.
#include "client/system.h"

#include <windows.h>

#include "client/win32/thread_error.h"

namespace client {

namespace {

static_assert(sizeof(SRWLOCK) <= sizeof(Lock::storage), "a lock fits a Lock");
static_assert(sizeof(CONDITION_VARIABLE) <= sizeof(Condition::storage), "a condition fits");

struct NativeThread {
  HANDLE handle;
  void (*main)(void*);
  void* argument;
};
static_assert(sizeof(NativeThread) <= sizeof(Thread::storage), "a thread fits a Thread");

SRWLOCK* Native(Lock* lock) { return reinterpret_cast<SRWLOCK*>(lock->storage); }

CONDITION_VARIABLE* Native(Condition* condition) {
  return reinterpret_cast<CONDITION_VARIABLE*>(condition->storage);
}

NativeThread* Native(Thread* thread) { return reinterpret_cast<NativeThread*>(thread->storage); }

DWORD WINAPI RunThread(LPVOID argument) {
  NativeThread* thread = static_cast<NativeThread*>(argument);
  thread->main(thread->argument);
  return 0;
}

SRWLOCK g_process_lock = SRWLOCK_INIT;
INIT_ONCE g_error_slot_made = INIT_ONCE_STATIC_INIT;
DWORD g_error_slot = TLS_OUT_OF_INDEXES;

BOOL CALLBACK MakeErrorSlot(PINIT_ONCE, PVOID, PVOID*) {
  g_error_slot = TlsAlloc();
  return TRUE;
}

DWORD ErrorSlot() {
  InitOnceExecuteOnce(&g_error_slot_made, MakeErrorSlot, NULL, NULL);
  return g_error_slot;
}

}  // namespace

void InitLock(Lock* lock) { InitializeSRWLock(Native(lock)); }
void FreeLock(Lock*) {}
void Acquire(Lock* lock) { AcquireSRWLockExclusive(Native(lock)); }
void Release(Lock* lock) { ReleaseSRWLockExclusive(Native(lock)); }

void InitCondition(Condition* condition) { InitializeConditionVariable(Native(condition)); }
void FreeCondition(Condition*) {}

void Wait(Condition* condition, Lock* lock) {
  SleepConditionVariableSRW(Native(condition), Native(lock), INFINITE, 0);
}

void WaitFor(Condition* condition, Lock* lock, long long milliseconds) {
  DWORD wait = milliseconds < 0           ? 0
               : milliseconds >= INFINITE ? INFINITE - 1
                                          : static_cast<DWORD>(milliseconds);
  SleepConditionVariableSRW(Native(condition), Native(lock), wait, 0);
}

void Signal(Condition* condition) { WakeConditionVariable(Native(condition)); }
void Broadcast(Condition* condition) { WakeAllConditionVariable(Native(condition)); }

bool StartThread(Thread* thread, void (*main)(void*), void* argument, int* error) {
  NativeThread* native = Native(thread);
  native->main = main;
  native->argument = argument;
  native->handle = CreateThread(NULL, TOBRIN_CLIENT_STACK_BYTES, RunThread, native,
                                STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
  if (native->handle == NULL) *error = static_cast<int>(GetLastError());
  return native->handle != NULL;
}

void JoinThread(Thread* thread) {
  WaitForSingleObject(Native(thread)->handle, INFINITE);
  CloseHandle(Native(thread)->handle);
}

long long NowMilliseconds() { return static_cast<long long>(GetTickCount64()); }

// Without a slot (the process has used up its TLS indexes) errors go unreported.
void StoreThreadError(int error) {
  DWORD slot = ErrorSlot();
  if (slot != TLS_OUT_OF_INDEXES) TlsSetValue(slot, reinterpret_cast<LPVOID>(intptr_t{error}));
}

int ThreadError() {
  DWORD slot = ErrorSlot();
  if (slot == TLS_OUT_OF_INDEXES) return 0;
  return static_cast<int>(reinterpret_cast<intptr_t>(TlsGetValue(slot)));
}

void FreeThreadErrorSlot() {
  if (g_error_slot != TLS_OUT_OF_INDEXES) TlsFree(g_error_slot);
  g_error_slot = TLS_OUT_OF_INDEXES;
}

void AcquireProcessLock() { AcquireSRWLockExclusive(&g_process_lock); }
void ReleaseProcessLock() { ReleaseSRWLockExclusive(&g_process_lock); }

void WatchForks() {}

}  // namespace client
