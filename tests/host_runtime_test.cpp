// The host runtime (libkel_system): objects and references, the assertion
// routine, and the thread services the database library runs on.
#include <gtest/gtest.h>

#include "test_support.h"
#include "thread_sanitizer.h"

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

#include <dlfcn.h>
#include <pthread.h>
#if defined(__APPLE__)
#include <mach/mach.h>
#endif

#include <atomic>
#include <ctime>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace kel_test;
using service_ptr = boost::shared_ptr<_kel_thread_service>;

namespace {

// The set_value side lives in a handler on a service thread, which may still
// be returning from it when the waiting test has already ended.
template <typename T = void>
struct signal {
  std::shared_ptr<std::promise<T>> promise = std::make_shared<std::promise<T>>();
  std::future<T> future = promise->get_future();
};

std::string text_of(const boost::any& value) {
  const bool* flag = boost::any_cast<bool>(&value);
  return flag == nullptr ? "not a bool" : (*flag ? "true" : "false");
}

// Shorthands where the place a job was queued from does not matter.
void exec(const service_ptr& svc, std::function<void()> job) {
  kel_thread_service_exec(svc, std::move(job), __FILE__, __LINE__);
}
unsigned long long after(const service_ptr& svc, unsigned long long ms, std::function<void()> job) {
  return kel_thread_service_set_timeout(svc, std::move(job), ms, __FILE__, __LINE__);
}
unsigned long long every(const service_ptr& svc, unsigned long long ms, std::function<bool()> job) {
  return kel_thread_service_set_interval(svc, std::move(job), ms, __FILE__, __LINE__);
}

// The CPU time a thread has used so far, read from another thread. POSIX
// gives each thread a CPU-time clock; macOS has none and keeps the times with
// the thread's Mach port instead. Negative when the time cannot be read.
#if defined(__APPLE__)
using cpu_clock = mach_port_t;
cpu_clock this_thread_cpu_clock() { return pthread_mach_thread_np(pthread_self()); }
double cpu_ms(cpu_clock thread) {
  thread_basic_info_data_t info{};
  mach_msg_type_number_t count = THREAD_BASIC_INFO_COUNT;
  if (thread_info(thread, THREAD_BASIC_INFO, reinterpret_cast<thread_info_t>(&info), &count) != KERN_SUCCESS) {
    return -1;
  }
  return static_cast<double>(info.user_time.seconds + info.system_time.seconds) * 1e3 +
         static_cast<double>(info.user_time.microseconds + info.system_time.microseconds) / 1e3;
}
#else
using cpu_clock = clockid_t;
cpu_clock this_thread_cpu_clock() {
  clockid_t id{};
  pthread_getcpuclockid(pthread_self(), &id);
  return id;
}
double cpu_ms(cpu_clock id) {
  timespec now{};
  if (clock_gettime(id, &now) != 0) return -1;
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}
#endif

// ---- Objects -------------------------------------------------------------------

// What the library relies on: one framework reference however often it is
// taken, and the base destroy that marks the object and drops that reference
// only the first time.
TEST(HostObject, MarkReferenceAndDestroy) {
  auto object = boost::make_shared<_kel_object>();
  boost::weak_ptr<_kel_object> watch = object;
  EXPECT_EQ(object->object_tag(), "[kel_object]");
  kel_object_ref(object);
  kel_object_ref(object);
  kel_object_ref(nullptr);  // empty handles are ignored
  object.reset();
  ASSERT_FALSE(watch.expired()) << "the framework reference must keep the object";
  object = watch.lock();
  kel_object_unref_real(object);
  EXPECT_FALSE(object->is_reffed());
  kel_object_unref_real(object);  // not held: nothing happens
  kel_object_unref_real(nullptr);
  EXPECT_EQ(object.use_count(), 1) << "one unref must drop the only framework reference";

  kel_object_ref(object);
  object->destroy(__FILE__, __LINE__);
  EXPECT_FALSE(object->is_reffed());
  EXPECT_EQ(text_of(object->properties["object-destroyed"]), "true");
  kel_object_ref(object);
  object->destroy(__FILE__, __LINE__);
  EXPECT_TRUE(object->is_reffed());
  kel_object_unref_real(object);
}

// ---- Assertions ------------------------------------------------------------------

TEST(HostAssertion, RecorderSeesEveryCallWithItsArguments) {
  {
    assertion_log log;  // a quiet recorder: failures are recorded, not printed
    testing::internal::CaptureStderr();
    kel_assertion_faild(true, "a==b", "fine", "x.cpp", 1);
    kel_assertion_faild(false, "p!=nullptr", "must be set", "y.cpp", 22);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(log.take(), (std::vector<assertion_call>{{true, "a==b", "fine", "x.cpp", 1},
                                                       {false, "p!=nullptr", "must be set", "y.cpp", 22}}));
  }
  // Recorder gone: a failed check is printed, a passing one is silent.
  testing::internal::CaptureStderr();
  kel_assertion_faild(true, "quiet", "never shown", "z.cpp", 3);
  kel_assertion_faild(false, "db!=nullptr", "database must be opened", "src/m.cpp", 99);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "\033[1;31mKEL-SYSTEM**ASSERTION**\033[0;0m: db!=nullptr - database must be opened (src/m.cpp:99)\n");
}

// ---- Thread services ---------------------------------------------------------------

class HostService : public testing::Test {
 protected:
  void TearDown() override {
    kel_system_shutdown();
    EXPECT_EQ(kel_system_running_services(), 0);
  }
};

// Run-once lets one ready job of a service run, nested, from a job of that
// service, and from any other thread runs nothing, even with work queued.
// (Order and thread of jobs: the stress test.)
TEST_F(HostService, RunOnceNestsOneReadyJobOnlyOnTheServiceThread) {
  auto service = kel_thread_service_new("jobs");
  std::atomic<int> ran{0};
  std::promise<void> open_gate;  // holds the service thread until the check below is done
  exec(service, [gate = open_gate.get_future().share()] { gate.wait(); });
  exec(service, [&] { ++ran; });
  EXPECT_EQ(kel_thread_service_run_once(service), -1);
  EXPECT_EQ(ran, 0);
  open_gate.set_value();
  signal<std::vector<int>> results;
  exec(service, [&, promise = results.promise] {
    exec(service, [&] { ran += 10; });
    const int first = kel_thread_service_run_once(service);
    const int seen = ran;
    const int second = kel_thread_service_run_once(service);
    promise->set_value({first, seen, second});
  });
  results.future.wait();
  EXPECT_EQ(results.future.get(), (std::vector<int>{1, 11, 0}));
}

// Timeouts fire once after their delay; intervals repeat until their job
// returns false or they are cleared, also from their own job; a cleared timer
// never runs, not even one that came due while the service was busy; and
// shutdown does not wait for a timer still pending.
TEST_F(HostService, TimeoutsAndIntervalsFireAndClear) {
  auto service = kel_thread_service_new("timers");
  const auto start = std::chrono::steady_clock::now();
  std::atomic<long long> elapsed_ms{-1};
  std::atomic<int> fired{0}, counted{0}, self_cleared{0}, wrongly_ran{0};
  std::atomic<unsigned long long> self_id{0}, due{0};
  std::vector<unsigned long long> ids;
  ids.push_back(after(service, 60, [&] {
    elapsed_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    ++fired;
  }));
  ids.push_back(after(service, 30, [&] { wrongly_ran |= 1; }));
  kel_thread_service_clear_timeout(service, ids.back());
  ids.push_back(every(service, 5, [&] { return (wrongly_ran |= 2) != 0; }));
  kel_thread_service_clear_interval(service, ids.back());
  ids.push_back(every(service, 5, [&] { return ++counted < 3; }));
  // Each kind is cleared only by its own call: the other leaves it running.
  kel_thread_service_clear_timeout(service, ids.back());
  kel_thread_service_clear_interval(service, ids.front());
  ids.push_back(self_id = every(service, 5, [&] {
                  if (++self_cleared == 2) kel_thread_service_clear_interval(service, self_id);
                  return true;
                }));
  ids.push_back(after(service, 10000, [] {}));
  ids.push_back(after(service, ~0ULL, [&] { wrongly_ran |= 8; }));  // too far ahead to overflow the clock

  // `due` expires while the service is busy, so it has completed by the time
  // the busy job clears it.
  signal<> busy;
  std::atomic<bool> cleared{false};
  exec(service, [&, promise = busy.promise] {
    promise->set_value();
    std::this_thread::sleep_for(60ms);
    kel_thread_service_clear_timeout(service, due);
    cleared = true;
  });
  busy.future.wait();
  ids.push_back(due = after(service, 5, [&] { wrongly_ran |= 4; }));

  wait_until([&] { return fired >= 1 && counted >= 3 && self_cleared >= 2 && cleared; });
  std::this_thread::sleep_for(100ms);  // room for any run too many
  EXPECT_GE(elapsed_ms, 60);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(counted, 3);
  EXPECT_EQ(self_cleared, 2);
  EXPECT_EQ(wrongly_ran, 0) << "1: cleared timeout, 2: cleared interval, 4: timeout cleared when due, 8: longest delay";
}

// Tick k of an interval with period P is due at k * P after it was set,
// however long each run takes: never earlier, and late only by the time the
// thread takes to wake up, which does not add up from tick to tick. A period
// counted from the end of each run (drift) puts tick k at least (k - 1) runs
// late; a doubled one, (k - 1) periods.
TEST_F(HostService, IntervalTicksKeepToTheirPeriodWhateverTheJobTakes) {
  auto service = kel_thread_service_new("period");
  constexpr auto kPeriod = 40ms;
  constexpr auto kRun = 25ms;
  constexpr int kTicks = 8;
  std::vector<std::chrono::steady_clock::duration> ticks;  // from the set, on the service thread only
  signal<> done;
  const auto set = std::chrono::steady_clock::now();
  every(service, kPeriod.count(), [&, promise = done.promise] {
    ticks.push_back(std::chrono::steady_clock::now() - set);
    std::this_thread::sleep_for(kRun);
    if (ticks.size() < kTicks) return true;
    promise->set_value();
    return false;
  });
  done.future.wait();
  auto least_late = std::chrono::steady_clock::duration::max();
  for (int k = 1; k <= kTicks; ++k) {
    const auto late = ticks[k - 1] - k * kPeriod;
    EXPECT_GE(late.count(), 0) << "tick " << k << " came early";
    if (k > kTicks / 2) least_late = std::min(least_late, late);
  }
  // Drift would make each of the last four ticks at least 100 ms late.
  EXPECT_LT(least_late, 2 * kRun) << "the interval drifts or its period is too long";
}

TEST_F(HostService, StopEndsAfterTheCurrentJobThenCallsCallbackAndFinishedHandler) {
  auto service = kel_thread_service_new("stop");
  std::promise<void> release, started;
  signal<> done;
  std::mutex mutex;
  std::vector<std::string> events;
  auto note = [&](const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
  };
  auto dropped = boost::make_shared<int>(0);
  boost::weak_ptr<int> dropped_watch = dropped;
  std::thread::id service_thread;  // written and read on the service thread only
  auto where = [&] { return std::this_thread::get_id() == service_thread ? " on service" : " elsewhere"; };
  kel_thread_service_on_finished(service, [&, promise = done.promise](service_ptr svc, int status) {
    note("finished " + std::to_string(status) + (svc == service ? " same" : " other") + where());
    promise->set_value();
  });
  exec(service, [&] {
    service_thread = std::this_thread::get_id();
    note("job");
    started.set_value();
    release.get_future().wait();
    note("job end");
  });
  exec(service, [&, dropped] { note("queued job"); });
  dropped.reset();
  auto running = started.get_future();
  running.wait();
  kel_thread_service_stop(service, [&](service_ptr) { note(std::string("cb") + where()); });
  // A service stops once: a second stop, here or from another thread, changes nothing. What its
  // callback holds goes on the service thread.
  auto refused = boost::make_shared<int>(0);
  boost::weak_ptr<int> refused_watch = refused;
  std::thread([&, refused] { kel_thread_service_stop(service, [&, refused](service_ptr) { note("cb2"); }); }).join();
  refused.reset();
  kel_thread_service_stop(service, [&](service_ptr) { note("cb3"); });
  EXPECT_FALSE(refused_watch.expired()) << "a refused stop callback went on the caller's thread";
  note("stop returned");
  release.set_value();
  done.future.wait();
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(events, (std::vector<std::string>{"job", "stop returned", "job end", "cb on service",
                                              "finished 0 same on service"}));
  EXPECT_TRUE(dropped_watch.expired()) << "a dropped job must release what it holds";
  EXPECT_TRUE(refused_watch.expired()) << "a refused stop callback must release what it holds";
}

TEST_F(HostService, FinishedStatusCountsJobsThatThrewNotEmptyOnes) {
  auto service = kel_thread_service_new("throwing");
  signal<int> status;
  std::atomic<int> after_throw{0};
  kel_thread_service_on_finished(
      service, [promise = status.promise](service_ptr, int failures) { promise->set_value(failures); });
  testing::internal::CaptureStderr();
  kel_thread_service_exec(
      service, [] { throw std::runtime_error("boom"); }, "a.cpp", 1);
  kel_thread_service_set_timeout(
      service, [] { throw 5; }, 0, "b.cpp", 2);
  // Empty jobs, unknown ids and empty service handles are ignored, not counted.
  kel_thread_service_on_finished(nullptr, nullptr);
  kel_thread_service_set_join_handler(nullptr, nullptr);
  kel_thread_service_stop(nullptr, nullptr);
  exec(service, nullptr);
  EXPECT_EQ(after(service, 0, nullptr), 0u);
  kel_thread_service_clear_timeout(service, 12345);
  kel_thread_service_clear_interval(service, 0);
  exec(service, [&] { ++after_throw; });
  // Later than the throwing timer, so the service keeps running after both.
  after(service, 30, [&] {
    ++after_throw;
    kel_thread_service_stop(service, nullptr);
  });
  status.future.wait();
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(status.future.get(), 2);
  EXPECT_EQ(after_throw, 2);
  EXPECT_NE(errors.find("\"throwing\": job queued at a.cpp:1 threw: boom\n"), std::string::npos) << errors;
  EXPECT_NE(errors.find("job queued at b.cpp:2 threw a non-standard exception\n"), std::string::npos) << errors;
}

// What the bundled runtime does with exceptions of the database service's
// jobs (a framework's runtime decides for itself): each is caught on the
// service thread and reported as one error line on standard error, naming
// the place the job was queued from; the service goes on with the next job;
// an interval whose job throws ends for good, and what its job holds is
// released there and then.
TEST_F(HostService, DatabaseJobsThatThrowAreReportedTheServiceGoesOnAndAThrowingIntervalEnds) {
  struct on_release {
    std::shared_ptr<std::promise<void>> released;
    ~on_release() { released->set_value(); }
  };
  kel_database_init();
  testing::internal::CaptureStderr();
  signal<> interval_released, next_job;
  std::atomic<int> ticks{0};
  kel_database_exec([] { throw std::runtime_error("job failed"); }, "jobs.cpp", 7);
  kel_database_exec([promise = next_job.promise] { promise->set_value(); }, "jobs.cpp", 8);
  auto held = std::make_shared<on_release>();
  held->released = interval_released.promise;
  kel_database_set_interval(
      [&ticks, held]() -> bool {
        ++ticks;
        throw std::logic_error("tick failed");
      },
      1, "ticks.cpp", 9);
  held.reset();
  next_job.future.wait();
  interval_released.future.wait();  // never set if the interval whose job threw was not ended
  drain_service();
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(ticks, 1);
  const std::string banner = "\033[1;31mKEL-SYSTEM**ERROR**\033[0;0m: thread service \"database\": ";
  EXPECT_EQ(errors, banner + "job queued at jobs.cpp:7 threw: job failed\n" + banner +
                        "job queued at ticks.cpp:9 threw: tick failed\n");
}

// After a burst of jobs the service thread watches for the next one only
// briefly, then sleeps: an idle service costs no CPU.
TEST_F(HostService, IdleServiceThreadSleeps) {
  auto service = kel_thread_service_new("idle");
  signal<cpu_clock> clock;
  for (int i = 0; i < 1000; ++i) exec(service, [] {});
  exec(service, [promise = clock.promise] { promise->set_value(this_thread_cpu_clock()); });
  clock.future.wait();
  const cpu_clock service_thread = clock.future.get();
  std::this_thread::sleep_for(50ms);
  const double before = cpu_ms(service_thread);
  ASSERT_GE(before, 0.0) << "the service thread's CPU time cannot be read";
  std::this_thread::sleep_for(400ms);
  EXPECT_LT(cpu_ms(service_thread) - before, 40.0);  // a thread that never stops watching uses about 400 ms
}

// Shutdown without services returns at once. With services it asks each join
// handler, stops the services whose handler declines (or that have none),
// waits for one that stops itself later.
TEST_F(HostService, ShutdownStopsOrAwaitsEveryService) {
  kel_system_shutdown();
  auto declines = kel_thread_service_new("declines");
  auto plain = kel_thread_service_new("no-handler");
  auto deferred = kel_thread_service_new("deferred");
  std::atomic<int> join_calls{0}, join_status{-1};
  std::atomic<bool> declined_finished{false}, deferred_finished{false};
  kel_thread_service_set_join_handler(declines, [&](service_ptr svc, int status) {
    ++join_calls;
    join_status = status;
    return svc != declines;  // false
  });
  kel_thread_service_on_finished(declines, [&](service_ptr, int) { declined_finished = true; });
  kel_thread_service_set_join_handler(deferred, [](service_ptr svc, int) {
    after(svc, 100, [svc] { kel_thread_service_stop(svc, nullptr); });
    return true;
  });
  kel_thread_service_on_finished(deferred, [&](service_ptr, int) {
    std::this_thread::sleep_for(20ms);
    deferred_finished = true;
  });
  EXPECT_EQ(kel_system_running_services(), 3);
  const auto start = std::chrono::steady_clock::now();
  kel_system_shutdown();
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_EQ(join_calls, 1);
  EXPECT_EQ(join_status, 0);
  EXPECT_TRUE(declined_finished);
  EXPECT_TRUE(deferred_finished) << "shutdown returned before the finished handler did";
  EXPECT_EQ(kel_system_running_services(), 0);
}

}  // namespace

// Under ThreadSanitizer the runtime switches off Asio's fences, which the
// sanitizer does not model; a build whose compiler it fails to recognise
// keeps them, and TSan then sees races that are none. Whether this program
// runs under ThreadSanitizer is asked of the sanitizer itself, whose runtime
// is then part of the process (libtsan with gcc, a static runtime with
// clang), not of the build's options: so the test holds however TSan was
// switched on (KEL_SANITIZE=thread, -fsanitize=thread in CMAKE_CXX_FLAGS, a
// toolchain file).
TEST(HostBuild, ThreadSanitizerIsRecognisedWhateverTheCompiler) {
#ifdef KEL_THREAD_SANITIZER
  constexpr bool recognised = true;
#else
  constexpr bool recognised = false;
#endif
  const bool under_thread_sanitizer = dlsym(RTLD_DEFAULT, "__tsan_init") != nullptr;
  EXPECT_EQ(recognised, under_thread_sanitizer);
}
