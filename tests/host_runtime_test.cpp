// The host runtime (libkel_system): objects and references, the assertion
// routine, and the thread services the database library runs on.
#include <gtest/gtest.h>

#include "test_support.h"

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <future>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace kel_test;
using service_ptr = boost::shared_ptr<_kel_thread_service>;

namespace {

template <typename T>
bool ready(std::future<T>& future, std::chrono::milliseconds timeout = 5s) {
  return future.wait_for(timeout) == std::future_status::ready;
}

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

// ---- Objects -------------------------------------------------------------------

TEST(HostObject, NewObjectCarriesObjectDestroyedFalse) {
  auto object = boost::make_shared<_kel_object>();
  boost::any value;
  EXPECT_TRUE(kel_property_get(object->properties, "object-destroyed", value));
  EXPECT_EQ(text_of(value), "false");
  EXPECT_EQ(object->object_tag(), "[kel_object]");
  EXPECT_EQ(object->to_object(), object);
  EXPECT_FALSE(object->is_reffed());
}

TEST(HostObject, PropertyGetCopiesExistingValuesOnly) {
  std::map<std::string, boost::any> properties{{"answer", boost::any(42)}};
  boost::any value = std::string("untouched");
  EXPECT_FALSE(kel_property_get(properties, "missing", value));
  EXPECT_EQ(boost::any_cast<std::string>(value), "untouched");
  EXPECT_TRUE(kel_property_get(properties, "answer", value));
  EXPECT_EQ(boost::any_cast<int>(value), 42);
  properties["answer"] = 7;  // a copy, not a view into the map
  EXPECT_EQ(boost::any_cast<int>(value), 42);
}

TEST(HostObject, ReferenceKeepsObjectAliveUntilUnref) {
  auto object = boost::make_shared<_kel_object>();
  boost::weak_ptr<_kel_object> watch = object;
  kel_object_ref(object);
  kel_object_ref(object);  // a second ref is the same single reference
  EXPECT_TRUE(object->is_reffed());
  object.reset();
  ASSERT_FALSE(watch.expired()) << "the framework reference must keep the object";
  auto again = watch.lock();
  kel_object_unref_real(again);
  EXPECT_FALSE(again->is_reffed());
  again.reset();
  EXPECT_TRUE(watch.expired()) << "one unref must drop the only framework reference";

  auto other = boost::make_shared<_kel_object>();
  kel_object_unref_real(other);  // never reffed: nothing happens
  kel_object_ref(nullptr);
  kel_object_unref_real(nullptr);
  EXPECT_FALSE(other->is_reffed());
  EXPECT_EQ(other.use_count(), 1);
}

TEST(HostObject, DestroyMarksObjectAndDropsReferenceOnce) {
  auto object = boost::make_shared<_kel_object>();
  boost::weak_ptr<_kel_object> watch = object;
  kel_object_ref(object);
  object->destroy(__FILE__, __LINE__);
  EXPECT_FALSE(object->is_reffed());
  EXPECT_EQ(text_of(object->properties["object-destroyed"]), "true");
  kel_object_ref(object);
  object->destroy(__FILE__, __LINE__);  // already destroyed: keeps the new reference
  EXPECT_TRUE(object->is_reffed());
  kel_object_unref_real(object);
  object.reset();
  EXPECT_TRUE(watch.expired());
}

TEST(HostObject, DescribeWritesOneLineWithoutLockingTheObject) {
  auto object = boost::make_shared<_kel_object>();
  std::lock_guard<std::mutex> held(object->mutex);
  auto described = std::make_shared<std::promise<std::string>>();
  auto line = described->get_future();
  std::thread([object, described] {
    stdout_capture capture;
    object->describe();
    described->set_value(capture.finish());
  }).detach();
  ASSERT_TRUE(ready(line)) << "describe() waited for the object's mutex";
  std::ostringstream expected;
  expected << "object [kel_object] @" << static_cast<const void*>(object.get()) << "\n";
  EXPECT_EQ(line.get(), expected.str());
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
    EXPECT_TRUE(shutdown_within());
    EXPECT_EQ(kel_system_running_services(), 0);
  }
};

TEST_F(HostService, JobsRunInOrderOnTheServiceThread) {
  auto service = kel_thread_service_new("jobs");
  std::vector<int> order;  // only touched on the service thread until `done`
  std::set<std::thread::id> threads;
  signal<> done;
  for (int i = 0; i < 100; ++i)
    kel_thread_service_exec(
        service,
        [&, i] {
          order.push_back(i);
          threads.insert(std::this_thread::get_id());
        },
        __FILE__, __LINE__);
  kel_thread_service_exec(
      service, [promise = done.promise] { promise->set_value(); }, __FILE__, __LINE__);
  ASSERT_TRUE(ready(done.future));
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  ASSERT_EQ(threads.size(), 1u);
  EXPECT_NE(*threads.begin(), std::this_thread::get_id());
  EXPECT_EQ(kel_system_running_services(), 1);
}

// A service thread watches briefly for more work after its last job; an idle
// one must sleep, not keep a core busy.
TEST_F(HostService, IdleServiceThreadSleeps) {
  auto service = kel_thread_service_new("idle");
  signal<clockid_t> clock;
  for (int i = 0; i < 1000; ++i)
    kel_thread_service_exec(
        service, [] {}, __FILE__, __LINE__);
  kel_thread_service_exec(
      service,
      [promise = clock.promise] {
        clockid_t id{};
        pthread_getcpuclockid(pthread_self(), &id);
        promise->set_value(id);
      },
      __FILE__, __LINE__);
  ASSERT_TRUE(ready(clock.future));
  const clockid_t id = clock.future.get();
  auto cpu_ms = [id] {
    timespec now{};
    clock_gettime(id, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
  };
  std::this_thread::sleep_for(50ms);
  const double before = cpu_ms();
  std::this_thread::sleep_for(400ms);
  EXPECT_LT(cpu_ms() - before, 40.0);  // a spinning thread would use about 400 ms
}

TEST_F(HostService, TimeoutFiresOnceAfterItsDelay) {
  auto service = kel_thread_service_new("timeout");
  std::atomic<int> fired{0};
  const auto start = std::chrono::steady_clock::now();
  std::atomic<long long> elapsed_ms{-1};
  kel_thread_service_set_timeout(
      service,
      [&] {
        elapsed_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        ++fired;
      },
      60, __FILE__, __LINE__);
  ASSERT_TRUE(wait_until([&] { return fired == 1; }));
  EXPECT_GE(elapsed_ms, 60);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(fired, 1);
}

TEST_F(HostService, ClearedTimeoutNeverRunsEvenWhenAlreadyDue) {
  auto service = kel_thread_service_new("clear");
  std::atomic<int> fired{0};
  auto early = kel_thread_service_set_timeout(
      service, [&] { ++fired; }, 30, __FILE__, __LINE__);
  kel_thread_service_clear_timeout(service, early);
  // The second timer expires while the service is busy, so it has completed
  // by the time the busy job clears it.
  std::promise<void> busy;
  std::atomic<unsigned long long> due{0};
  std::atomic<bool> cleared{false};
  kel_thread_service_exec(
      service,
      [&] {
        busy.set_value();
        std::this_thread::sleep_for(60ms);
        kel_thread_service_clear_timeout(service, due);
        cleared = true;
      },
      __FILE__, __LINE__);
  auto started = busy.get_future();
  ASSERT_TRUE(ready(started));
  due = kel_thread_service_set_timeout(
      service, [&] { ++fired; }, 5, __FILE__, __LINE__);
  ASSERT_TRUE(wait_until([&] { return cleared.load(); }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(fired, 0);
}

TEST_F(HostService, IntervalRepeatsUntilItsJobReturnsFalse) {
  auto service = kel_thread_service_new("interval");
  std::atomic<int> runs{0};
  kel_thread_service_set_interval(
      service, [&] { return ++runs < 3; }, 5, __FILE__, __LINE__);
  ASSERT_TRUE(wait_until([&] { return runs == 3; }));
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(runs, 3);
}

TEST_F(HostService, ClearedIntervalStopsRepeating) {
  auto service = kel_thread_service_new("interval-clear");
  std::atomic<int> never{0};
  kel_thread_service_clear_interval(service, kel_thread_service_set_interval(
                                                 service, [&] { return ++never > 0; }, 5, __FILE__, __LINE__));
  std::atomic<int> runs{0};
  std::atomic<unsigned long long> id{0};
  id = kel_thread_service_set_interval(
      service,
      [&] {
        if (++runs == 2) kel_thread_service_clear_interval(service, id);  // cleared from its own job
        return true;
      },
      5, __FILE__, __LINE__);
  ASSERT_TRUE(wait_until([&] { return runs >= 2; }));
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(never, 0);
}

TEST_F(HostService, TimerIdsAreUniqueAndNeverZero) {
  auto service = kel_thread_service_new("ids");
  std::set<unsigned long long> ids;
  for (int i = 0; i < 5; ++i) {
    ids.insert(kel_thread_service_set_timeout(
        service, [] {}, 10000, __FILE__, __LINE__));
    ids.insert(kel_thread_service_set_interval(
        service, [] { return true; }, 10000, __FILE__, __LINE__));
  }
  EXPECT_EQ(ids.size(), 10u);
  EXPECT_EQ(ids.count(0), 0u);
}

TEST_F(HostService, RunOnceRunsAJobOnlyFromTheServiceThread) {
  auto service = kel_thread_service_new("run-once");
  std::atomic<int> ran{0};
  kel_thread_service_exec(
      service, [] { std::this_thread::sleep_for(100ms); }, __FILE__, __LINE__);
  kel_thread_service_exec(
      service, [&] { ++ran; }, __FILE__, __LINE__);
  EXPECT_EQ(kel_thread_service_run_once(service), -1);  // queued work, wrong thread
  EXPECT_EQ(ran, 0);
  signal<std::vector<int>> results;
  kel_thread_service_exec(
      service,
      [&, promise = results.promise] {
        kel_thread_service_exec(
            service, [&] { ran += 10; }, __FILE__, __LINE__);
        const int first = kel_thread_service_run_once(service);
        const int seen = ran;
        const int second = kel_thread_service_run_once(service);
        promise->set_value({first, seen, second});
      },
      __FILE__, __LINE__);
  ASSERT_TRUE(ready(results.future));
  EXPECT_EQ(results.future.get(), (std::vector<int>{1, 11, 0}));
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
  kel_thread_service_exec(
      service,
      [&] {
        service_thread = std::this_thread::get_id();
        note("job");
        started.set_value();
        release.get_future().wait();
        note("job end");
      },
      __FILE__, __LINE__);
  kel_thread_service_exec(
      service, [&, dropped] { note("queued job"); }, __FILE__, __LINE__);
  dropped.reset();
  auto running = started.get_future();
  ASSERT_TRUE(ready(running));
  kel_thread_service_stop(service, [&](service_ptr) { note(std::string("cb") + where()); });
  kel_thread_service_stop(service, [&](service_ptr) { note("cb2"); });
  note("stop returned");
  release.set_value();
  ASSERT_TRUE(ready(done.future));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(events, (std::vector<std::string>{"job", "stop returned", "job end", "cb on service", "cb2",
                                              "finished 0 same on service"}));
  EXPECT_TRUE(dropped_watch.expired()) << "a dropped job must release what it holds";
}

TEST_F(HostService, FinishedStatusCountsJobsThatThrew) {
  auto service = kel_thread_service_new("throwing");
  signal<int> status;
  std::atomic<int> after{0};
  kel_thread_service_on_finished(
      service, [promise = status.promise](service_ptr, int failures) { promise->set_value(failures); });
  testing::internal::CaptureStderr();
  kel_thread_service_exec(
      service, [] { throw std::runtime_error("boom"); }, "a.cpp", 1);
  kel_thread_service_set_timeout(
      service, [] { throw 5; }, 0, "b.cpp", 2);
  kel_thread_service_exec(
      service, [&] { ++after; }, __FILE__, __LINE__);
  // Later than the throwing timer, so the service keeps running after both.
  kel_thread_service_set_timeout(
      service,
      [&] {
        ++after;
        kel_thread_service_stop(service, nullptr);
      },
      30, __FILE__, __LINE__);
  ASSERT_TRUE(ready(status.future));
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(status.future.get(), 2);
  EXPECT_EQ(after, 2);
  EXPECT_NE(errors.find("\"throwing\": job queued at a.cpp:1 threw: boom\n"), std::string::npos) << errors;
  EXPECT_NE(errors.find("job queued at b.cpp:2 threw a non-standard exception\n"), std::string::npos) << errors;
}

service_ptr global_service;  // the library keeps its one handle like this

TEST_F(HostService, FinishedHandlerMayDropTheLastOutsideReference) {
  global_service = kel_thread_service_new("self-release");
  boost::weak_ptr<_kel_thread_service> watch = global_service;
  signal<> done;
  kel_thread_service_on_finished(global_service, [promise = done.promise](service_ptr svc, int) {
    svc.reset();
    global_service.reset();
    promise->set_value();
  });
  kel_thread_service_stop(global_service, nullptr);
  ASSERT_TRUE(ready(done.future));
  ASSERT_TRUE(shutdown_within());  // joins the thread
  EXPECT_TRUE(watch.expired()) << "the service leaked";
}

TEST_F(HostService, StopFromAJobHoldingAMutexTheFinishedHandlerNeeds) {
  auto service = kel_thread_service_new("locked-stop");
  std::mutex library_mutex;
  signal<> done;
  kel_thread_service_on_finished(service, [&, promise = done.promise](service_ptr, int) {
    { std::lock_guard<std::mutex> lock(library_mutex); }
    promise->set_value();
  });
  kel_thread_service_exec(
      service,
      [&] {
        std::lock_guard<std::mutex> lock(library_mutex);
        kel_thread_service_exec(
            service, [] {}, __FILE__, __LINE__);
        kel_thread_service_set_timeout(
            service, [] {}, 0, __FILE__, __LINE__);
        kel_thread_service_stop(service, [&](service_ptr) { std::lock_guard<std::mutex> again(library_mutex); });
      },
      __FILE__, __LINE__);
  EXPECT_TRUE(ready(done.future)) << "deadlock";
}

TEST_F(HostService, ShutdownStopsServicesWhoseJoinHandlerDeclines) {
  auto service = kel_thread_service_new("declines");
  auto plain = kel_thread_service_new("no-handler");
  std::atomic<int> join_calls{0}, join_status{-1};
  std::atomic<bool> finished{false};
  kel_thread_service_set_join_handler(service, [&](service_ptr svc, int status) {
    ++join_calls;
    join_status = status;
    return svc != service;  // false
  });
  kel_thread_service_on_finished(service, [&](service_ptr, int) { finished = true; });
  EXPECT_EQ(kel_system_running_services(), 2);
  ASSERT_TRUE(shutdown_within());
  EXPECT_EQ(join_calls, 1);
  EXPECT_EQ(join_status, 0);
  EXPECT_TRUE(finished);
  EXPECT_EQ(kel_system_running_services(), 0);
}

TEST_F(HostService, ShutdownWaitsForAServiceThatStopsItselfLater) {
  auto service = kel_thread_service_new("deferred");
  std::atomic<bool> finished{false};
  kel_thread_service_on_finished(service, [&](service_ptr, int) {
    std::this_thread::sleep_for(20ms);
    finished = true;
  });
  kel_thread_service_set_join_handler(service, [](service_ptr svc, int) {
    kel_thread_service_set_timeout(
        svc, [svc] { kel_thread_service_stop(svc, nullptr); }, 100, __FILE__, __LINE__);
    return true;
  });
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(shutdown_within());
  EXPECT_TRUE(finished) << "shutdown returned before the finished handler did";
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
}

TEST_F(HostService, ShutdownWithoutServicesReturnsAndServicesCanFollowIt) {
  ASSERT_TRUE(shutdown_within(1s));
  for (int round = 0; round < 3; ++round) {
    auto service = kel_thread_service_new("again");
    signal<> ran;
    kel_thread_service_exec(
        service, [promise = ran.promise] { promise->set_value(); }, __FILE__, __LINE__);
    ASSERT_TRUE(ready(ran.future)) << "round " << round;
    ASSERT_TRUE(shutdown_within()) << "round " << round;
    EXPECT_EQ(kel_system_running_services(), 0);
  }
}

TEST_F(HostService, EmptyHandlesAreIgnored) {
  const service_ptr none;
  std::atomic<int> ran{0};
  kel_thread_service_exec(
      none, [&] { ++ran; }, __FILE__, __LINE__);
  EXPECT_EQ(kel_thread_service_set_timeout(
                none, [&] { ++ran; }, 0, __FILE__, __LINE__),
            0u);
  EXPECT_EQ(kel_thread_service_set_interval(
                none, [&] { return ++ran > 0; }, 0, __FILE__, __LINE__),
            0u);
  kel_thread_service_clear_timeout(none, 1);
  kel_thread_service_clear_interval(none, 1);
  EXPECT_EQ(kel_thread_service_run_once(none), -1);
  kel_thread_service_on_finished(none, [&](service_ptr, int) { ++ran; });
  kel_thread_service_set_join_handler(none, [&](service_ptr, int) { return ++ran > 0; });
  kel_thread_service_stop(none, [&](service_ptr) { ++ran; });
  // Empty jobs on a real service and unknown ids are ignored as well.
  auto service = kel_thread_service_new("empty");
  kel_thread_service_exec(service, nullptr, __FILE__, __LINE__);
  EXPECT_EQ(kel_thread_service_set_timeout(service, nullptr, 0, __FILE__, __LINE__), 0u);
  kel_thread_service_clear_timeout(service, 12345);
  kel_thread_service_clear_interval(service, 0);
  signal<int> status;
  kel_thread_service_on_finished(
      service, [promise = status.promise](service_ptr, int failures) { promise->set_value(failures); });
  kel_thread_service_stop(service, nullptr);
  ASSERT_TRUE(ready(status.future));
  EXPECT_EQ(status.future.get(), 0);
  EXPECT_EQ(ran, 0);
}

}  // namespace
