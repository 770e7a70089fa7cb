// Failures that SQLite reports from below: allocations that fail, and a write
// lock held by another connection.
//
// Allocation failures: SQLite's allocator is replaced by one that fails a
// chosen allocation, and a realistic piece of work (open, create a table,
// insert rows with bound text, blob and real values in a transaction, read
// them back with rows_each, close) is run once for every allocation it makes,
// failing that one. Whatever fails must reach the caller as an SQLite result
// code (or, for a column read, as the connection's last error code): the work
// either completes with exactly the rows inserted, or some call reported the
// failure. And no run may leave SQLite memory behind once the object is closed
// and released.
#include "test_support.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace kel_test;

namespace {

using handle = boost::shared_ptr<_kel_sqlite>;

// ---- The failing allocator --------------------------------------------------

struct failing_allocator {
  sqlite3_mem_methods real{};
  std::atomic<long> attempts{0};  // allocations asked for since the last arm()
  std::atomic<long> fail_at{0};   // 1-based; 0 fails nothing
  std::atomic<bool> from_then_on{false};
  std::atomic<long> failed{0};
  std::atomic<long> live{0};  // blocks handed out and not yet freed

  void arm(long k, bool persistent) {
    attempts = 0;
    failed = 0;
    from_then_on = persistent;
    fail_at = k;
  }
  void disarm() { fail_at = 0; }

  bool fails_now() {
    const long attempt = ++attempts;
    const long k = fail_at.load();
    if (k == 0 || attempt < k || (attempt > k && !from_then_on)) return false;
    ++failed;
    return true;
  }
};

failing_allocator allocator;

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

void* failing_realloc(void* block, int size) {
  // SQLite never reallocates a null block: the count of live blocks stays.
  if (allocator.fails_now()) return nullptr;
  return allocator.real.xRealloc(block, size);
}

int real_size(void* block) { return allocator.real.xSize(block); }
int real_roundup(int size) { return allocator.real.xRoundup(size); }
int real_init(void* data) { return allocator.real.xInit(data); }
void real_shutdown(void* data) { allocator.real.xShutdown(data); }

// Each test case runs in a process of its own, so SQLite is configured at its
// start; it is shut down first in case anything initialised it already.
void install_failing_allocator() {
  ASSERT_EQ(sqlite3_shutdown(), SQLITE_OK);
  // Once: a second case in the same process would get our own methods back.
  if (allocator.real.xMalloc == nullptr) {
    ASSERT_EQ(sqlite3_config(SQLITE_CONFIG_GETMALLOC, &allocator.real), SQLITE_OK);
  }
  sqlite3_mem_methods methods = allocator.real;
  methods.xMalloc = failing_malloc;
  methods.xFree = failing_free;
  methods.xRealloc = failing_realloc;
  methods.xSize = real_size;
  methods.xRoundup = real_roundup;
  methods.xInit = real_init;
  methods.xShutdown = real_shutdown;
  ASSERT_EQ(sqlite3_config(SQLITE_CONFIG_MALLOC, &methods), SQLITE_OK);
  // Without the per-connection lookaside buffer every small allocation goes
  // through the allocator, and so can fail.
  ASSERT_EQ(sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0), SQLITE_OK);
  ASSERT_EQ(sqlite3_initialize(), SQLITE_OK);
}

// A directory on tmpfs when there is one: the scenario runs hundreds of
// times, and its commits then cost no disk flush (the code paths are those of
// any file).
class scratch_dir {
 public:
  scratch_dir() {
    std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/kel_fault_XXXXXX" : (dir_.root() + "/XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
  }
  ~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  std::string path(const std::string& file) const { return root_ + "/" + file; }
  void remove_files() const {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(root_, ignored))
      std::filesystem::remove(entry.path(), ignored);
  }

 private:
  temp_dir dir_;
  std::string root_;
};

// ---- The scenario -----------------------------------------------------------

struct item {
  std::string label;
  std::vector<unsigned char> payload;
  double weight;
  std::string weight_text;  // as SQLite writes the real
};

const std::vector<item>& items() {
  static const std::vector<item> all = {
      {"first", {0x00, 0x01, 0x02}, 1.5, "1.5"},
      {"second, a little longer than the first", std::vector<unsigned char>(300, 0xab), 2.25, "2.25"},
      {"third", {}, 1e10, "10000000000.0"},
      {std::string(500, 'x'), std::vector<unsigned char>(2000, 0x5a), -0.5, "-0.5"},
  };
  return all;
}

bool is_no_memory(int code) { return code == SQLITE_NOMEM || code == SQLITE_IOERR_NOMEM; }

struct outcome {
  bool completed = false;         // every call succeeded
  std::string failed_call;        // the first call that reported a failure
  int code = SQLITE_OK;           // its result code
  std::vector<std::string> rows;  // the rows read back, as text
  std::string silent;             // a wrong value that nothing reported
};

// One row as text: the id read as an integer and as bytes, the label, the
// payload, the weight read as a real and as text.
std::string describe(long long id, const std::string& id_bytes, const std::string& label,
                     const std::vector<unsigned char>& payload, double weight, const std::string& weight_text) {
  std::ostringstream text;
  text << id << "|" << id_bytes << "|" << label << "|" << payload.size() << ":";
  for (unsigned char byte : payload) text << static_cast<int>(byte) << ",";
  text << "|" << weight << "|" << weight_text;
  return text.str();
}

std::vector<std::string> expected_rows() {
  std::vector<std::string> rows;
  long long id = 1;
  for (const auto& entry : items()) {
    rows.push_back(describe(id, std::to_string(id), entry.label, entry.payload, entry.weight, entry.weight_text));
    ++id;
  }
  return rows;
}

// A column's bytes through kel_sqlite_column_blob; `ok` is its result.
std::vector<unsigned char> blob_of(const handle& row, int column, bool& ok) {
  unsigned char* data = nullptr;
  int size = -1;
  ok = kel_sqlite_column_blob(row, column, data, size);
  std::vector<unsigned char> bytes;
  if (ok && size > 0) bytes.assign(data, data + size);
  std::free(data);
  return bytes;
}

// Runs the work on `path`, stopping at the first call that reports a failure,
// then closes and destroys the object and waits for its release.
outcome run_scenario(const std::string& path) {
  outcome result;
  handle db = kel_sqlite_new(path, "fault");
  auto failed = [&](const char* call, int code) {
    result.failed_call = call;
    result.code = code;
    return false;
  };
  auto sql = [&](const char* call, const char* text) {
    char* message = nullptr;
    const int rc = kel_sqlite_sql_stmt(db, text, &message);
    kel_sqlite_free(db, message);
    return rc == SQLITE_OK || failed(call, rc);
  };
  auto work = [&]() -> bool {
    int rc = kel_sqlite_open(db);
    if (rc != SQLITE_OK) return failed("open", rc);
    if (!sql("create", "CREATE TABLE items(id INTEGER PRIMARY KEY, label TEXT NOT NULL, payload BLOB, weight REAL)"))
      return false;
    if (!sql("begin", "BEGIN")) return false;
    rc = kel_sqlite_prepare(db, "INSERT INTO items(label, payload, weight) VALUES(?1, ?2, ?3)");
    if (rc != SQLITE_OK) return failed("prepare insert", rc);
    for (const auto& entry : items()) {
      // Text up to its NUL; the blob with its exact length (a null pointer for
      // the empty one binds NULL, as SQLite documents).
      if ((rc = kel_sqlite_bind_text(db, 1, entry.label.c_str(), ULONG_MAX)) != SQLITE_OK)
        return failed("bind text", rc);
      const unsigned char* bytes = entry.payload.empty() ? nullptr : entry.payload.data();
      if ((rc = kel_sqlite_bind_blob(db, 2, bytes, entry.payload.size())) != SQLITE_OK) return failed("bind blob", rc);
      if ((rc = kel_sqlite_bind_double(db, 3, entry.weight)) != SQLITE_OK) return failed("bind double", rc);
      if ((rc = kel_sqlite_step(db)) != SQLITE_DONE) return failed("step insert", rc);
      if ((rc = kel_sqlite_reset(db)) != SQLITE_OK) return failed("reset insert", rc);
    }
    kel_sqlite_finalize(db);
    if (!sql("commit", "COMMIT")) return false;

    rc = kel_sqlite_prepare(db, "SELECT id, label, payload, weight FROM items WHERE weight > ?1 ORDER BY id");
    if (rc != SQLITE_OK) return failed("prepare query", rc);
    if ((rc = kel_sqlite_bind_double(db, 1, -1e300)) != SQLITE_OK) return failed("bind query", rc);
    unsigned long count = 0;
    bool read_failed = false;
    rc = kel_sqlite_rows_each(db, count, [&](handle row, unsigned long index) {
      const long long id = kel_sqlite_column_int64(row, 0);
      // The integer read as bytes and the real read as text make SQLite
      // convert them, which allocates.
      bool id_copied = false;
      const std::vector<unsigned char> id_bytes = blob_of(row, 0, id_copied);
      const std::string label = kel_sqlite_column_text(row, 1);
      bool payload_copied = false;
      const std::vector<unsigned char> payload = blob_of(row, 2, payload_copied);
      const double weight = kel_sqlite_column_double(row, 3);
      const std::string weight_text = kel_sqlite_column_text(row, 3);

      const std::string got =
          describe(id, std::string(id_bytes.begin(), id_bytes.end()), label, payload, weight, weight_text);
      const std::vector<std::string> expected = expected_rows();
      if (index < expected.size() && got == expected[index] && id_copied && payload_copied) {
        result.rows.push_back(got);
        return true;
      }
      // A value that came out wrong must have been reported on the connection.
      const int last = kel_sqlite_last_error_code(row);
      if (is_no_memory(last)) {
        read_failed = true;
        failed("column read", last);
      } else {
        result.silent =
            "row " + std::to_string(index) + " read as " + got + ", last error code " + std::to_string(last);
      }
      return false;
    });
    if (read_failed || !result.silent.empty()) return false;
    if (rc != SQLITE_DONE) return failed("rows_each", rc);
    if (count != items().size()) return failed("rows_each count", static_cast<int>(count));
    return true;
  };
  result.completed = work();
  kel_sqlite_finalize(db);
  if (kel_sqlite_is_opened(db)) kel_sqlite_close(db);
  kel_sqlite_destroy(db, __FILE__, __LINE__);
  EXPECT_TRUE(drain_service()) << "the release job did not run";
  return result;
}

class FaultInjection : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(install_failing_allocator());
    // The closes of objects whose open failed report their check; not shown.
    kel_system_set_assertion_recorder([](bool, const std::string&, const std::string&, const std::string&, int) {},
                                      true);
    kel_database_init();
  }
  void TearDown() override {
    kel_system_set_assertion_recorder(nullptr);
    EXPECT_TRUE(shutdown_within(10s));
    // Everything SQLite allocated through us comes back at its shutdown.
    EXPECT_EQ(sqlite3_shutdown(), SQLITE_OK);
    EXPECT_EQ(allocator.live.load(), 0) << "SQLite blocks never freed";
  }

  // Runs the scenario failing the k-th allocation (and, when `persistent`,
  // every later one) for k = 1, 2, ... until a run makes fewer than k
  // allocations; returns the number of runs that had a failure injected.
  long every_allocation(bool persistent) {
    scratch_dir dir;
    stdout_capture quiet;  // one count line per release
    allocator.disarm();
    const long baseline = allocator.live.load();

    // Without failures first: the work itself is right.
    const outcome clean = run_scenario(dir.path("clean.db"));
    EXPECT_TRUE(clean.completed) << clean.failed_call << " returned " << clean.code;
    EXPECT_EQ(clean.rows, expected_rows());
    EXPECT_EQ(allocator.live.load(), baseline);
    dir.remove_files();

    std::map<std::string, int> failures_by_call;
    int absorbed = 0;  // failed allocations SQLite worked around
    long k = 1;
    for (;; ++k) {
      if (k > 20000) {
        ADD_FAILURE() << "the scenario never ran out of allocations to fail";
        break;
      }
      allocator.arm(k, persistent);
      const outcome run = run_scenario(dir.path("k.db"));
      const long injected = allocator.failed.load();
      allocator.disarm();
      dir.remove_files();

      SCOPED_TRACE("allocation " + std::to_string(k) + (persistent ? " and later ones" : "") + " failed");
      EXPECT_EQ(run.silent, "") << "a failure reached no caller";
      if (run.completed) {
        // Nothing reported: SQLite recovered (or nothing failed), so every
        // row must be there exactly.
        EXPECT_EQ(run.rows, expected_rows());
        if (injected > 0) ++absorbed;
      } else {
        EXPECT_TRUE(is_no_memory(run.code)) << run.failed_call << " returned " << run.code;
        EXPECT_GT(injected, 0) << run.failed_call << " failed with nothing injected";
        ++failures_by_call[run.failed_call];
      }
      EXPECT_EQ(allocator.live.load(), baseline) << "SQLite memory left after close and release";
      if (testing::Test::HasFailure()) break;  // one broken k tells enough
      if (injected == 0) break;                // the run made fewer than k allocations
    }
    quiet.finish();
    // The failures reached callers across the whole scenario, not in one spot.
    for (const char* call : {"open", "create", "prepare insert", "step insert", "commit", "prepare query"})
      EXPECT_GT(failures_by_call[call], 0) << "no failure ever surfaced from " << call;
    std::printf("allocations failed%s: k = 1..%ld; %d absorbed by SQLite, the others reported by:\n",
                persistent ? " from the k-th on" : " one at a time", k - 1, absorbed);
    for (const auto& [call, n] : failures_by_call) std::printf("  %-16s %d\n", call.c_str(), n);
    return k - 1;
  }
};

TEST_F(FaultInjection, EachAllocationFailingOnceIsReportedAndLeaksNothing) { EXPECT_GT(every_allocation(false), 100); }

TEST_F(FaultInjection, AllocationsFailingFromOneOnAreReportedAndLeakNothing) { EXPECT_GT(every_allocation(true), 100); }

// ---- A write lock held by another connection ------------------------------

// Runs `body` on a thread of its own; a body that does not return within the
// bound has hung, which fails the test program instead of stalling CI.
void finishes_within(std::chrono::seconds bound, const std::function<void()>& body) {
  std::packaged_task<void()> task(body);
  std::future<void> done = task.get_future();
  std::thread runner(std::move(task));
  if (done.wait_for(bound) != std::future_status::ready) {
    std::fprintf(stderr, "hung: the body did not return within %lld s\n", static_cast<long long>(bound.count()));
    std::fflush(stderr);
    std::_Exit(1);
  }
  runner.join();
  done.get();
}

long long count_rows(const handle& db) {
  EXPECT_EQ(kel_sqlite_prepare(db, "SELECT count(*) FROM t"), SQLITE_OK);
  long long n = -1;
  const int rc = kel_sqlite_rows_each(db, [&n](handle row, unsigned long) {
    n = kel_sqlite_column_int64(row, 0);
    return true;
  });
  kel_sqlite_finalize(db);
  return rc == SQLITE_DONE ? n : -rc;  // the error code, negated, when the read failed
}

struct lock_case {
  const char* name;
  const char* journal;  // journal mode set on the file first
  const char* begin;    // how the holder starts its transaction
  bool readers_blocked;
};

class Busy : public testing::TestWithParam<lock_case> {
 protected:
  void SetUp() override { kel_database_init(); }
  void TearDown() override { EXPECT_TRUE(shutdown_within(10s)); }
  temp_dir dir;
};

TEST_P(Busy, TheOtherConnectionGetsSqliteBusyAtOnceAndSucceedsAfterTheLockGoes) {
  const lock_case& lock = GetParam();
  const std::string path = dir.path("shared.db");
  handle holder = kel_sqlite_new(path, "holder");
  handle other = kel_sqlite_new(path, "other");
  finishes_within(30s, [&] {
    ASSERT_EQ(kel_sqlite_open(holder), SQLITE_OK);
    ASSERT_EQ(kel_sqlite_sql_stmt(holder, lock.journal, nullptr), SQLITE_OK);
    ASSERT_EQ(kel_sqlite_sql_stmt(holder, "CREATE TABLE t(x); INSERT INTO t VALUES(1)", nullptr), SQLITE_OK);
    ASSERT_EQ(kel_sqlite_open(other), SQLITE_OK);
    // Reads the schema now: preparing later needs no lock.
    EXPECT_EQ(count_rows(other), 1);

    ASSERT_EQ(kel_sqlite_sql_stmt(holder, lock.begin, nullptr), SQLITE_OK);
    ASSERT_EQ(kel_sqlite_sql_stmt(holder, "INSERT INTO t VALUES(2)", nullptr), SQLITE_OK);

    // Direct SQL: the code and the connection's last error.
    char* message = nullptr;
    EXPECT_EQ(kel_sqlite_sql_stmt(other, "INSERT INTO t VALUES(3)", &message), SQLITE_BUSY);
    ASSERT_NE(message, nullptr);
    EXPECT_STREQ(message, "database is locked");
    kel_sqlite_free(other, message);
    EXPECT_EQ(kel_sqlite_last_error_code(other), SQLITE_BUSY);
    EXPECT_EQ(kel_sqlite_sql_stmt(other, "BEGIN IMMEDIATE", nullptr), SQLITE_BUSY);

    // A prepared write: the step, then the reset, give the code.
    ASSERT_EQ(kel_sqlite_prepare(other, "INSERT INTO t VALUES(?1)"), SQLITE_OK);
    ASSERT_EQ(kel_sqlite_bind_int(other, 1, 4), SQLITE_OK);
    EXPECT_EQ(kel_sqlite_step(other), SQLITE_BUSY);
    EXPECT_EQ(kel_sqlite_reset(other), SQLITE_BUSY);
    // rows_each returns the failed step's code and delivers nothing.
    unsigned long count = 99;
    int calls = 0;
    EXPECT_EQ(kel_sqlite_rows_each(other, count,
                                   [&calls](handle, unsigned long) {
                                     ++calls;
                                     return true;
                                   }),
              SQLITE_BUSY);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(calls, 0);
    kel_sqlite_finalize(other);

    // Reads see the last commit, or are refused while the holder is exclusive.
    EXPECT_EQ(count_rows(other), lock.readers_blocked ? -SQLITE_BUSY : 1);
    EXPECT_EQ(count_rows(holder), 2);

    ASSERT_EQ(kel_sqlite_sql_stmt(holder, "COMMIT", nullptr), SQLITE_OK);
    EXPECT_EQ(kel_sqlite_sql_stmt(other, "INSERT INTO t VALUES(3)", nullptr), SQLITE_OK);
    EXPECT_EQ(count_rows(other), 3);
    EXPECT_EQ(count_rows(holder), 3);
  });
  kel_sqlite_finalize(holder);
  kel_sqlite_finalize(other);
  kel_sqlite_destroy(holder, __FILE__, __LINE__);
  kel_sqlite_destroy(other, __FILE__, __LINE__);
}

INSTANTIATE_TEST_SUITE_P(
    HeldWriteLock, Busy,
    testing::Values(lock_case{"RollbackImmediate", "PRAGMA journal_mode=DELETE", "BEGIN IMMEDIATE", false},
                    lock_case{"RollbackExclusive", "PRAGMA journal_mode=DELETE", "BEGIN EXCLUSIVE", true},
                    lock_case{"WalImmediate", "PRAGMA journal_mode=WAL", "BEGIN IMMEDIATE", false},
                    lock_case{"WalExclusive", "PRAGMA journal_mode=WAL", "BEGIN EXCLUSIVE", false}),
    [](const testing::TestParamInfo<lock_case>& info) { return std::string(info.param.name); });

}  // namespace
