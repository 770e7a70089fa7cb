// Statement workloads, each in the variants raw (SQLite C API), floor (raw
// plus the checks and handle copies the library's contract requires, built
// like the library, see floor_connection.h), independent floor (the same
// obligations written at the call site by a user of raw SQLite, see
// independent_floor.h), kel_database and, when found, SQLiteCpp. All variants
// of a workload run the same SQL on an in-memory database of their own with
// the same data, and hand text columns out as std::string, as
// kel_sqlite_column_text does. Times are the calling thread's CPU time: all
// of the work runs on it.
#include "bench_common.h"
#include "floor_connection.h"
#include "independent_floor.h"

#include <kel_database/kel_database.h>
#include <kel_system.h>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#ifdef KEL_BENCH_HAVE_SQLITECPP
#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>
#endif

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace kel_bench {
namespace {

constexpr int kRows = 100000;

constexpr char kMemory[] = ":memory:";

long long a_of(long long i) { return 7 * i; }
double c_of(long long i) { return static_cast<double>(i) * 0.5; }
std::string b_of(long long i) {
  char text[32];
  std::snprintf(text, sizeof text, "row-%06lld", i);
  return text;
}

// Made once, outside every timed loop.
struct dataset {
  std::vector<std::string> texts;  // b of rows 1..kRows, at [i - 1]
  std::vector<long long> keys;     // a fixed random order of 1..kRows

  dataset() {
    texts.reserve(kRows);
    keys.reserve(kRows);
    for (long long i = 1; i <= kRows; ++i) {
      texts.push_back(b_of(i));
      keys.push_back(i);
    }
    std::shuffle(keys.begin(), keys.end(), std::mt19937_64(20261206));
  }
};

const dataset& data() {
  static const dataset instance;
  return instance;
}

// What a workload read, so that the reads cannot be optimised away and every
// variant can be checked against the others.
struct sums {
  long long ints = 0;
  unsigned long long text_bytes = 0;
  double reals = 0;
  long long rows = 0;

  void add(long long a, const std::string& b, double c) {
    ints += a;
    text_bytes += b.size();
    reals += c;
    ++rows;
  }
  bool operator==(const sums& o) const {
    return ints == o.ints && text_bytes == o.text_bytes && reals == o.reals && rows == o.rows;
  }
};

sums expected_scan() {
  sums s;
  for (long long i = 1; i <= kRows; ++i) s.add(a_of(i), data().texts[i - 1], c_of(i));
  return s;
}

sums expected_lookup() {
  sums s;
  for (long long key : data().keys) s.add(a_of(key), data().texts[key - 1], 0.0);
  return s;
}

void check(benchmark::State& state, bool ok, const char* what) {
  if (!ok) state.SkipWithError(what);
}

// ---- raw -------------------------------------------------------------------

// The rows a workload left in t, read with raw SQLite (not timed).
long long count_rows(sqlite3* db) {
  sqlite3_stmt* s = nullptr;
  long long n = -1;
  if (sqlite3_prepare_v2(db, "SELECT count(*) FROM t", -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
    n = sqlite3_column_int64(s, 0);
  sqlite3_finalize(s);
  return n;
}

struct raw_db {
  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
  explicit raw_db(const char* fill) {
    sqlite3_open_v2(kMemory, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
    if (fill != nullptr) sqlite3_exec(db, fill, nullptr, nullptr, nullptr);
  }
  ~raw_db() {
    sqlite3_finalize(stmt);
    sqlite3_close(db);
  }
  long long count() { return count_rows(db); }
};

__attribute__((noinline)) void insert_raw(raw_db& r) {
  const auto& texts = data().texts;
  sqlite3_exec(r.db, "BEGIN", nullptr, nullptr, nullptr);
  for (long long i = 1; i <= kRows; ++i) {
    const std::string& b = texts[i - 1];
    sqlite3_bind_int64(r.stmt, 1, a_of(i));
    sqlite3_bind_text(r.stmt, 2, b.data(), static_cast<int>(b.size()), SQLITE_TRANSIENT);
    sqlite3_bind_double(r.stmt, 3, c_of(i));
    sqlite3_step(r.stmt);
    sqlite3_reset(r.stmt);
  }
  sqlite3_exec(r.db, "COMMIT", nullptr, nullptr, nullptr);
}

__attribute__((noinline)) sums scan_raw(raw_db& r) {
  sums s;
  while (sqlite3_step(r.stmt) == SQLITE_ROW) {
    const long long a = sqlite3_column_int64(r.stmt, 0);
    const unsigned char* text = sqlite3_column_text(r.stmt, 1);
    const std::string b = text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
    s.add(a, b, sqlite3_column_double(r.stmt, 2));
  }
  sqlite3_reset(r.stmt);
  return s;
}

__attribute__((noinline)) sums lookup_raw(raw_db& r) {
  sums s;
  for (long long key : data().keys) {
    sqlite3_bind_int64(r.stmt, 1, key);
    if (sqlite3_step(r.stmt) == SQLITE_ROW) {
      const long long a = sqlite3_column_int64(r.stmt, 0);
      const unsigned char* text = sqlite3_column_text(r.stmt, 1);
      const std::string b = text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
      s.add(a, b, 0.0);
    }
    sqlite3_reset(r.stmt);
  }
  return s;
}

void BM_insert_raw(benchmark::State& state) {
  raw_db r(nullptr);
  sqlite3_prepare_v2(r.db, kInsert, -1, &r.stmt, nullptr);
  for ([[maybe_unused]] auto _ : state) {
    state.PauseTiming();
    sqlite3_exec(r.db, "DELETE FROM t", nullptr, nullptr, nullptr);
    state.ResumeTiming();
    insert_raw(r);
  }
  check(state, r.count() == kRows, "wrong row count");
}

void BM_scan_raw(benchmark::State& state) {
  raw_db r(kFill);
  sqlite3_prepare_v2(r.db, kScan, -1, &r.stmt, nullptr);
  sums s;
  for ([[maybe_unused]] auto _ : state) benchmark::DoNotOptimize(s = scan_raw(r));
  check(state, s == expected_scan(), "wrong scan result");
}

void BM_lookup_raw(benchmark::State& state) {
  raw_db r(kFill);
  sqlite3_prepare_v2(r.db, kLookup, -1, &r.stmt, nullptr);
  sums s;
  for ([[maybe_unused]] auto _ : state) benchmark::DoNotOptimize(s = lookup_raw(r));
  check(state, s == expected_lookup(), "wrong lookup result");
}

// ---- floor -----------------------------------------------------------------

floor_handle floor_db(const char* fill) {
  floor_handle h = floor_api::open(kMemory);
  floor_api::sql_stmt(h, kSchema);
  if (fill != nullptr) floor_api::sql_stmt(h, fill);
  return h;
}

__attribute__((noinline)) void insert_floor(const floor_handle& h) {
  const auto& texts = data().texts;
  floor_api::sql_stmt(h, "BEGIN");
  for (long long i = 1; i <= kRows; ++i) {
    const std::string& b = texts[i - 1];
    floor_api::bind_int64(h, 1, a_of(i));
    floor_api::bind_text(h, 2, b.data(), b.size());
    floor_api::bind_double(h, 3, c_of(i));
    floor_api::step(h);
    floor_api::reset(h);
  }
  floor_api::sql_stmt(h, "COMMIT");
}

__attribute__((noinline)) sums scan_floor(const floor_handle& h) {
  sums s;
  floor_api::rows_each(h, [&s](floor_handle row, unsigned long) {
    const long long a = floor_api::column_int64(row, 0);
    const std::string b = floor_api::column_text(row, 1);
    s.add(a, b, floor_api::column_double(row, 2));
    return true;
  });
  floor_api::reset(h);
  return s;
}

__attribute__((noinline)) sums lookup_floor(const floor_handle& h) {
  sums s;
  for (long long key : data().keys) {
    floor_api::bind_int64(h, 1, key);
    if (floor_api::step(h) == SQLITE_ROW) {
      const long long a = floor_api::column_int64(h, 0);
      const std::string b = floor_api::column_text(h, 1);
      s.add(a, b, 0.0);
    }
    floor_api::reset(h);
  }
  return s;
}

void BM_insert_floor(benchmark::State& state) {
  floor_handle h = floor_db(nullptr);
  floor_api::prepare(h, kInsert);
  for ([[maybe_unused]] auto _ : state) {
    state.PauseTiming();
    floor_api::sql_stmt(h, "DELETE FROM t");
    state.ResumeTiming();
    insert_floor(h);
  }
  check(state, count_rows(h->db) == kRows, "wrong row count");
}

void BM_scan_floor(benchmark::State& state) {
  floor_handle h = floor_db(kFill);
  floor_api::prepare(h, kScan);
  sums s;
  for ([[maybe_unused]] auto _ : state) benchmark::DoNotOptimize(s = scan_floor(h));
  check(state, s == expected_scan(), "wrong scan result");
}

void BM_lookup_floor(benchmark::State& state) {
  floor_handle h = floor_db(kFill);
  floor_api::prepare(h, kLookup);
  sums s;
  for ([[maybe_unused]] auto _ : state) benchmark::DoNotOptimize(s = lookup_floor(h));
  check(state, s == expected_lookup(), "wrong lookup result");
}

// ---- independent floor -------------------------------------------------------
// Raw SQLite in the loop; before each call that stands for an exported
// function, the handle copy and that function's state checks (see
// independent_floor.h). The check's line numbers are the ones reported for
// the function it stands for.

namespace indep = independent_floor;

#define KEL_BENCH_MODULE "src/kel_database/kel_sqlite.cpp"
#define KEL_BENCH_DB_OPEN(db, line) \
  kel_assertion_faild((db) != nullptr, "db!=nullptr", "database must be opened", KEL_BENCH_MODULE, line)
#define KEL_BENCH_STMT_OPEN(stmt, line) \
  kel_assertion_faild((stmt) != nullptr, "stmt!=nullptr", "database statement must be opened", KEL_BENCH_MODULE, line)

__attribute__((noinline)) void insert_indep(const indep::handle& h) {
  const auto& texts = data().texts;
  sqlite3* const db = h->db;
  sqlite3_stmt* const stmt = h->stmt;
  indep::hand_over(h);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  for (long long i = 1; i <= kRows; ++i) {
    const std::string& b = texts[i - 1];
    indep::hand_over(h);
    KEL_BENCH_STMT_OPEN(stmt, 110);
    sqlite3_bind_int64(stmt, 1, a_of(i));
    indep::hand_over(h);
    KEL_BENCH_STMT_OPEN(stmt, 147);
    sqlite3_bind_text(stmt, 2, b.data(), static_cast<int>(b.size()), SQLITE_TRANSIENT);
    indep::hand_over(h);
    KEL_BENCH_STMT_OPEN(stmt, 115);
    sqlite3_bind_double(stmt, 3, c_of(i));
    indep::hand_over(h);
    KEL_BENCH_DB_OPEN(db, 192);
    KEL_BENCH_STMT_OPEN(stmt, 193);
    sqlite3_step(stmt);
    indep::hand_over(h);
    sqlite3_reset(stmt);
  }
  indep::hand_over(h);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
}

__attribute__((noinline)) sums scan_indep(const indep::handle& h) {
  sums s;
  const indep::row_callback callback = [&s](indep::handle row, unsigned long) {
    sqlite3_stmt* const stmt = row->stmt;
    indep::hand_over(row);
    KEL_BENCH_STMT_OPEN(stmt, 257);
    const long long a = sqlite3_column_int64(stmt, 0);
    indep::hand_over(row);
    KEL_BENCH_STMT_OPEN(stmt, 247);
    const unsigned char* text = sqlite3_column_text(stmt, 1);
    const std::string b = text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
    indep::hand_over(row);
    KEL_BENCH_STMT_OPEN(stmt, 262);
    s.add(a, b, sqlite3_column_double(stmt, 2));
    return true;
  };
  sqlite3* const db = h->db;
  sqlite3_stmt* const stmt = h->stmt;
  indep::hand_over(h);
  KEL_BENCH_DB_OPEN(db, 219);
  KEL_BENCH_STMT_OPEN(stmt, 220);
  for (unsigned long row = 0;; ++row) {
    KEL_BENCH_DB_OPEN(db, 192);
    KEL_BENCH_STMT_OPEN(stmt, 193);
    if (sqlite3_step(stmt) != SQLITE_ROW || !callback(h, row)) break;
  }
  indep::hand_over(h);
  sqlite3_reset(stmt);
  return s;
}

__attribute__((noinline)) sums lookup_indep(const indep::handle& h) {
  sums s;
  sqlite3* const db = h->db;
  sqlite3_stmt* const stmt = h->stmt;
  for (long long key : data().keys) {
    indep::hand_over(h);
    KEL_BENCH_STMT_OPEN(stmt, 110);
    sqlite3_bind_int64(stmt, 1, key);
    indep::hand_over(h);
    KEL_BENCH_DB_OPEN(db, 192);
    KEL_BENCH_STMT_OPEN(stmt, 193);
    if (sqlite3_step(stmt) == SQLITE_ROW) {
      indep::hand_over(h);
      KEL_BENCH_STMT_OPEN(stmt, 257);
      const long long a = sqlite3_column_int64(stmt, 0);
      indep::hand_over(h);
      KEL_BENCH_STMT_OPEN(stmt, 247);
      const unsigned char* text = sqlite3_column_text(stmt, 1);
      const std::string b = text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
      s.add(a, b, 0.0);
    }
    indep::hand_over(h);
    sqlite3_reset(stmt);
  }
  return s;
}

#undef KEL_BENCH_STMT_OPEN
#undef KEL_BENCH_DB_OPEN
#undef KEL_BENCH_MODULE

void BM_insert_indep(benchmark::State& state) {
  const indep::handle h = indep::open(kMemory, kSchema, nullptr, kInsert);
  for ([[maybe_unused]] auto _ : state) {
    state.PauseTiming();
    sqlite3_exec(h->db, "DELETE FROM t", nullptr, nullptr, nullptr);
    state.ResumeTiming();
    insert_indep(h);
  }
  check(state, count_rows(h->db) == kRows, "wrong row count");
}

void BM_scan_indep(benchmark::State& state) {
  const indep::handle h = indep::open(kMemory, kSchema, kFill, kScan);
  sums s;
  for ([[maybe_unused]] auto _ : state) benchmark::DoNotOptimize(s = scan_indep(h));
  check(state, s == expected_scan(), "wrong scan result");
}

void BM_lookup_indep(benchmark::State& state) {
  const indep::handle h = indep::open(kMemory, kSchema, kFill, kLookup);
  sums s;
  for ([[maybe_unused]] auto _ : state) benchmark::DoNotOptimize(s = lookup_indep(h));
  check(state, s == expected_lookup(), "wrong lookup result");
}

// ---- kel_database ------------------------------------------------------------

using kel_handle = boost::shared_ptr<_kel_sqlite>;

// A Connection object on its own in-memory database, destroyed (and released
// on the database service) at the end of the benchmark.
struct kel_db {
  kel_handle h;
  explicit kel_db(const char* fill) : h(kel_sqlite_new(kMemory, "kel_database_bench")) {
    kel_sqlite_open(h);
    kel_sqlite_sql_stmt(h, kSchema, nullptr);
    if (fill != nullptr) kel_sqlite_sql_stmt(h, fill, nullptr);
  }
  ~kel_db() {
    kel_sqlite_finalize(h);
    kel_sqlite_destroy(h, __FILE__, __LINE__);
  }
  long long count() {
    long long n = -1;
    kel_sqlite_finalize(h);
    kel_sqlite_prepare(h, "SELECT count(*) FROM t");
    if (kel_sqlite_step(h) == SQLITE_ROW) n = kel_sqlite_column_int64(h, 0);
    kel_sqlite_finalize(h);
    return n;
  }
};

__attribute__((noinline)) void insert_kel(const kel_handle& h) {
  const auto& texts = data().texts;
  kel_sqlite_sql_stmt(h, "BEGIN", nullptr);
  for (long long i = 1; i <= kRows; ++i) {
    const std::string& b = texts[i - 1];
    kel_sqlite_bind_int64(h, 1, a_of(i));
    kel_sqlite_bind_text(h, 2, b.data(), b.size());
    kel_sqlite_bind_double(h, 3, c_of(i));
    kel_sqlite_step(h);
    kel_sqlite_reset(h);
  }
  kel_sqlite_sql_stmt(h, "COMMIT", nullptr);
}

__attribute__((noinline)) sums scan_kel(const kel_handle& h) {
  sums s;
  kel_sqlite_rows_each(h, [&s](kel_handle row, unsigned long) {
    const long long a = kel_sqlite_column_int64(row, 0);
    const std::string b = kel_sqlite_column_text(row, 1);
    s.add(a, b, kel_sqlite_column_double(row, 2));
    return true;
  });
  kel_sqlite_reset(h);
  return s;
}

__attribute__((noinline)) sums lookup_kel(const kel_handle& h) {
  sums s;
  for (long long key : data().keys) {
    kel_sqlite_bind_int64(h, 1, key);
    if (kel_sqlite_step(h) == SQLITE_ROW) {
      const long long a = kel_sqlite_column_int64(h, 0);
      const std::string b = kel_sqlite_column_text(h, 1);
      s.add(a, b, 0.0);
    }
    kel_sqlite_reset(h);
  }
  return s;
}

void BM_insert_kel(benchmark::State& state) {
  kel_db k(nullptr);
  kel_sqlite_prepare(k.h, kInsert);
  for ([[maybe_unused]] auto _ : state) {
    state.PauseTiming();
    kel_sqlite_sql_stmt(k.h, "DELETE FROM t", nullptr);
    state.ResumeTiming();
    insert_kel(k.h);
  }
  check(state, k.count() == kRows, "wrong row count");
}

void BM_scan_kel(benchmark::State& state) {
  kel_db k(kFill);
  kel_sqlite_prepare(k.h, kScan);
  sums s;
  for ([[maybe_unused]] auto _ : state) benchmark::DoNotOptimize(s = scan_kel(k.h));
  check(state, s == expected_scan(), "wrong scan result");
}

void BM_lookup_kel(benchmark::State& state) {
  kel_db k(kFill);
  kel_sqlite_prepare(k.h, kLookup);
  sums s;
  for ([[maybe_unused]] auto _ : state) benchmark::DoNotOptimize(s = lookup_kel(k.h));
  check(state, s == expected_lookup(), "wrong lookup result");
}

// ---- SQLiteCpp -----------------------------------------------------------------

#ifdef KEL_BENCH_HAVE_SQLITECPP

SQLite::Database sqlitecpp_db(const char* fill) {
  SQLite::Database db(kMemory, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
  db.exec(kSchema);
  if (fill != nullptr) db.exec(fill);
  return db;
}

__attribute__((noinline)) void insert_sqlitecpp(SQLite::Database& db, SQLite::Statement& insert) {
  const auto& texts = data().texts;
  db.exec("BEGIN");
  for (long long i = 1; i <= kRows; ++i) {
    insert.bind(1, static_cast<int64_t>(a_of(i)));
    insert.bind(2, texts[i - 1]);
    insert.bind(3, c_of(i));
    insert.exec();
    insert.reset();
  }
  db.exec("COMMIT");
}

__attribute__((noinline)) sums scan_sqlitecpp(SQLite::Statement& query) {
  sums s;
  while (query.executeStep()) {
    const long long a = query.getColumn(0).getInt64();
    const std::string b = query.getColumn(1).getString();
    s.add(a, b, query.getColumn(2).getDouble());
  }
  query.reset();
  return s;
}

__attribute__((noinline)) sums lookup_sqlitecpp(SQLite::Statement& query) {
  sums s;
  for (long long key : data().keys) {
    query.bind(1, static_cast<int64_t>(key));
    if (query.executeStep()) {
      const long long a = query.getColumn(0).getInt64();
      const std::string b = query.getColumn(1).getString();
      s.add(a, b, 0.0);
    }
    query.reset();
  }
  return s;
}

void BM_insert_sqlitecpp(benchmark::State& state) {
  SQLite::Database db = sqlitecpp_db(nullptr);
  SQLite::Statement insert(db, kInsert);
  for ([[maybe_unused]] auto _ : state) {
    state.PauseTiming();
    db.exec("DELETE FROM t");
    state.ResumeTiming();
    insert_sqlitecpp(db, insert);
  }
  check(state, db.execAndGet("SELECT count(*) FROM t").getInt64() == kRows, "wrong row count");
}

void BM_scan_sqlitecpp(benchmark::State& state) {
  SQLite::Database db = sqlitecpp_db(kFill);
  SQLite::Statement query(db, kScan);
  sums s;
  for ([[maybe_unused]] auto _ : state) benchmark::DoNotOptimize(s = scan_sqlitecpp(query));
  check(state, s == expected_scan(), "wrong scan result");
}

void BM_lookup_sqlitecpp(benchmark::State& state) {
  SQLite::Database db = sqlitecpp_db(kFill);
  SQLite::Statement query(db, kLookup);
  sums s;
  for ([[maybe_unused]] auto _ : state) benchmark::DoNotOptimize(s = lookup_sqlitecpp(query));
  check(state, s == expected_lookup(), "wrong lookup result");
}

#endif

void add(const char* name, void (*fn)(benchmark::State&)) { add_benchmark(name, fn); }

}  // namespace

void register_statement_benchmarks() {
  data();  // built before any timing starts
  add("BM_insert/raw", BM_insert_raw);
  add("BM_insert/floor", BM_insert_floor);
  add("BM_insert/independent_floor", BM_insert_indep);
  add("BM_insert/kel_database", BM_insert_kel);
  add("BM_scan/raw", BM_scan_raw);
  add("BM_scan/floor", BM_scan_floor);
  add("BM_scan/independent_floor", BM_scan_indep);
  add("BM_scan/kel_database", BM_scan_kel);
  add("BM_lookup/raw", BM_lookup_raw);
  add("BM_lookup/floor", BM_lookup_floor);
  add("BM_lookup/independent_floor", BM_lookup_indep);
  add("BM_lookup/kel_database", BM_lookup_kel);
#ifdef KEL_BENCH_HAVE_SQLITECPP
  add("BM_insert/SQLiteCpp", BM_insert_sqlitecpp);
  add("BM_scan/SQLiteCpp", BM_scan_sqlitecpp);
  add("BM_lookup/SQLiteCpp", BM_lookup_sqlitecpp);
#endif
}

}  // namespace kel_bench
