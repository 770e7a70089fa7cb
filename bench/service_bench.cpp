// Service workloads. Both measure wall-clock time, since the work they time
// runs on the database service thread (or on the Asio worker it is compared
// with), and both wait until the last piece of that work has run.
//
// Dispatch: 100 000 jobs queued with kel_database_exec from 1 and from 4
// threads, against the same jobs posted to a bare boost::asio::io_context
// that one worker thread runs. Each call names its source as the short
// "dispatch.cpp", which std::string keeps without allocating, so that the
// comparison is of the queueing itself. kel_database_long_path passes
// __FILE__ instead, an absolute path here: the string the caller builds for
// it costs an allocation and a release per job, which the by-value
// parameter makes the caller's and which bare Asio does not have.
//
// Churn: N Connection objects are created (the live-object list then holds
// all N), then each is opened on an in-memory database and destroyed; the
// timing ends when a marker job queued after the last destroy has run, that
// is when every release job has run, and the handles are dropped. Reported
// per object (counter per_object), which stays flat when churn is linear.
#include "bench_common.h"

#include <kel_database/kel_database.h>

#include <benchmark/benchmark.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/make_shared.hpp>

#include <sys/resource.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kel_bench {
namespace {

constexpr long kJobs = 100000;

// CPU time of the whole process (every thread) so far, in seconds.
double process_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Reports the CPU time that all threads together spent per iteration, beside
// the wall-clock time: on a machine shared with other work the wall-clock
// time also counts the waits for a free core.
class process_cpu_counter {
 public:
  explicit process_cpu_counter(benchmark::State& state) : state_(state), start_(process_cpu_seconds()) {}
  ~process_cpu_counter() {
    state_.counters["process_cpu"] =
        benchmark::Counter(process_cpu_seconds() - start_, benchmark::Counter::kAvgIterations);
  }

 private:
  benchmark::State& state_;
  double start_;
};

// Counts jobs down; the one that reaches zero opens the latch.
struct countdown {
  std::atomic<long> left{0};
  latch done;

  void arrive() {
    if (left.fetch_sub(1, std::memory_order_acq_rel) == 1) done.open();
  }
};

// Queues kJobs jobs from `producers` threads (the calling thread when there
// is one) through `queue_job`, then waits until the last has run.
template <typename Queue>
__attribute__((noinline)) void dispatch_round(countdown& jobs, int producers, const Queue& queue_job) {
  jobs.left.store(kJobs, std::memory_order_relaxed);
  if (producers == 1) {
    for (long i = 0; i < kJobs; ++i) queue_job();
  } else {
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(producers));
    for (int p = 0; p < producers; ++p)
      threads.emplace_back([&, p] {
        const long share = kJobs / producers + (p < kJobs % producers ? 1 : 0);
        for (long i = 0; i < share; ++i) queue_job();
      });
    for (auto& thread : threads) thread.join();
  }
  jobs.done.wait_and_close();
}

// The rounds that are timed; a first round before them is not, so that
// neither side is measured while its queues and allocator caches grow.
template <typename Queue>
void timed_dispatch(benchmark::State& state, int producers, const Queue& queue_job) {
  countdown jobs;
  dispatch_round(jobs, producers, [&] { queue_job(jobs); });
  process_cpu_counter cpu(state);
  for ([[maybe_unused]] auto _ : state) dispatch_round(jobs, producers, [&] { queue_job(jobs); });
  state.SetItemsProcessed(state.iterations() * kJobs);
}

void BM_dispatch_kel(benchmark::State& state, int producers) {
  timed_dispatch(state, producers,
                 [](countdown& jobs) { kel_database_exec([&jobs] { jobs.arrive(); }, "dispatch.cpp", __LINE__); });
}

void BM_dispatch_kel_long_path(benchmark::State& state, int producers) {
  timed_dispatch(state, producers,
                 [](countdown& jobs) { kel_database_exec([&jobs] { jobs.arrive(); }, __FILE__, __LINE__); });
}

void BM_dispatch_asio(benchmark::State& state, int producers) {
  boost::asio::io_context io;
  auto work = boost::asio::make_work_guard(io);
  std::thread worker([&io] { io.run(); });
  timed_dispatch(state, producers, [&io](countdown& jobs) { boost::asio::post(io, [&jobs] { jobs.arrive(); }); });
  work.reset();
  worker.join();
}

// The floor of dispatch: bare Asio plus what the interface demands of every
// queued job. The caller hands the job over by value as a std::function with
// its source file and line; the library forwards them, with a copy of the
// service handle (taken by value), to the host while holding its std::mutex;
// the host keeps all three until the job has run on the service thread.
struct floor_service {
  boost::shared_ptr<boost::asio::io_context> io = boost::make_shared<boost::asio::io_context>();
  std::mutex mutex;
};

__attribute__((noinline)) void floor_host_exec(boost::shared_ptr<boost::asio::io_context> io, std::function<void()> job,
                                               std::string file, int line) {
  boost::asio::post(*io, [job = std::move(job), file = std::move(file), line] { job(); });
}

__attribute__((noinline)) void floor_exec(floor_service& service, std::function<void()> job, std::string file,
                                          int line) {
  std::lock_guard<std::mutex> lock(service.mutex);
  floor_host_exec(service.io, std::move(job), std::move(file), line);
}

void BM_dispatch_floor(benchmark::State& state, int producers) {
  floor_service service;
  auto work = boost::asio::make_work_guard(*service.io);
  std::thread worker([&service] { service.io->run(); });
  timed_dispatch(state, producers, [&service](countdown& jobs) {
    floor_exec(
        service, [&jobs] { jobs.arrive(); }, "dispatch.cpp", __LINE__);
  });
  work.reset();
  worker.join();
}

void BM_churn(benchmark::State& state, std::size_t n) {
  std::vector<std::string> names;
  names.reserve(n);
  for (std::size_t i = 0; i < n; ++i) names.push_back("churn-" + std::to_string(i));
  std::vector<boost::shared_ptr<_kel_sqlite>> objects;
  objects.reserve(n);
  latch released;
  bool all_opened = true;
  process_cpu_counter cpu(state);
  for ([[maybe_unused]] auto _ : state) {
    for (std::size_t i = 0; i < n; ++i) objects.push_back(kel_sqlite_new(":memory:", names[i]));
    for (const auto& object : objects) {
      all_opened &= kel_sqlite_open(object) == 0;
      kel_sqlite_destroy(object, __FILE__, __LINE__);
    }
    kel_database_exec([&released] { released.open(); }, __FILE__, __LINE__);
    released.wait_and_close();
    objects.clear();
  }
  if (!all_opened) state.SkipWithError("an open failed");
  state.SetItemsProcessed(state.iterations() * static_cast<benchmark::IterationCount>(n));
  state.counters["per_object"] = benchmark::Counter(
      static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

void register_service_benchmarks() {
  // Dispatch rounds are short and their wall-clock time is the most exposed
  // to other work on the machine: more, shorter repetitions than the rest.
  for (int producers : {1, 4}) {
    const std::string suffix = "/producers:" + std::to_string(producers);
    for (auto* benchmark :
         {add_benchmark("BM_dispatch/kel_database" + suffix, BM_dispatch_kel, producers),
          add_benchmark("BM_dispatch/asio" + suffix, BM_dispatch_asio, producers),
          add_benchmark("BM_dispatch/floor" + suffix, BM_dispatch_floor, producers),
          add_benchmark("BM_dispatch/kel_database_long_path" + suffix, BM_dispatch_kel_long_path, producers)})
      benchmark->UseRealTime()->MinTime(0.05)->Repetitions(25);
  }
  // Per-object times at different N are compared, so each repetition runs
  // for seconds whatever N is: a short one can fall entirely into a quiet
  // spell of a shared machine, which a 100 000-object round never does.
  for (std::size_t n : {1000, 10000, 100000})
    add_benchmark("BM_churn/kel_database/" + std::to_string(n), BM_churn, n)->UseRealTime()->MinTime(3);
}

}  // namespace kel_bench
