// The exceptions the public header lets pass through to a caller, caught by
// type in a program of their own: linked against the shared library, with
// none of its sources. The library exports only the header's functions, so
// whatever it throws must still be recognised by a caller's catch: the type
// information of a thrown exception is either the C++ library's own or, for
// std::bad_function_call under libc++, the one name the library shares on
// purpose (cmake/exports.cmake). A catch that fails to match here would end a
// caller's program with std::terminate.
#include <kel_database/kel_database.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "test_support.h"

// ---- Allocations that fail on demand ---------------------------------------
// The program replaces the global allocation functions, and the library's
// allocations reach this definition too (through the dynamic linker), so a
// test can make the k-th allocation of one call fail. Only the thread that
// armed the countdown is affected. Not where clang's sanitizers instrument
// the program: their runtimes, linked in statically, define the allocation
// functions themselves, and a second definition fails the link.
#if defined(__clang__) && defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KEL_TEST_SANITIZER_OWNS_NEW 1
#endif
#endif

#ifndef KEL_TEST_SANITIZER_OWNS_NEW
namespace {
thread_local long allocations_before_failure = -1;  // -1: none fails

void* allocate(std::size_t size) {
  if (allocations_before_failure == 0) {
    allocations_before_failure = -1;
    throw std::bad_alloc();
  }
  if (allocations_before_failure > 0) --allocations_before_failure;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
#endif

namespace {

using namespace kel_test;
using handle = boost::shared_ptr<_kel_sqlite>;

// An exception type of the caller's own, thrown from a row callback.
struct row_refused {
  unsigned long index;
  int value;
};
// One derived from a standard exception, caught by its base.
struct row_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class CallerExceptions : public testing::Test {
 protected:
  void SetUp() override {
    db = kel_sqlite_new(":memory:", "caller-exceptions");
    ASSERT_EQ(kel_sqlite_open(db), SQLITE_OK);
    ASSERT_EQ(kel_sqlite_sql_stmt(db, "CREATE TABLE t(a INTEGER); INSERT INTO t VALUES(10),(20),(30);", nullptr),
              SQLITE_OK);
    ASSERT_EQ(kel_sqlite_prepare(db, "SELECT a FROM t ORDER BY a"), SQLITE_OK);
  }

  // Walks the rows with `callback`, through the overload with a count or the
  // one without, so that each case runs through both.
  int walk(bool counted, const kel_sqlite_row_callback& callback) {
    if (counted) return kel_sqlite_rows_each(db, count, callback);
    return kel_sqlite_rows_each(db, callback);
  }

  // The statement stays on the row at which the callback threw; the object
  // goes on working from there.
  void expect_on_row(int value) {
    EXPECT_EQ(kel_sqlite_column_int(db, 0), value);
    ASSERT_EQ(kel_sqlite_reset(db), SQLITE_OK);
    ASSERT_EQ(kel_sqlite_step(db), SQLITE_ROW);
    EXPECT_EQ(kel_sqlite_column_int(db, 0), 10);
    ASSERT_EQ(kel_sqlite_reset(db), SQLITE_OK);
  }

  silent_assertions quiet;
  handle db;
  unsigned long count = 77;
};

TEST_F(CallerExceptions, AnEmptyCallbackThrowsBadFunctionCallAtTheFirstRow) {
  for (bool counted : {false, true}) {
    SCOPED_TRACE(counted ? "with a count" : "without a count");
    const kel_sqlite_row_callback empty;
    bool caught = false;
    try {
      walk(counted, empty);
    } catch (const std::bad_function_call&) {
      caught = true;
    }
    EXPECT_TRUE(caught);
    if (counted) {
      EXPECT_EQ(count, 1UL);
    }
    expect_on_row(10);
  }
}

TEST_F(CallerExceptions, TheCallbacksOwnExceptionsReachTheCallerByTheirType) {
  for (bool counted : {false, true}) {
    SCOPED_TRACE(counted ? "with a count" : "without a count");
    // A class of the program's own, with its values.
    try {
      walk(counted, [](handle row, unsigned long index) -> bool {
        if (index == 1) throw row_refused{index, kel_sqlite_column_int(row, 0)};
        return true;
      });
      ADD_FAILURE() << "nothing thrown";
    } catch (const row_refused& refused) {
      EXPECT_EQ(refused.index, 1UL);
      EXPECT_EQ(refused.value, 20);
    }
    if (counted) {
      EXPECT_EQ(count, 2UL);
    }
    expect_on_row(20);

    // A class derived from a standard exception, caught as its base.
    try {
      walk(counted, [](handle, unsigned long index) -> bool {
        if (index == 2) throw row_error("third row");
        return true;
      });
      ADD_FAILURE() << "nothing thrown";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "third row");
      EXPECT_NE(dynamic_cast<const row_error*>(&error), nullptr);
    }
    if (counted) {
      EXPECT_EQ(count, 3UL);
    }
    expect_on_row(30);

    // Not a class at all.
    try {
      walk(counted, [](handle, unsigned long) -> bool { throw 42; });
      ADD_FAILURE() << "nothing thrown";
    } catch (int thrown) {
      EXPECT_EQ(thrown, 42);
    }
    if (counted) {
      EXPECT_EQ(count, 1UL);
    }
    expect_on_row(10);
  }
}

// kel_sqlite_new with each of its allocations failing in turn: every failure
// reaches the caller as std::bad_alloc, until the call makes no more.
TEST(CallerAllocationFailures, EveryFailedAllocationOfANewObjectIsABadAlloc) {
#ifdef KEL_TEST_SANITIZER_OWNS_NEW
  GTEST_SKIP() << "clang's sanitizer runtime defines the allocation functions: none can be made to fail here";
#else
  silent_assertions quiet;
  long failed = 0;
  long other = 0;
  handle made;
  for (long k = 0; !made && k < 1000; ++k) {
    std::string path = ":memory:";
    std::string name = "allocations";
    allocations_before_failure = k;
    try {
      made = kel_sqlite_new(std::move(path), std::move(name));
    } catch (const std::bad_alloc&) {
      ++failed;
    } catch (...) {
      ++other;
    }
    allocations_before_failure = -1;
  }
  ASSERT_TRUE(made) << "kel_sqlite_new failed 1000 times";
  EXPECT_EQ(other, 0) << "failed allocations that reached the caller as another exception";
  EXPECT_GT(failed, 0) << "kel_sqlite_new made no allocation that could fail";
  // What was made after the failures is a working object.
  EXPECT_EQ(kel_sqlite_open(made), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_get_name(made), "allocations");
  EXPECT_TRUE(kel_sqlite_destroy(made, __FILE__, __LINE__));
#endif
}

}  // namespace
