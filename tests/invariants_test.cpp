// The library's internal invariants, where a host breaks its promise to run
// nothing on the calling thread from inside the calls the library makes with
// the service mutex held: in a build that checks them, the library stops the
// process at once, naming the broken rule, where it would otherwise wait for
// its own mutex forever. Release builds check nothing; there those cases are
// skipped (the library and this program are built with the same NDEBUG, and
// tests/CMakeLists.txt gives this program KEL_ENABLE_ASSERTS when it gives
// the library that).
//
// This program defines the host's kel_thread_service_on_finished,
// kel_thread_service_stop and kel_thread_service_exec itself, forwarding each
// to the runtime unless a case has armed it to misbehave.
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>

using namespace kel_test;

namespace {

using service_ptr = boost::shared_ptr<_kel_thread_service>;
using finished_function = std::function<void(service_ptr, int)>;

#if !defined(NDEBUG) || defined(KEL_ENABLE_ASSERTS)
constexpr bool kInvariantsChecked = true;
#else
constexpr bool kInvariantsChecked = false;
#endif

// What the library reports for a mutex taken again on the thread that holds it.
const char* const kTakenTwice = "kel_database: internal invariant broken: !held_here\\(\\)";

std::mutex host_mutex;
finished_function last_finished_handler;
std::atomic<bool> stop_runs_handlers{false};  // the finished handler inside the stop call
std::atomic<bool> exec_runs_jobs{false};      // a queued job inside the exec call

}  // namespace

void kel_thread_service_on_finished(service_ptr svc, finished_function handler) {
  static const auto on_finished_real = next_definition(&kel_thread_service_on_finished);
  {
    std::lock_guard<std::mutex> lock(host_mutex);
    last_finished_handler = handler;
  }
  on_finished_real(std::move(svc), std::move(handler));
}

void kel_thread_service_stop(service_ptr svc, std::function<void(service_ptr)> callback) {
  static const auto stop_real = next_definition(&kel_thread_service_stop);
  if (stop_runs_handlers) {
    finished_function finished;
    {
      std::lock_guard<std::mutex> lock(host_mutex);
      finished = last_finished_handler;
    }
    if (callback) callback(svc);
    if (finished) finished(svc, 0);
    return;
  }
  stop_real(std::move(svc), std::move(callback));
}

void kel_thread_service_exec(service_ptr svc, std::function<void()> job, std::string file, int line) {
  static const auto exec_real = next_definition(&kel_thread_service_exec);
  if (exec_runs_jobs && svc && job) {
    job();
    return;
  }
  exec_real(std::move(svc), std::move(job), std::move(file), line);
}

class Invariants : public ::testing::Test {
 protected:
  void SetUp() override {
    // The runtime's service threads are running: the child starts afresh.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
  }
};

#define SKIP_UNLESS_CHECKED()                                                                      \
  do {                                                                                             \
    if (!kInvariantsChecked) GTEST_SKIP() << "this build does not check the library's invariants"; \
  } while (false)

TEST_F(Invariants, AFinishedHandlerRunInsideTheStopCallStopsTheProcessInsteadOfHanging) {
  SKIP_UNLESS_CHECKED();
  // The join handler asks for the stop with the service mutex held; the
  // finished handler, run right there, takes the same mutex.
  EXPECT_DEATH(
      {
        kel_database_init();
        stop_runs_handlers = true;
        kel_system_shutdown();
      },
      kTakenTwice);
}

TEST_F(Invariants, AJobRunInsideTheExecCallThatQueuesAnotherStopsTheProcessInsteadOfHanging) {
  SKIP_UNLESS_CHECKED();
  // kel_database_exec hands the job over with the service mutex held; the
  // job, run right there, queues another job, which takes the same mutex.
  EXPECT_DEATH(
      {
        kel_database_init();
        exec_runs_jobs = true;
        kel_database_exec([] { kel_database_exec([] {}, "inner.cpp", 2); }, "outer.cpp", 1);
      },
      kTakenTwice);
}

TEST_F(Invariants, WithTheHostKeepingItsPromiseTheSameCallsGoThrough) {
  // The same sequences against the runtime as it is: the job queued from a
  // job runs, and the shutdown returns with the service's three lines.
  kel_database_init();
  std::promise<void> inner_ran;
  kel_database_exec([&inner_ran] { kel_database_exec([&inner_ran] { inner_ran.set_value(); }, "inner.cpp", 2); },
                    "outer.cpp", 1);
  inner_ran.get_future().wait();
  stdout_capture out;
  kel_system_shutdown();
  EXPECT_EQ(out.finish(),
            "DATABASE SERVICE SHOT DONW REQUEST\nDATABASE THREAD SERVICE STOPPED\nDATABASE SERVICE DONE\n");
}
