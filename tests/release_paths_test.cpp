// Releases and queued work at the edges of a service's life: no service yet,
// none any more, or one that is stopping. Nothing may be lost (an object left
// on the live-object list keeps every later shutdown waiting) and nothing may
// be dropped while the service mutex is held (what a job captured may call
// back into the library as it goes).
//
// This program defines the host's kel_thread_service_new and
// kel_thread_service_stop itself, forwarding both to the runtime, to see the
// service the library creates and to know when the library has asked it to
// stop.
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>

using namespace kel_test;

namespace {

using service_ptr = boost::shared_ptr<_kel_thread_service>;

const std::string kRequest = "DATABASE SERVICE SHOT DONW REQUEST\n";
const std::string kStopped = "DATABASE THREAD SERVICE STOPPED\n";
const std::string kDone = "DATABASE SERVICE DONE\n";

std::string count_line(int left) { return "left objects in database reference count: " + std::to_string(left) + "\n"; }

std::mutex host_mutex;
service_ptr last_created;
std::promise<void>* on_stop = nullptr;  // set while a test waits for a stop request

// Calls back into the library from its destructor, as a job's capture may.
struct calls_back_when_dropped {
  explicit calls_back_when_dropped(std::atomic<int>& dropped) : dropped_(dropped) {}
  ~calls_back_when_dropped() {
    kel_database_clear_timeout(0);
    ++dropped_;
  }
  std::atomic<int>& dropped_;
};

// A service asked to stop (by a shutdown on a thread of its own) whose
// thread is kept busy by a job until go_on(): until then the stop cannot
// complete, and work queued on the service may never run.
class stopping_service {
 public:
  stopping_service() {
    kel_database_init();
    std::promise<void> started;
    kel_database_exec(
        [&started, go = go_.get_future().share()] {
          started.set_value();
          go.wait();
        },
        __FILE__, __LINE__);
    started.get_future().wait();
    std::promise<void> stop_sent;
    {
      std::lock_guard<std::mutex> lock(host_mutex);
      on_stop = &stop_sent;
    }
    shutdown_ = std::thread([] { kel_system_shutdown(); });
    stop_sent.get_future().wait();  // the shutdown has asked the service to stop
    std::lock_guard<std::mutex> lock(host_mutex);
    on_stop = nullptr;  // the promise goes with this constructor
  }
  ~stopping_service() {
    if (shutdown_.joinable()) finish();
  }
  void go_on() {
    if (!released_) go_.set_value();
    released_ = true;
  }
  // Lets the job end, then waits for the shutdown to return.
  void finish() {
    go_on();
    shutdown_.join();
  }

 private:
  std::promise<void> go_;
  std::thread shutdown_;
  bool released_ = false;
};

}  // namespace

service_ptr kel_thread_service_new(std::string name) {
  static const auto create_real = next_definition(&kel_thread_service_new);
  service_ptr created = create_real(std::move(name));
  std::lock_guard<std::mutex> lock(host_mutex);
  last_created = created;
  return created;
}

// Armed by a test, the framework's unref (a release's next-to-last step)
// waits until the test lets it go on.
std::atomic<bool> unref_waits{false};
std::promise<void> unref_entered;
std::shared_future<void> unref_go;

void kel_object_unref_real(boost::shared_ptr<_kel_object> obj) {
  static const auto unref_real = next_definition(&kel_object_unref_real);
  if (unref_waits.exchange(false)) {
    unref_entered.set_value();
    unref_go.wait();
  }
  unref_real(std::move(obj));
}

void kel_thread_service_stop(service_ptr svc, std::function<void(service_ptr)> callback) {
  static const auto stop_real = next_definition(&kel_thread_service_stop);
  stop_real(std::move(svc), std::move(callback));
  std::lock_guard<std::mutex> lock(host_mutex);
  if (on_stop != nullptr) std::exchange(on_stop, nullptr)->set_value();
}

TEST(ReleasePaths, WithNoServiceADestroyReleasesAtOnceAndNoShutdownWaitsForIt) {
  temp_dir dir;
  // Before the first service.
  auto early = kel_sqlite_new(dir.path("early.db"), "early");
  ASSERT_EQ(kel_sqlite_open(early), 0);
  stdout_capture out;
  EXPECT_TRUE(kel_sqlite_destroy(early, __FILE__, __LINE__));
  EXPECT_EQ(out.finish(), count_line(0));
  EXPECT_FALSE(kel_sqlite_is_opened(early));
  EXPECT_EQ(kel_database_get_sqlite("early"), nullptr);
  EXPECT_FALSE(kel_sqlite_to_object(early)->is_reffed());
  EXPECT_EQ(early.use_count(), 1);

  kel_database_init();
  stdout_capture first;
  kel_system_shutdown();  // never returns if a release made before the service was lost
  EXPECT_EQ(first.finish(), kRequest + kStopped + kDone);

  // After the service has finished, an object never opened, then one open.
  auto never = kel_sqlite_new(dir.path("never.db"), "never");
  auto late = kel_sqlite_new(dir.path("late.db"), "late");
  ASSERT_EQ(kel_sqlite_open(late), 0);
  stdout_capture after;
  kel_sqlite_destroy(never, __FILE__, __LINE__);
  kel_sqlite_destroy(late, __FILE__, __LINE__);
  EXPECT_EQ(after.finish(), count_line(1) + count_line(0));
  EXPECT_FALSE(kel_sqlite_is_opened(late));

  kel_database_init();
  kel_system_shutdown();  // never returns if a release made after the service had finished was lost
}

TEST(ReleasePaths, AReleaseQueuedWhileTheServiceStopsRunsOnceItHasFinished) {
  temp_dir dir;
  stdout_capture out;
  stopping_service stopping;
  auto object = kel_sqlite_new(dir.path("late.db"), "late");
  ASSERT_EQ(kel_sqlite_open(object), 0);
  kel_sqlite_destroy(object, __FILE__, __LINE__);
  stopping.finish();
  EXPECT_EQ(out.finish(), kRequest + kStopped + kDone + count_line(0));
  EXPECT_FALSE(kel_sqlite_is_opened(object));
  EXPECT_FALSE(kel_sqlite_to_object(object)->is_reffed());
  EXPECT_EQ(object.use_count(), 1);

  kel_database_init();
  kel_system_shutdown();  // never returns if the release was lost
}

TEST(ReleasePaths, NoNewServiceStartsBeforeTheHeldReleasesHaveRun) {
  temp_dir dir;
  stdout_capture out;
  stopping_service stopping;
  auto object = kel_sqlite_new(dir.path("held.db"), "held");
  ASSERT_EQ(kel_sqlite_open(object), 0);
  kel_sqlite_destroy(object, __FILE__, __LINE__);  // held: the service is stopping

  // The held release stops in the middle, its object closed but the release not done.
  std::promise<void> let_go;
  unref_go = let_go.get_future().share();
  std::future<void> entered = unref_entered.get_future();
  unref_waits = true;
  {
    std::lock_guard<std::mutex> lock(host_mutex);
    last_created = nullptr;
  }
  stopping.go_on();
  entered.wait();
  // A new service now would run jobs while the old service's thread still
  // releases an object that they could reach.
  kel_database_init();
  {
    std::lock_guard<std::mutex> lock(host_mutex);
    EXPECT_EQ(last_created, nullptr) << "a new service started while a held release was running";
  }
  let_go.set_value();
  stopping.finish();
  EXPECT_EQ(out.finish(), kRequest + kStopped + kDone + count_line(0));
  EXPECT_EQ(object.use_count(), 1);

  kel_database_init();
  {
    std::lock_guard<std::mutex> lock(host_mutex);
    EXPECT_NE(last_created, nullptr);
  }
  kel_system_shutdown();
}

TEST(ReleasePaths, WithNoServiceNoJobIsDroppedUnderTheServiceMutex) {
  std::atomic<int> dropped{0};
  // Before any service: the host has nowhere to queue the job and drops it.
  // Dropped under the service mutex, the job's capture would call back into
  // the library and deadlock here.
  kel_database_exec([guard = std::make_shared<calls_back_when_dropped>(dropped)] {}, __FILE__, __LINE__);
  kel_database_set_timeout([guard = std::make_shared<calls_back_when_dropped>(dropped)] {}, 1, __FILE__, __LINE__);
  kel_database_set_interval([guard = std::make_shared<calls_back_when_dropped>(dropped)] { return false; }, 1, __FILE__,
                            __LINE__);
  EXPECT_EQ(dropped, 3);
}

TEST(ReleasePaths, WorkLeftInAFinishedServiceIsNotDroppedUnderTheServiceMutex) {
#ifdef KEL_SYSTEM_EXTERNAL
  GTEST_SKIP() << "when a framework's runtime drops a finished service's work is the runtime's";
#else
  std::atomic<int> dropped{0};
  // A job queued after the service stopped stays in it until the runtime
  // reaps the finished service, which the next kel_database_init has it do.
  kel_database_init();
  service_ptr first;
  {
    std::lock_guard<std::mutex> lock(host_mutex);
    first = std::exchange(last_created, nullptr);
  }
  ASSERT_NE(first, nullptr);
  stdout_capture out;
  kel_thread_service_stop(first, [&dropped](service_ptr) {
    kel_database_exec([guard = std::make_shared<calls_back_when_dropped>(dropped)] {}, __FILE__, __LINE__);
  });
  wait_until([] { return kel_system_running_services() == 0; });
  first.reset();
  EXPECT_EQ(out.finish(), kDone);
  EXPECT_EQ(dropped, 0);

  kel_database_init();  // reaps the finished service: a drop under the service mutex deadlocks here
  wait_until([&] { return dropped == 1; });
  kel_system_shutdown();
#endif
}
