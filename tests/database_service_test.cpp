// The database service on the real host runtime: work without a service, one
// service for every init, and the shutdown that waits for every Connection
// object. (What is handed to the host is checked in the forwarding test, what
// the host does with it in the host runtime test.)
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
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

  // With no objects, a shutdown stops the service at once.
  kel_database_init();
  stdout_capture out;
  kel_system_shutdown();
  EXPECT_EQ(out.finish(), kRequest + kStopped + kDone);
  EXPECT_RUNNING_SERVICES(0);

  // The release that empties the list does not stop a new service: nobody asked this one to stop.
  kel_database_init();
  auto object = kel_sqlite_new(":memory:", "late");
  kel_sqlite_destroy(object, __FILE__, __LINE__);
  drain_service();
  EXPECT_RUNNING_SERVICES(1);
  kel_system_shutdown();
}

TEST(DatabaseService, ReleasesPrintTheCountLeftAndShutdownWaitsForTheLast) {
  kel_database_init();
  auto first = kel_sqlite_new(":memory:", "first");
  auto second = kel_sqlite_new(":memory:", "second");
  auto third = kel_sqlite_new(":memory:", "third");
  ASSERT_EQ(kel_sqlite_open(first), 0);

  stdout_capture out;
  kel_sqlite_destroy(second, __FILE__, __LINE__);  // not the newest: the count is of those left, in any order
  drain_service();
  std::future<void> shutdown = start_shutdown();
  EXPECT_EQ(shutdown.wait_for(200ms), std::future_status::timeout);
  EXPECT_RUNNING_SERVICES(1);
  run_on_service([] {});  // the service keeps serving while it waits

  kel_sqlite_destroy(first, __FILE__, __LINE__);
  drain_service();
  EXPECT_EQ(shutdown.wait_for(100ms), std::future_status::timeout);
  kel_sqlite_destroy(third, __FILE__, __LINE__);
  shutdown.wait();
  EXPECT_EQ(out.finish(), count_line(2) + kRequest + count_line(1) + count_line(0) + kStopped + kDone);
}
