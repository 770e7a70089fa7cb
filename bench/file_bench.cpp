// What encryption costs: the statement workloads (insert, scan, lookup of
// 100000 rows) through kel_database on a database file, in a build on
// SQLCipher. Variants: plain (no key: SQLite's defaults, as any unkeyed file
// in this build), plain_page_1024 (no key, the 1024-byte pages SQLCipher 3
// gives a keyed file, so that the page size is not what is compared) and
// encrypted (PRAGMA key first). All three run in the same program, on files
// of their own in a fresh directory. Times are the calling thread's CPU
// time: waiting for the disk is not the encryption's cost, and the same for
// all three.
#include "bench_common.h"

#include <kel_database/kel_database.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace kel_bench {
namespace {

using kel_handle = boost::shared_ptr<_kel_sqlite>;

constexpr int kOk = 0;
constexpr int kRow = 100;
constexpr long long kRows = 100000;

enum class variant { plain, plain_page_1024, encrypted };

std::string b_of(long long i) {
  char text[32];
  std::snprintf(text, sizeof text, "row-%06lld", i);
  return text;
}

// A directory of the program's own for the database files, removed at exit.
const std::filesystem::path& directory() {
  struct temp {
    std::filesystem::path path;
    temp() {
      std::string pattern = (std::filesystem::temp_directory_path() / "kel_file_bench.XXXXXX").string();
      if (mkdtemp(pattern.data()) != nullptr) path = pattern;
    }
    ~temp() {
      std::error_code ignored;
      if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
  };
  static const temp instance;
  return instance.path;
}

// A Connection object on a new file, keyed or not, destroyed at the end of
// the benchmark.
struct file_db {
  kel_handle h;
  bool ready = false;
  file_db(variant v, const char* fill) {
    static int serial = 0;
    const std::string path = (directory() / ("bench" + std::to_string(++serial) + ".db")).string();
    h = kel_sqlite_new(path, "kel_file_bench");
    ready = !directory().empty() && kel_sqlite_open(h) == kOk;
    if (v == variant::encrypted) ready = ready && kel_sqlite_sql_stmt(h, "PRAGMA key = 'bench key'", nullptr) == kOk;
    if (v == variant::plain_page_1024)
      ready = ready && kel_sqlite_sql_stmt(h, "PRAGMA page_size = 1024", nullptr) == kOk;
    ready = ready && kel_sqlite_sql_stmt(h, kSchema, nullptr) == kOk;
    if (fill != nullptr) ready = ready && kel_sqlite_sql_stmt(h, fill, nullptr) == kOk;
  }
  ~file_db() {
    kel_sqlite_finalize(h);
    kel_sqlite_destroy(h, __FILE__, __LINE__);
  }
  long long single(const char* sql) {
    long long n = -1;
    kel_sqlite_finalize(h);
    if (kel_sqlite_prepare(h, sql) == kOk && kel_sqlite_step(h) == kRow) n = kel_sqlite_column_int64(h, 0);
    kel_sqlite_finalize(h);
    return n;
  }
};

void check(benchmark::State& state, bool ok, const char* what) {
  if (!ok) state.SkipWithError(what);
}

void expect_page_size(benchmark::State& state, file_db& db, variant v) {
  const long long page = db.single("PRAGMA page_size");
  state.counters["page_size"] = static_cast<double>(page);
  check(state, v == variant::plain || page == 1024, "unexpected page size");
}

void BM_file_insert(benchmark::State& state, variant v) {
  file_db db(v, nullptr);
  check(state, db.ready, "cannot create the database");
  kel_sqlite_prepare(db.h, kInsert);
  for ([[maybe_unused]] auto _ : state) {
    state.PauseTiming();
    kel_sqlite_sql_stmt(db.h, "DELETE FROM t", nullptr);
    state.ResumeTiming();
    kel_sqlite_sql_stmt(db.h, "BEGIN", nullptr);
    for (long long i = 1; i <= kRows; ++i) {
      const std::string b = b_of(i);
      kel_sqlite_bind_int64(db.h, 1, 7 * i);
      kel_sqlite_bind_text(db.h, 2, b.data(), b.size());
      kel_sqlite_bind_double(db.h, 3, static_cast<double>(i) * 0.5);
      kel_sqlite_step(db.h);
      kel_sqlite_reset(db.h);
    }
    kel_sqlite_sql_stmt(db.h, "COMMIT", nullptr);
  }
  check(state, db.single("SELECT count(*) FROM t") == kRows, "wrong row count");
  expect_page_size(state, db, v);
}

void BM_file_scan(benchmark::State& state, variant v) {
  file_db db(v, kFill);
  check(state, db.ready, "cannot create the database");
  kel_sqlite_prepare(db.h, kScan);
  long long sum = 0;
  for ([[maybe_unused]] auto _ : state) {
    sum = 0;
    kel_sqlite_rows_each(db.h, [&sum](kel_handle row, unsigned long) {
      sum += kel_sqlite_column_int64(row, 0) + static_cast<long long>(kel_sqlite_column_text(row, 1).size());
      return true;
    });
    kel_sqlite_reset(db.h);
    benchmark::DoNotOptimize(sum);
  }
  // a over all rows is 7 * n(n+1)/2; each b is 10 bytes.
  check(state, sum == 7 * kRows * (kRows + 1) / 2 + 10 * kRows, "wrong scan result");
  expect_page_size(state, db, v);
}

void BM_file_lookup(benchmark::State& state, variant v) {
  file_db db(v, kFill);
  check(state, db.ready, "cannot create the database");
  kel_sqlite_prepare(db.h, kLookup);
  long long sum = 0;
  for ([[maybe_unused]] auto _ : state) {
    sum = 0;
    // A fixed scattered order: every key once, stride coprime with kRows.
    for (long long k = 0; k < kRows; ++k) {
      kel_sqlite_bind_int64(db.h, 1, (k * 7919) % kRows + 1);
      if (kel_sqlite_step(db.h) == kRow) sum += kel_sqlite_column_int64(db.h, 0);
      kel_sqlite_reset(db.h);
    }
    benchmark::DoNotOptimize(sum);
  }
  check(state, sum == 7 * kRows * (kRows + 1) / 2, "wrong lookup result");
  expect_page_size(state, db, v);
}

}  // namespace

void register_file_benchmarks() {
  const struct {
    const char* name;
    variant v;
  } variants[] = {
      {"plain", variant::plain}, {"plain_page_1024", variant::plain_page_1024}, {"encrypted", variant::encrypted}};
  for (const auto& each : variants) {
    add_benchmark(std::string("BM_file_insert/") + each.name, BM_file_insert, each.v);
    add_benchmark(std::string("BM_file_scan/") + each.name, BM_file_scan, each.v);
    add_benchmark(std::string("BM_file_lookup/") + each.name, BM_file_lookup, each.v);
  }
}

}  // namespace kel_bench
