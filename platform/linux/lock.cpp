// Linux: the lock is a default pthread mutex and the condition a pthread condition on the
// monotonic clock; relies on both fitting their 64-byte storage.
#include "platform/lock.h"

#include <pthread.h>
#include <time.h>

#include <new>

namespace platform {

static_assert(sizeof(pthread_mutex_t) <= 64, "pthread_mutex_t does not fit Lock's storage");
static_assert(sizeof(pthread_cond_t) <= 64, "pthread_cond_t does not fit Condition's storage");

static pthread_mutex_t* Native(unsigned char* storage) {
  return reinterpret_cast<pthread_mutex_t*>(storage);
}

static pthread_cond_t* NativeCondition(unsigned char* storage) {
  return reinterpret_cast<pthread_cond_t*>(storage);
}

Lock::Lock() {
  pthread_mutex_t* mutex = new (storage_) pthread_mutex_t;
  pthread_mutex_init(mutex, nullptr);
}

Lock::~Lock() { pthread_mutex_destroy(Native(storage_)); }

void Lock::Acquire() { pthread_mutex_lock(Native(storage_)); }

void Lock::Release() { pthread_mutex_unlock(Native(storage_)); }

// The monotonic clock, so that setting the system's clock neither ends a wait early nor
// makes it last.
Condition::Condition() {
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_t* condition = new (storage_) pthread_cond_t;
  pthread_cond_init(condition, &attributes);
  pthread_condattr_destroy(&attributes);
}

Condition::~Condition() { pthread_cond_destroy(NativeCondition(storage_)); }

void Condition::Wait(Lock& lock) {
  pthread_cond_wait(NativeCondition(storage_), Native(lock.storage_));
}

bool Condition::WaitFor(Lock& lock, int milliseconds) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += (milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return pthread_cond_timedwait(NativeCondition(storage_), Native(lock.storage_), &deadline) == 0;
}

void Condition::WakeAll() { pthread_cond_broadcast(NativeCondition(storage_)); }

}  // namespace platform
