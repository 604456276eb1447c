// Linux: detached pthreads; relies on pthread_attr_setstacksize for small stacks.
#include "platform/thread.h"

#include <limits.h>
#include <pthread.h>

#include <new>

#include "platform/linux/native.h"

namespace platform {

namespace {

struct Start {
  ThreadMain main;
  void* argument;
};

void* Trampoline(void* raw) {
  Start start = *static_cast<Start*>(raw);
  delete static_cast<Start*>(raw);
  start.main(start.argument);
  return nullptr;
}

}  // namespace

bool StartDetachedThread(ThreadMain main, void* argument, size_t stack_bytes,
                         std::error_code* error) {
  Start* start = new (std::nothrow) Start{main, argument};
  if (!start) return SetError(error, std::make_error_code(std::errc::not_enough_memory)), false;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stack_bytes < static_cast<size_t>(PTHREAD_STACK_MIN)) stack_bytes = PTHREAD_STACK_MIN;
  pthread_attr_setstacksize(&attr, stack_bytes);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, Trampoline, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    SetError(error, std::error_code(rc, std::generic_category()));
    delete start;
    return false;
  }
  return true;
}

}  // namespace platform
