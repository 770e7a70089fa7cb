// The database service's mutex and the scoped lock that takes it.
#pragma once

#include "kel_assert.h"
#include "spin_pause.h"
#include "thread_annotations.h"

#include <atomic>
#include <mutex>

/// A std::mutex that, with the invariants checked, also knows which thread
/// holds it: taking it twice on one thread (a host running work on the
/// calling thread) stops at once instead of hanging, and code that must or
/// must not hold it can say so. Constant-initialised, as std::mutex is.
/// A capability of its own to the thread-safety analysis; its members work
/// on the std::mutex inside, which the analysis is told not to follow.
class KEL_CAPABILITY("mutex") checked_mutex {
 public:
  constexpr checked_mutex() = default;
  checked_mutex(const checked_mutex&) = delete;
  checked_mutex& operator=(const checked_mutex&) = delete;

  void lock() KEL_ACQUIRE() KEL_NO_THREAD_SAFETY_ANALYSIS {
    KEL_ASSERT(!held_here());
    mutex_.lock();
    mark(this_thread());
  }
  bool try_lock() KEL_TRY_ACQUIRE(true) KEL_NO_THREAD_SAFETY_ANALYSIS {
    KEL_ASSERT(!held_here());
    if (!mutex_.try_lock()) return false;
    mark(this_thread());
    return true;
  }
  void unlock() KEL_RELEASE() KEL_NO_THREAD_SAFETY_ANALYSIS {
    KEL_ASSERT(held_here());
    mark(nullptr);
    mutex_.unlock();
  }
  /// True when this thread holds the mutex; always false with the
  /// invariants unchecked (nothing is recorded then).
  bool held_here() const {
#if KEL_ASSERTS_ON
    return holder_.load(std::memory_order_relaxed) == this_thread();
#else
    return false;
#endif
  }

 private:
#if KEL_ASSERTS_ON
  static const void* this_thread() {
    static thread_local const char tag = 0;
    return &tag;
  }
  void mark(const void* holder) { holder_.store(holder, std::memory_order_relaxed); }
  std::atomic<const void*> holder_{nullptr};
#else
  static const void* this_thread() { return nullptr; }
  static void mark(const void*) {}
#endif
  std::mutex mutex_;
};

/// Asks checked_lock to try for a moment before it sleeps.
struct spin_first_t {
  explicit spin_first_t() = default;
};
inline constexpr spin_first_t spin_first{};

/// Holds a checked_mutex for its scope, or up to an earlier unlock(): a
/// std::unique_lock the analysis can follow (libc++'s is not annotated).
class KEL_SCOPED_CAPABILITY checked_lock {
 public:
  explicit checked_lock(checked_mutex& mutex) KEL_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  /// For locks held for well under a microsecond (queueing a job): a thread
  /// that finds the mutex taken tries again for a moment before it sleeps,
  /// as glibc's adaptive mutexes do. Sleeping at once costs a futex wait here
  /// and a futex wake in the holder for nearly every job when several
  /// threads queue jobs at the same time.
  checked_lock(checked_mutex& mutex, spin_first_t) KEL_ACQUIRE(mutex) : mutex_(mutex) {
    if (mutex_.try_lock()) return;
    for (int attempt = 0; attempt < 200; ++attempt) {
      kel_spin::pause();
      if (mutex_.try_lock()) return;
    }
    mutex_.lock();
  }
  ~checked_lock() KEL_RELEASE() {
    if (owned_) mutex_.unlock();
  }
  checked_lock(const checked_lock&) = delete;
  checked_lock& operator=(const checked_lock&) = delete;

  void unlock() KEL_RELEASE() KEL_NO_THREAD_SAFETY_ANALYSIS {
    KEL_ASSERT(owned_);
    owned_ = false;
    mutex_.unlock();
  }

 private:
  checked_mutex& mutex_;
  bool owned_ = true;
};
