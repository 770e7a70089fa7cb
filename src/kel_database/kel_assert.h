// Internal invariants, checked the way SQLite checks its own: in debug and
// sanitizer builds a broken one stops the process at once, naming the
// condition; in a release build the check compiles to nothing. They state
// what the code relies on (which thread holds which lock, that a statement
// never outlives its connection), never what a caller may get wrong: misuse
// is reported through the state checks and answered, never aborted.
//
// On when NDEBUG is not defined, when the build defines KEL_ENABLE_ASSERTS
// (KEL_SANITIZE does), or when the compiler says it instruments the code for
// AddressSanitizer or ThreadSanitizer, however the build asked for that
// (-fsanitize in CMAKE_CXX_FLAGS, say), whatever the build type.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KEL_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KEL_SANITIZED_BUILD 1
#endif
#endif

#if !defined(NDEBUG) || defined(KEL_ENABLE_ASSERTS) || defined(KEL_SANITIZED_BUILD)
#define KEL_ASSERTS_ON 1
#define KEL_ASSERT(condition) \
  ((condition) ? static_cast<void>(0) : ::kel_assert_detail::failed(#condition, __FILE__, __LINE__))
#else
#define KEL_ASSERTS_ON 0
#define KEL_ASSERT(condition) static_cast<void>(0)
#endif

namespace kel_assert_detail {
/// Writes the broken condition to standard error and aborts.
[[noreturn]] void failed(const char* condition, const char* file, int line);
}  // namespace kel_assert_detail
