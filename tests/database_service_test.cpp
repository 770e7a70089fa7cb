// The database service on the real host runtime: where work runs, timers and
// intervals, and the shutdown that waits for every Connection object.
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

using namespace kel_test;

namespace {

const std::string kRequest = "DATABASE SERVICE SHOT DONW REQUEST\n";
const std::string kStopped = "DATABASE THREAD SERVICE STOPPED\n";
const std::string kDone = "DATABASE SERVICE DONE\n";

std::string count_line(int left) { return "left objects in database reference count: " + std::to_string(left) + "\n"; }

// kel_system_shutdown on a thread of the test's own, so that a test can look
// at a shutdown in progress and still fail (not hang) when it never ends.
class pending_shutdown {
 public:
  pending_shutdown() : done_(returned_.get_future()) {
    std::thread([this] {
      kel_system_shutdown();
      returned_.set_value();
    }).detach();
  }
  ~pending_shutdown() { EXPECT_TRUE(finished(5s)) << "shutdown never completed"; }
  bool finished(std::chrono::milliseconds within) { return done_.wait_for(within) == std::future_status::ready; }

 private:
  std::promise<void> returned_;
  std::future<void> done_;
};

}  // namespace

TEST(DatabaseService, ShutdownWithNoObjectsStopsAtOnce) {
  kel_database_init();
  kel_database_init();  // a second init keeps the one service
  EXPECT_EQ(kel_system_running_services(), 1);

  stdout_capture out;
  ASSERT_TRUE(shutdown_within());
  EXPECT_EQ(out.finish(), kRequest + kStopped + kDone);
  EXPECT_EQ(kel_system_running_services(), 0);
}

TEST(DatabaseService, JobsRunInOrderOnTheServiceThread) {
  kel_database_init();
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  for (int i = 0; i < 50; ++i) {
    kel_database_exec(
        [&order, &threads, i] {
          order.push_back(i);
          threads.push_back(std::this_thread::get_id());
        },
        __FILE__, __LINE__);
  }
  ASSERT_TRUE(drain_service());
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
  EXPECT_NE(threads.front(), std::this_thread::get_id());
  for (const auto& id : threads) EXPECT_EQ(id, threads.front());
  ASSERT_TRUE(shutdown_within());
}

TEST(DatabaseService, TimersAndIntervalsRunOnTheServiceThreadAndCanBeCleared) {
  kel_database_init();
  std::thread::id service_thread;
  ASSERT_TRUE(run_on_service([&] { service_thread = std::this_thread::get_id(); }));

  std::atomic<int> fired{0};
  std::atomic<int> cleared_fired{0};
  std::atomic<bool> on_service_thread{true};
  std::promise<void> last;
  const unsigned long long kept = kel_database_set_timeout(
      [&] {
        fired++;
        if (std::this_thread::get_id() != service_thread) on_service_thread = false;
      },
      10, __FILE__, __LINE__);
  const unsigned long long dropped = kel_database_set_timeout([&] { cleared_fired++; }, 30, __FILE__, __LINE__);
  kel_database_clear_timeout(dropped);
  // Runs after both of the timers above were due.
  kel_database_set_timeout([&] { last.set_value(); }, 80, __FILE__, __LINE__);

  std::atomic<int> ticks{0};
  kel_database_set_interval(
      [&] {
        if (std::this_thread::get_id() != service_thread) on_service_thread = false;
        return ++ticks < 3;  // the third tick ends the interval
      },
      5, __FILE__, __LINE__);
  std::atomic<int> cleared_ticks{0};
  const unsigned long long endless =
      kel_database_set_interval([&] { return ++cleared_ticks < 1000000; }, 1, __FILE__, __LINE__);

  ASSERT_EQ(last.get_future().wait_for(5s), std::future_status::ready);
  kel_database_clear_interval(endless);
  const int ticks_at_clear = cleared_ticks;
  ASSERT_TRUE(drain_service());
  ASSERT_TRUE(run_on_service([] { std::this_thread::sleep_for(20ms); }));

  EXPECT_NE(kept, dropped);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(cleared_fired, 0);
  EXPECT_EQ(ticks, 3);
  EXPECT_TRUE(on_service_thread);
  EXPECT_GE(ticks_at_clear, 1);
  EXPECT_LE(cleared_ticks - ticks_at_clear, 1);  // at most the tick already under way
  ASSERT_TRUE(shutdown_within());
}

TEST(DatabaseService, ShutdownWaitsForTheLastObjectsRelease) {
  kel_database_init();
  auto first = kel_sqlite_new(":memory:", "first");
  auto second = kel_sqlite_new(":memory:", "second");
  ASSERT_EQ(kel_sqlite_open(first), 0);

  stdout_capture out;
  {
    pending_shutdown shutdown;
    EXPECT_FALSE(shutdown.finished(200ms));
    EXPECT_EQ(kel_system_running_services(), 1);
    // The service keeps serving while it waits.
    EXPECT_TRUE(run_on_service([] {}));

    kel_sqlite_destroy(first, __FILE__, __LINE__);
    ASSERT_TRUE(drain_service());
    EXPECT_FALSE(shutdown.finished(100ms));

    kel_sqlite_destroy(second, __FILE__, __LINE__);
    EXPECT_TRUE(shutdown.finished(5s));
  }
  EXPECT_EQ(out.finish(), kRequest + count_line(1) + count_line(0) + kStopped + kDone);
  EXPECT_FALSE(kel_sqlite_is_opened(first));
}

TEST(DatabaseService, ReleasesPrintTheCountLeft) {
  kel_database_init();
  auto a = kel_sqlite_new(":memory:", "a");
  auto b = kel_sqlite_new(":memory:", "b");
  auto c = kel_sqlite_new(":memory:", "c");
  stdout_capture out;
  kel_sqlite_destroy(b, __FILE__, __LINE__);
  kel_sqlite_destroy(a, __FILE__, __LINE__);
  kel_sqlite_destroy(c, __FILE__, __LINE__);
  ASSERT_TRUE(drain_service());
  EXPECT_EQ(out.finish(), count_line(2) + count_line(1) + count_line(0));
  ASSERT_TRUE(shutdown_within());
}

TEST(DatabaseService, ANewServiceIsNotStoppedByAReleaseItDidNotAskFor) {
  kel_database_init();
  ASSERT_TRUE(shutdown_within());
  ASSERT_EQ(kel_system_running_services(), 0);

  kel_database_init();
  auto object = kel_sqlite_new(":memory:", "late");
  kel_sqlite_destroy(object, __FILE__, __LINE__);
  ASSERT_TRUE(drain_service());
  // The release emptied the live-object list; nobody asked this service to stop.
  EXPECT_TRUE(run_on_service([] {}, 1s));
  EXPECT_EQ(kel_system_running_services(), 1);
  ASSERT_TRUE(shutdown_within());
}

TEST(DatabaseService, WithoutAServiceWorkIsDroppedQuietly) {
  std::atomic<bool> ran{false};
  stdout_capture out;
  kel_database_exec([&] { ran = true; }, __FILE__, __LINE__);
  EXPECT_EQ(kel_database_set_timeout([&] { ran = true; }, 1, __FILE__, __LINE__), 0u);
  EXPECT_EQ(kel_database_set_interval([&] { return ran = true; }, 1, __FILE__, __LINE__), 0u);
  kel_database_clear_timeout(1);
  kel_database_clear_interval(1);
  EXPECT_EQ(kel_database_run_once(), -1);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(ran);
  EXPECT_EQ(out.finish(), "");
}

TEST(DatabaseService, RunOnceLetsOneWaitingJobThroughFromAJob) {
  kel_database_init();
  EXPECT_EQ(kel_database_run_once(), -1);  // never runs a job off the service thread
  std::vector<int> order;
  int nested = -2;
  // Holds the service until both jobs below are queued.
  std::promise<void> gate;
  kel_database_exec([opened = gate.get_future().share()] { opened.wait(); }, __FILE__, __LINE__);
  kel_database_exec(
      [&] {
        order.push_back(1);
        nested = kel_database_run_once();
        order.push_back(3);
      },
      __FILE__, __LINE__);
  kel_database_exec([&] { order.push_back(2); }, __FILE__, __LINE__);
  gate.set_value();
  ASSERT_TRUE(drain_service());
  EXPECT_EQ(nested, 1);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  ASSERT_TRUE(shutdown_within());
}
