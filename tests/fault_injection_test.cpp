// Failures that SQLite reports from below. An allocator that fails a chosen
// allocation runs under open / create / insert (text, blob, real) in a
// transaction / read back with rows_each / close, once per allocation made:
// every failure must reach the caller as a result code (a column read: as the
// last error code), a run reporting nothing must hold exactly the rows
// inserted, and none may leave SQLite memory behind. Then a write lock held by
// one connection must reach another at once as SQLITE_BUSY.
#include "test_support.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

using namespace kel_test;

namespace {

using handle = boost::shared_ptr<_kel_sqlite>;

// ---- The failing allocator --------------------------------------------------

struct failing_allocator {
  sqlite3_mem_methods real{};
  // Since the last arm(): allocations asked for and failed; fail_at is
  // 1-based (0 fails nothing); live counts blocks handed out and not freed.
  std::atomic<long> attempts{0}, fail_at{0}, failed{0}, live{0};
  std::atomic<bool> from_then_on{false};

  void arm(long k, bool persistent) {
    attempts = 0;
    failed = 0;
    from_then_on = persistent;
    fail_at = k;
  }
  bool fails_now() {
    const long attempt = ++attempts;
    const long k = fail_at.load();
    if (k == 0 || attempt < k || (attempt > k && !from_then_on)) return false;
    ++failed;
    return true;
  }
} allocator;

void* failing_malloc(int size) {
  if (allocator.fails_now()) return nullptr;
  void* block = allocator.real.xMalloc(size);
  if (block != nullptr) ++allocator.live;
  return block;
}

void failing_free(void* block) {
  if (block != nullptr) --allocator.live;
  allocator.real.xFree(block);
}

// SQLite never reallocates a null block, so the count of live blocks stays.
void* failing_realloc(void* block, int size) {
  return allocator.fails_now() ? nullptr : allocator.real.xRealloc(block, size);
}

// Each case runs in a process of its own; SQLite is shut down first in case
// anything initialised it already.
void install_failing_allocator() {
  ASSERT_EQ(sqlite3_shutdown(), SQLITE_OK);
  // Only once: a second read would return our own methods.
  if (allocator.real.xMalloc == nullptr) {
    ASSERT_EQ(sqlite3_config(SQLITE_CONFIG_GETMALLOC, &allocator.real), SQLITE_OK);
  }
  sqlite3_mem_methods methods = allocator.real;  // size, roundup, init, shutdown stay SQLite's
  methods.xMalloc = failing_malloc;
  methods.xFree = failing_free;
  methods.xRealloc = failing_realloc;
  ASSERT_EQ(sqlite3_config(SQLITE_CONFIG_MALLOC, &methods), SQLITE_OK);
  // Without the lookaside buffer every small allocation goes through us, and so can fail.
  ASSERT_EQ(sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0), SQLITE_OK);
  ASSERT_EQ(sqlite3_initialize(), SQLITE_OK);
}

// ---- The scenario -----------------------------------------------------------

struct item {
  std::string label;
  std::vector<unsigned char> payload;
  double weight;
  std::string weight_text;  // as SQLite writes the real
};

const std::vector<item> kItems = {
    {"first", {0x00, 0x01, 0x02}, 1.5, "1.5"},
    {"second, a little longer than the first", std::vector<unsigned char>(300, 0xab), 2.25, "2.25"},
    {"third", {}, 1e10, "10000000000.0"},
    {std::string(500, 'x'), std::vector<unsigned char>(2000, 0x5a), -0.5, "-0.5"},
};

bool is_no_memory(int code) { return code == SQLITE_NOMEM || code == SQLITE_IOERR_NOMEM; }

// A column's bytes through kel_sqlite_column_blob; `ok` is its result.
std::vector<unsigned char> blob_of(const handle& row, int column, bool& ok) {
  unsigned char* data = nullptr;
  int size = -1;
  ok = kel_sqlite_column_blob(row, column, data, size);
  if (!ok) {  // a failure hands out no buffer and no length
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0);
  }
  std::vector<unsigned char> bytes;
  if (ok && size > 0) bytes.assign(data, data + size);
  std::free(data);
  return bytes;
}

struct outcome {
  bool completed = false;   // every call succeeded
  std::string failed_call;  // the first call that reported a failure
  int code = SQLITE_OK;     // its result code
  size_t rows = 0;          // rows read back with every value right
};

// Runs the work on `path` up to the first call that reports a failure, then
// closes and destroys the object and waits for its release.
outcome run_scenario(const std::string& path, bool utf16) {
  outcome result;
  handle db = kel_sqlite_new(path, "fault");
  auto check = [&](const char* call, int rc, int wanted = SQLITE_OK) {
    if (rc == wanted) return true;
    result.failed_call = call;
    result.code = rc;
    return false;
  };
  auto sql = [&](const char* call, const char* text) {
    char* message = nullptr;
    const int rc = kel_sqlite_sql_stmt(db, text, &message);
    kel_sqlite_free(db, message);
    return check(call, rc);
  };
  auto work = [&]() -> bool {
    if (!check("open", kel_sqlite_open(db)) || (utf16 && !sql("create", "PRAGMA encoding = 'UTF-16le'")) ||
        !sql("create", "CREATE TABLE items(id INTEGER PRIMARY KEY, label TEXT NOT NULL, payload BLOB, weight REAL)") ||
        !sql("begin", "BEGIN") ||
        !check("prepare insert",
               kel_sqlite_prepare(db, "INSERT INTO items(label, payload, weight) VALUES(?1, ?2, ?3)")))
      return false;
    for (const auto& entry : kItems) {
      // Text up to its NUL; the empty blob as a null pointer, which binds NULL.
      const unsigned char* bytes = entry.payload.empty() ? nullptr : entry.payload.data();
      if (!check("bind text", kel_sqlite_bind_text(db, 1, entry.label.c_str(), ULONG_MAX)) ||
          !check("bind blob", kel_sqlite_bind_blob(db, 2, bytes, entry.payload.size())) ||
          !check("bind double", kel_sqlite_bind_double(db, 3, entry.weight)) ||
          !check("step insert", kel_sqlite_step(db), SQLITE_DONE) || !check("reset insert", kel_sqlite_reset(db)))
        return false;
    }
    kel_sqlite_finalize(db);
    if (!sql("commit", "COMMIT") ||
        !check("prepare query",
               kel_sqlite_prepare(
                   db, "SELECT id, label, payload, weight, zeroblob(id) FROM items WHERE weight > ?1 ORDER BY id")) ||
        !check("bind query", kel_sqlite_bind_double(db, 1, -1e300)))
      return false;
    unsigned long count = 0;
    const int rc = kel_sqlite_rows_each(db, count, [&](handle row, unsigned long index) {
      // The numbers read as bytes make SQLite convert them to text, and the
      // zero-filled blob (not a constant, which SQLite would expand once) is
      // only expanded when its bytes are asked for: all of them allocate.
      // In a UTF-16 database the label's bytes are its UTF-8 conversion, which allocates too.
      bool id_ok = false, label_ok = false, payload_ok = false, weight_ok = false, zeros_ok = false;  // copies made
      const std::vector<unsigned char> id = blob_of(row, 0, id_ok), label = blob_of(row, 1, label_ok),
                                       payload = blob_of(row, 2, payload_ok), weight = blob_of(row, 3, weight_ok),
                                       zeros = blob_of(row, 4, zeros_ok);
      if (index >= kItems.size()) return check("rows_each, a row too many", SQLITE_ERROR);
      const item& want = kItems[index];
      const auto text = [](const std::vector<unsigned char>& bytes) { return std::string(bytes.begin(), bytes.end()); };
      // A blob copy that reports success holds the stored bytes, memory or not.
      if ((id_ok && text(id) != std::to_string(index + 1)) || (label_ok && text(label) != want.label) ||
          (payload_ok && payload != want.payload) || (weight_ok && text(weight) != want.weight_text) ||
          (zeros_ok && zeros != std::vector<unsigned char>(index + 1, 0)))
        return check("column_blob succeeded with wrong bytes", SQLITE_ERROR);
      if (id_ok && label_ok && payload_ok && weight_ok && zeros_ok &&
          kel_sqlite_column_int64(row, 0) == static_cast<long long>(index) + 1 &&
          kel_sqlite_column_text(row, 1) == want.label && kel_sqlite_column_double(row, 3) == want.weight) {
        ++result.rows;
        return true;
      }
      // A value that came out wrong must have been reported on the connection.
      const int last = kel_sqlite_last_error_code(row);
      check(is_no_memory(last) ? "column read" : "column read, wrong with nothing reported", last);
      return false;
    });
    return result.failed_call.empty() && check("rows_each", rc, SQLITE_DONE) &&
           check("rows_each count", static_cast<int>(count), static_cast<int>(kItems.size()));
  };
  result.completed = work();
  kel_sqlite_finalize(db);
  if (kel_sqlite_is_opened(db)) kel_sqlite_close(db);
  kel_sqlite_destroy(db, __FILE__, __LINE__);
  drain_service();  // never returns if the release job never runs
  return result;
}

class FaultInjection : public testing::Test {
 protected:
  // The closes of objects whose open failed report their check; not shown.
  silent_assertions quiet_checks_;

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(install_failing_allocator());
    kel_database_init();
  }
  void TearDown() override {
    kel_system_shutdown();
    // Everything SQLite allocated through us comes back at its shutdown.
    EXPECT_EQ(sqlite3_shutdown(), SQLITE_OK);
    EXPECT_EQ(allocator.live.load(), 0) << "SQLite blocks never freed";
  }

  // Runs the scenario failing the k-th allocation (and, when `persistent`,
  // every later one) for k = 1, 2, ... until a run makes fewer than k
  // allocations; returns the number of runs that had a failure injected.
  long every_allocation(bool persistent, bool utf16 = false) {
    temp_dir dir;
    stdout_capture quiet;  // one count line per release
    allocator.fail_at = 0;
    const long baseline = allocator.live.load();

    std::map<std::string, int> failures_by_call;
    long k = 0;  // 0 first, failing nothing: the work itself is right
    for (; k <= 20000; ++k) {
      allocator.arm(k, persistent);
      const outcome run = run_scenario(dir.path("k.db"), utf16);
      const long injected = allocator.failed.load();
      allocator.fail_at = 0;
      for (const auto& file : std::filesystem::directory_iterator(dir.root())) std::filesystem::remove(file.path());

      SCOPED_TRACE("k = " + std::to_string(k) +
                   (persistent ? ": allocations from the k-th on fail" : ": the k-th fails"));
      if (run.completed) {
        // SQLite recovered (or nothing failed): every row must be there exactly.
        EXPECT_EQ(run.rows, kItems.size());
      } else {
        EXPECT_TRUE(is_no_memory(run.code)) << run.failed_call << " returned " << run.code;
        EXPECT_GT(injected, 0) << run.failed_call << " failed with nothing injected";
        ++failures_by_call[run.failed_call];
      }
      EXPECT_EQ(allocator.live.load(), baseline) << "SQLite memory left after close and release";
      // One broken k tells enough; a run with nothing left to fail ends the sweep.
      if (testing::Test::HasFailure() || (k > 0 && injected == 0)) break;
    }
    // GoogleTest reports failures on standard output too: show them.
    const std::string captured = quiet.finish();
    if (testing::Test::HasFailure()) std::fputs(captured.c_str(), stdout);
    EXPECT_LE(k, 20000) << "the scenario never ran out of allocations to fail";
    // The failures reached callers across the whole scenario, not in one spot.
    for (const char* call : {"open", "create", "prepare insert", "step insert", "commit", "prepare query"})
      EXPECT_GT(failures_by_call[call], 0) << "no failure ever surfaced from " << call;
    return k - 1;
  }
};

TEST_F(FaultInjection, EachAllocationFailingOnceIsReportedAndLeaksNothing) { EXPECT_GT(every_allocation(false), 100); }

TEST_F(FaultInjection, InAUtf16DatabaseEachAllocationFailingOnceIsReportedAndLeaksNothing) {
  EXPECT_GT(every_allocation(false, true), 100);
}

TEST_F(FaultInjection, AllocationsFailingFromOneOnAreReportedAndLeakNothing) { EXPECT_GT(every_allocation(true), 100); }

// ---- A write lock held by another connection ------------------------------

// The row count of t, or the failed read's error code negated.
long long count_rows(const handle& db) {
  EXPECT_EQ(kel_sqlite_prepare(db, "SELECT count(*) FROM t"), SQLITE_OK);
  long long n = -1;
  const int rc = kel_sqlite_rows_each(db, [&n](handle row, unsigned long) {
    n = kel_sqlite_column_int64(row, 0);
    return true;
  });
  kel_sqlite_finalize(db);
  return rc == SQLITE_DONE ? n : -rc;
}

// How SQLite's locks behave per journal mode is SQLite's affair; what the
// library adds is that it waits for none: with a write lock held exclusively
// on the file, every call of another connection reports SQLITE_BUSY at once.
TEST(Busy, TheOtherConnectionGetsSqliteBusyAtOnceAndSucceedsAfterTheLockGoes) {
  temp_dir dir;
  kel_database_init();
  handle holder = kel_sqlite_new(dir.path("shared.db"), "holder");
  handle other = kel_sqlite_new(dir.path("shared.db"), "other");
  const auto started = std::chrono::steady_clock::now();
  [&] {
    ASSERT_EQ(kel_sqlite_open(holder), SQLITE_OK);
    ASSERT_EQ(kel_sqlite_sql_stmt(holder, "CREATE TABLE t(x); INSERT INTO t VALUES(1)", nullptr), SQLITE_OK);
    ASSERT_EQ(kel_sqlite_open(other), SQLITE_OK);
    EXPECT_EQ(count_rows(other), 1);  // reads the schema now: preparing later needs no lock
    ASSERT_EQ(kel_sqlite_sql_stmt(holder, "BEGIN EXCLUSIVE; INSERT INTO t VALUES(2)", nullptr), SQLITE_OK);

    // Direct SQL gives the code and its message; a prepared write, the step
    // and then the reset; a read, rows_each.
    char* message = nullptr;
    EXPECT_EQ(kel_sqlite_sql_stmt(other, "INSERT INTO t VALUES(3)", &message), SQLITE_BUSY);
    EXPECT_STREQ(message, "database is locked");
    kel_sqlite_free(other, message);
    ASSERT_EQ(kel_sqlite_prepare(other, "INSERT INTO t VALUES(4)"), SQLITE_OK);
    EXPECT_EQ(kel_sqlite_step(other), SQLITE_BUSY);
    EXPECT_EQ(kel_sqlite_reset(other), SQLITE_BUSY);
    kel_sqlite_finalize(other);
    EXPECT_EQ(count_rows(other), -SQLITE_BUSY);

    ASSERT_EQ(kel_sqlite_sql_stmt(holder, "COMMIT", nullptr), SQLITE_OK);
    EXPECT_EQ(kel_sqlite_sql_stmt(other, "INSERT INTO t VALUES(3)", nullptr), SQLITE_OK);
    EXPECT_EQ(count_rows(other), 3);
  }();
  // No call waited for the lock (a hang is ended by the test's own timeout).
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  for (const handle& db : {holder, other}) {
    kel_sqlite_finalize(db);
    kel_sqlite_destroy(db, __FILE__, __LINE__);
  }
  kel_system_shutdown();
}

}  // namespace
