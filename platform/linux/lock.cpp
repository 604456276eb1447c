// Linux: the lock is a default pthread mutex; relies on it fitting Lock's 64-byte storage.
#include "platform/lock.h"

#include <pthread.h>

#include <new>

namespace platform {

static_assert(sizeof(pthread_mutex_t) <= 64, "pthread_mutex_t does not fit Lock's storage");

static pthread_mutex_t* Native(unsigned char* storage) {
  return reinterpret_cast<pthread_mutex_t*>(storage);
}

Lock::Lock() {
  pthread_mutex_t* mutex = new (storage_) pthread_mutex_t;
  pthread_mutex_init(mutex, nullptr);
}

Lock::~Lock() { pthread_mutex_destroy(Native(storage_)); }

void Lock::Acquire() { pthread_mutex_lock(Native(storage_)); }

void Lock::Release() { pthread_mutex_unlock(Native(storage_)); }

}  // namespace platform
