// Shared pieces of the benchmark program.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kel_bench {

// The statement workloads' table and SQL, in memory and on files alike (the
// workloads that fill it use 100000 rows). Row i (from 1) holds a = 7 i,
// b = "row-" and i in six digits, c = i / 2.
inline constexpr char kSchema[] = "CREATE TABLE t(id INTEGER PRIMARY KEY, a INTEGER, b TEXT, c REAL)";
inline constexpr char kInsert[] = "INSERT INTO t(a, b, c) VALUES(?, ?, ?)";
inline constexpr char kScan[] = "SELECT a, b, c FROM t";
inline constexpr char kLookup[] = "SELECT a, b FROM t WHERE id = ?";
inline constexpr char kFill[] =
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000) "
    "INSERT INTO t(id, a, b, c) SELECT i, 7 * i, printf('row-%06d', i), i * 0.5 FROM n";

/// Registers the statement workloads (insert, scan, lookup).
void register_statement_benchmarks();
/// Registers the service workloads (dispatch, churn).
void register_service_benchmarks();
/// Registers kel_sql's script workloads (when kel_sql is built).
void register_script_benchmarks();
/// Registers the statement workloads on database files, plain and encrypted
/// (in a build on SQLCipher).
void register_file_benchmarks();

/// The fastest of a benchmark's repetitions, reported beside mean and
/// median. On a machine shared with other work, interference only ever adds
/// time, so the fastest repetition is the least disturbed one.
inline double fastest(const std::vector<double>& values) {
  return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

/// Registers `fn` under `name` with the settings every workload shares.
template <typename Fn, typename... Args>
benchmark::internal::Benchmark* add_benchmark(const std::string& name, Fn&& fn, Args&&... args) {
  return benchmark::RegisterBenchmark(name.c_str(), std::forward<Fn>(fn), std::forward<Args>(args)...)
      ->ComputeStatistics("min", fastest)
      ->Unit(benchmark::kMillisecond);
}

/// One waiter, one signal: the end of a batch of work on another thread.
class latch {
 public:
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  void wait_and_close() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return open_; });
    open_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

}  // namespace kel_bench
