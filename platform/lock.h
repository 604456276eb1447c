// A mutual-exclusion lock (a critical section on Windows) and a condition to wait on under it.
#pragma once

namespace platform {

class Condition;

/// Not recursive. Acquire and Release come in pairs on one thread.
class Lock {
 public:
  Lock();
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  /// Waits until no other thread holds the lock, then holds it.
  void Acquire();
  /// Lets the lock go; the calling thread must hold it.
  void Release();

 private:
  friend class Condition;
  // Room for the largest native lock of the two backends; each checks that it fits.
  alignas(16) unsigned char storage_[64];
};

/// A condition variable for threads that share a Lock. A wait may end without a wake-up,
/// so the waiter checks what it waits for again.
class Condition {
 public:
  Condition();
  ~Condition();
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

  /// Lets `lock` (held by the caller) go, waits for a wake-up, and holds it again.
  void Wait(Lock& lock);
  /// As Wait, for at most `milliseconds`; false when that time ran out.
  bool WaitFor(Lock& lock, int milliseconds);
  /// Wakes every thread waiting on this condition.
  void WakeAll();

 private:
  alignas(16) unsigned char storage_[64];
};

/// Holds `lock` from its construction to the end of its scope.
class LockGuard {
 public:
  explicit LockGuard(Lock& lock) : lock_(lock) { lock_.Acquire(); }
  ~LockGuard() { lock_.Release(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Lock& lock_;
};

}  // namespace platform
