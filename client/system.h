// What the client library needs of the system beside the pipe (client/pipe.h): locks and
// conditions, the sender's thread, a monotonic clock, the calling thread's last error, and
// the hooks a fork runs. client/linux and client/win32 implement it with the system's own
// calls only, so that the library needs no C++ runtime. The types are plain storage that
// their Init function makes ready, so that they live inside memory from malloc.
#pragma once

#include <stddef.h>

namespace client {

/// A lock that is not recursive.
struct Lock {
  alignas(16) unsigned char storage[64];
};

void InitLock(Lock* lock);
void FreeLock(Lock* lock);
void Acquire(Lock* lock);
/// Lets the lock go; the calling thread must hold it.
void Release(Lock* lock);

/// A condition to wait on under a Lock. A wait may end without a wake-up, so the waiter
/// checks what it waits for again.
struct Condition {
  alignas(16) unsigned char storage[64];
};

void InitCondition(Condition* condition);
void FreeCondition(Condition* condition);
/// Lets `lock` (held by the caller) go, waits for a wake-up, and holds it again.
void Wait(Condition* condition, Lock* lock);
/// As Wait, for at most `milliseconds`.
void WaitFor(Condition* condition, Lock* lock, long long milliseconds);
/// Wakes one waiting thread.
void Signal(Condition* condition);
/// Wakes every waiting thread.
void Broadcast(Condition* condition);

/// A thread that is joined.
struct Thread {
  alignas(16) unsigned char storage[32];
};

/// Starts `main(argument)` on a new thread with a small stack. False with the system's
/// error in `*error` when it cannot.
bool StartThread(Thread* thread, void (*main)(void*), void* argument, int* error);
/// Waits for the thread to end and frees what it held.
void JoinThread(Thread* thread);

/// Milliseconds of a clock that only moves forward.
long long NowMilliseconds();

/// The calling thread's last error, as tobrin_last_error reports it.
void StoreThreadError(int error);
int ThreadError();

/// A lock of the whole process, ready from the start, for the list of clients.
void AcquireProcessLock();
void ReleaseProcessLock();

/// Has the system run BeforeFork, AfterForkInParent and AfterForkInChild around every fork
/// (Linux); nothing where processes do not fork (Windows). Later calls change nothing.
void WatchForks();

// Defined by the library's portable part, and run by the system around a fork: BeforeFork
// in the forking thread, then one of the others in the parent or the child.
void BeforeFork();
void AfterForkInParent();
void AfterForkInChild();

}  // namespace client
