// The database service on the real host runtime: where work runs, timers and
// intervals, and the shutdown that waits for every Connection object.
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <numeric>
#include <thread>

using namespace kel_test;

namespace {

const std::string kRequest = "DATABASE SERVICE SHOT DONW REQUEST\n";
const std::string kStopped = "DATABASE THREAD SERVICE STOPPED\n";
const std::string kDone = "DATABASE SERVICE DONE\n";

std::string count_line(int left) { return "left objects in database reference count: " + std::to_string(left) + "\n"; }

// kel_system_shutdown on a thread of its own, so that a test can watch a
// shutdown in progress and still fail (not hang) when it never ends.
std::future<void> start_shutdown() {
  auto returned = std::make_shared<std::promise<void>>();
  std::thread([returned] {
    kel_system_shutdown();
    returned->set_value();
  }).detach();
  return returned->get_future();
}

}  // namespace

TEST(DatabaseService, WithoutAServiceWorkIsDroppedAndShutdownStopsOnlyTheServiceItAsked) {
  std::atomic<bool> ran{false};
  stdout_capture quiet;
  kel_database_exec([&] { ran = true; }, __FILE__, __LINE__);
  EXPECT_EQ(kel_database_set_timeout([&] { ran = true; }, 1, __FILE__, __LINE__), 0u);
  EXPECT_EQ(kel_database_set_interval([&] { return ran = true; }, 1, __FILE__, __LINE__), 0u);
  kel_database_clear_timeout(1);
  kel_database_clear_interval(1);
  EXPECT_EQ(kel_database_run_once(), -1);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(ran);
  EXPECT_EQ(quiet.finish(), "");

  // A second init keeps the one service; with no objects, a shutdown stops it at once.
  kel_database_init();
  kel_database_init();
  EXPECT_RUNNING_SERVICES(1);
  stdout_capture out;
  ASSERT_TRUE(shutdown_within());
  EXPECT_EQ(out.finish(), kRequest + kStopped + kDone);
  EXPECT_RUNNING_SERVICES(0);

  // The release that empties the list does not stop a new service: nobody asked this one to stop.
  kel_database_init();
  auto object = kel_sqlite_new(":memory:", "late");
  kel_sqlite_destroy(object, __FILE__, __LINE__);
  ASSERT_TRUE(drain_service());
  EXPECT_TRUE(run_on_service([] {}, 1s));
  EXPECT_RUNNING_SERVICES(1);
  ASSERT_TRUE(shutdown_within());
}

TEST(DatabaseService, JobsRunInOrderOnTheServiceThreadAndRunOnceNestsOneWaitingJob) {
  kel_database_init();
  EXPECT_EQ(kel_database_run_once(), -1);  // never runs a job off the service thread
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  const auto note = [&](int n) {
    order.push_back(n);
    threads.push_back(std::this_thread::get_id());
  };
  int nested = -2;
  // Holds the service until the jobs below are queued: job 1 is then waiting when job 0 runs.
  std::promise<void> gate;
  kel_database_exec([opened = gate.get_future().share()] { opened.wait(); }, __FILE__, __LINE__);
  kel_database_exec(
      [&] {
        note(0);
        nested = kel_database_run_once();
        note(2);
      },
      __FILE__, __LINE__);
  kel_database_exec([&] { note(1); }, __FILE__, __LINE__);
  for (int i = 3; i < 50; ++i) kel_database_exec([&note, i] { note(i); }, __FILE__, __LINE__);
  gate.set_value();
  ASSERT_TRUE(drain_service());

  EXPECT_EQ(nested, 1);
  std::vector<int> expected(50);
  std::iota(expected.begin(), expected.end(), 0);
  ASSERT_EQ(order, expected);
  EXPECT_NE(threads.front(), std::this_thread::get_id());
  EXPECT_EQ(threads, std::vector<std::thread::id>(50, threads.front()));
  ASSERT_TRUE(shutdown_within());
}

TEST(DatabaseService, TimersAndIntervalsRunOnTheServiceThreadAndCanBeCleared) {
  kel_database_init();
  std::thread::id service_thread;
  ASSERT_TRUE(run_on_service([&] { service_thread = std::this_thread::get_id(); }));
  // Counts a run of a timer or interval job, noting when it is not on the service thread.
  std::atomic<bool> on_service_thread{true};
  const auto tally = [&](std::atomic<int>& runs) {
    if (std::this_thread::get_id() != service_thread) on_service_thread = false;
    return ++runs;
  };
  std::atomic<int> fired{0}, cleared_fired{0}, ticks{0}, cleared_ticks{0};
  const unsigned long long kept = kel_database_set_timeout([&] { tally(fired); }, 10, __FILE__, __LINE__);
  const unsigned long long dropped = kel_database_set_timeout([&] { tally(cleared_fired); }, 30, __FILE__, __LINE__);
  kel_database_clear_timeout(dropped);
  std::promise<void> last;  // due after both timers above
  kel_database_set_timeout([&] { last.set_value(); }, 80, __FILE__, __LINE__);
  // The third tick ends the first interval; the second would go on all but forever.
  kel_database_set_interval([&] { return tally(ticks) < 3; }, 5, __FILE__, __LINE__);
  const unsigned long long endless =
      kel_database_set_interval([&] { return tally(cleared_ticks) < 1000000; }, 1, __FILE__, __LINE__);

  ASSERT_EQ(last.get_future().wait_for(5s), std::future_status::ready);
  kel_database_clear_interval(endless);
  const int ticks_at_clear = cleared_ticks;
  ASSERT_TRUE(drain_service());
  std::this_thread::sleep_for(20ms);  // time for runs too many

  EXPECT_NE(kept, dropped);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(cleared_fired, 0);
  EXPECT_EQ(ticks, 3);
  EXPECT_TRUE(on_service_thread);
  EXPECT_GE(ticks_at_clear, 1);
  EXPECT_LE(cleared_ticks - ticks_at_clear, 1);  // at most the tick already under way
  ASSERT_TRUE(shutdown_within());
}

TEST(DatabaseService, ReleasesPrintTheCountLeftAndShutdownWaitsForTheLast) {
  kel_database_init();
  auto first = kel_sqlite_new(":memory:", "first");
  auto second = kel_sqlite_new(":memory:", "second");
  auto third = kel_sqlite_new(":memory:", "third");
  ASSERT_EQ(kel_sqlite_open(first), 0);

  stdout_capture out;
  kel_sqlite_destroy(second, __FILE__, __LINE__);  // not the newest: the count is of those left, in any order
  ASSERT_TRUE(drain_service());
  std::future<void> shutdown = start_shutdown();
  EXPECT_EQ(shutdown.wait_for(200ms), std::future_status::timeout);
  EXPECT_RUNNING_SERVICES(1);
  EXPECT_TRUE(run_on_service([] {}));  // the service keeps serving while it waits

  kel_sqlite_destroy(first, __FILE__, __LINE__);
  ASSERT_TRUE(drain_service());
  EXPECT_EQ(shutdown.wait_for(100ms), std::future_status::timeout);
  kel_sqlite_destroy(third, __FILE__, __LINE__);
  ASSERT_EQ(shutdown.wait_for(5s), std::future_status::ready) << "shutdown never completed";
  EXPECT_EQ(out.finish(), count_line(2) + kRequest + count_line(1) + count_line(0) + kStopped + kDone);
  EXPECT_FALSE(kel_sqlite_is_opened(first));
}
