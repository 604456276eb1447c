// Linux: the client library's locks, conditions and threads are pthreads', its clock is
// CLOCK_MONOTONIC, and forks are watched through pthread_atfork.
#include "client/system.h"

#include <pthread.h>
#include <time.h>

namespace client {

namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(Lock::storage), "a mutex fits a Lock");
static_assert(sizeof(pthread_cond_t) <= sizeof(Condition::storage), "a condition fits");

struct NativeThread {
  pthread_t thread;
  void (*main)(void*);
  void* argument;
};
static_assert(sizeof(NativeThread) <= sizeof(Thread::storage), "a thread fits a Thread");

pthread_mutex_t* Native(Lock* lock) { return reinterpret_cast<pthread_mutex_t*>(lock->storage); }

pthread_cond_t* Native(Condition* condition) {
  return reinterpret_cast<pthread_cond_t*>(condition->storage);
}

NativeThread* Native(Thread* thread) { return reinterpret_cast<NativeThread*>(thread->storage); }

void* RunThread(void* argument) {
  NativeThread* thread = static_cast<NativeThread*>(argument);
  thread->main(thread->argument);
  return nullptr;
}

thread_local int t_error = 0;
pthread_mutex_t g_process_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t g_forks_watched = PTHREAD_ONCE_INIT;

void RegisterForkHooks() { pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild); }

}  // namespace

// In a forked child, a lock may be the copy of one that a thread of the parent held; the
// child makes it anew over the old bytes, as nothing else can free it.
void InitLock(Lock* lock) { pthread_mutex_init(Native(lock), nullptr); }
void FreeLock(Lock* lock) { pthread_mutex_destroy(Native(lock)); }
void Acquire(Lock* lock) { pthread_mutex_lock(Native(lock)); }
void Release(Lock* lock) { pthread_mutex_unlock(Native(lock)); }

// Timed waits measure on the monotonic clock, which a change of the date does not move.
void InitCondition(Condition* condition) {
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(Native(condition), &attributes);
  pthread_condattr_destroy(&attributes);
}

void FreeCondition(Condition* condition) { pthread_cond_destroy(Native(condition)); }

void Wait(Condition* condition, Lock* lock) { pthread_cond_wait(Native(condition), Native(lock)); }

void WaitFor(Condition* condition, Lock* lock, long long milliseconds) {
  timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += static_cast<time_t>(milliseconds / 1000);
  until.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  pthread_cond_timedwait(Native(condition), Native(lock), &until);
}

void Signal(Condition* condition) { pthread_cond_signal(Native(condition)); }
void Broadcast(Condition* condition) { pthread_cond_broadcast(Native(condition)); }

bool StartThread(Thread* thread, void (*main)(void*), void* argument, int* error) {
  NativeThread* native = Native(thread);
  native->main = main;
  native->argument = argument;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, TOBRIN_CLIENT_STACK_BYTES);
  int failed = pthread_create(&native->thread, &attributes, RunThread, native);
  pthread_attr_destroy(&attributes);
  if (failed != 0) *error = failed;
  return failed == 0;
}

void JoinThread(Thread* thread) { pthread_join(Native(thread)->thread, nullptr); }

long long NowMilliseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void StoreThreadError(int error) { t_error = error; }
int ThreadError() { return t_error; }

void AcquireProcessLock() { pthread_mutex_lock(&g_process_lock); }
void ReleaseProcessLock() { pthread_mutex_unlock(&g_process_lock); }

// Registered once, and never from under the process lock: fork holds the system's own
// lock of these hooks while BeforeFork waits for ours.
void WatchForks() { pthread_once(&g_forks_watched, RegisterForkHooks); }

}  // namespace client
