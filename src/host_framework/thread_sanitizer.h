// Whether this translation unit is built with ThreadSanitizer. GCC says so
// with __SANITIZE_THREAD__, clang only through __has_feature: a test of the
// first alone misses every clang build, the framework's compiler among them.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define KEL_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KEL_THREAD_SANITIZER 1
#endif
#endif
