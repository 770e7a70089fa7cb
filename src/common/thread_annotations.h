// Which mutex guards what, said so that clang can check it: the thread-safety
// attributes (-Wthread-safety), through macros that are empty for every other
// compiler. Shared by the library and the bundled runtime; internal to both.
//
// The build option KEL_THREAD_SAFETY_ANALYSIS turns the check on (and its
// findings into errors). It needs libc++ with
// _LIBCPP_ENABLE_THREAD_SAFETY_ANNOTATIONS, which makes std::mutex a
// capability and std::lock_guard a scoped capability; std::unique_lock is not
// annotated there, so code that unlocks early uses a scoped lock of its own.
// Constructors and destructors are not checked: they own the object alone.
#pragma once

#if defined(__clang__)
#define KEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KEL_THREAD_ANNOTATION(x)
#endif

/// A type that is a lock (a "mutex" to the messages).
#define KEL_CAPABILITY(name) KEL_THREAD_ANNOTATION(capability(name))
/// A type whose constructor takes a lock and whose destructor gives it back.
#define KEL_SCOPED_CAPABILITY KEL_THREAD_ANNOTATION(scoped_lockable)
/// A member read or written only with the lock held.
#define KEL_GUARDED_BY(lock) KEL_THREAD_ANNOTATION(guarded_by(lock))
/// A pointer member whose target is used only with the lock held.
#define KEL_PT_GUARDED_BY(lock) KEL_THREAD_ANNOTATION(pt_guarded_by(lock))
/// A function its callers call with the lock(s) held.
#define KEL_REQUIRES(...) KEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
/// A function its callers must not call with the lock(s) held (it takes them).
#define KEL_EXCLUDES(...) KEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
/// A function that takes the lock(s) and returns with them held.
#define KEL_ACQUIRE(...) KEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
/// A function that gives back the lock(s) its caller held.
#define KEL_RELEASE(...) KEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
/// A function that takes the lock(s) when it returns `result`.
#define KEL_TRY_ACQUIRE(...) KEL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
/// A function whose body the analysis skips: a lock's own implementation,
/// which works on the lock it wraps rather than on itself.
#define KEL_NO_THREAD_SAFETY_ANALYSIS KEL_THREAD_ANNOTATION(no_thread_safety_analysis)
