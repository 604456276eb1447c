// A mutual-exclusion lock (a critical section on Windows).
#pragma once

namespace platform {

/// Not recursive. Acquire and Release come in pairs on one thread.
class Lock {
 public:
  Lock();
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void Acquire();
  void Release();

 private:
  // Room for the largest native lock of the two backends; each checks that it fits.
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
