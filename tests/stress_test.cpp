// The database service and the release of Connection objects under load from
// many threads at once: a million queued jobs, one object destroyed by many
// threads together, and a shutdown asked for while releases are still
// queued. Every wait is bounded; built with -DKEL_SANITIZE=thread this is
// also the race test of the service, the live-object list and the registry.
#include "test_support.h"

#include <gtest/gtest.h>

#include <boost/weak_ptr.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace kel_test;

namespace {

using handle = boost::shared_ptr<_kel_sqlite>;

// Lets threads start together, so that their calls overlap as much as they can.
class start_line {
 public:
  explicit start_line(int runners) : waiting_(runners) {}
  void arrive_and_wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (--waiting_ == 0) {
      changed_.notify_all();
      return;
    }
    changed_.wait(lock, [this] { return waiting_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int waiting_;
};

// A job that holds the service thread until opened (or 60 s pass), so that
// the jobs queued behind it, release jobs among them, wait their turn.
class service_gate {
 public:
  service_gate() : state_(std::make_shared<state>()) {
    kel_database_exec(
        [state = state_] {
          std::unique_lock<std::mutex> lock(state->mutex);
          state->changed.wait_for(lock, 60s, [&] { return state->open; });
        },
        __FILE__, __LINE__);
  }
  ~service_gate() { open(); }
  void open() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->open = true;
    state_->changed.notify_all();
  }

 private:
  struct state {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
  };
  std::shared_ptr<state> state_;
};

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

std::string count_lines(size_t from, size_t to) {
  std::string lines;
  for (size_t left = from;; --left) {
    lines += "left objects in database reference count: " + std::to_string(left) + "\n";
    if (left == to) break;
  }
  return lines;
}

// Objects of several kinds: open with a statement in progress, open, never opened.
std::vector<handle> make_objects(int n, const std::string& prefix) {
  std::vector<handle> objects;
  for (int i = 0; i < n; ++i) {
    handle object = kel_sqlite_new(":memory:", prefix + std::to_string(i));
    if (i % 3 != 2) {
      EXPECT_EQ(kel_sqlite_open(object), 0);
    }
    if (i % 3 == 0) {
      EXPECT_EQ(kel_sqlite_prepare(object, "SELECT 1 UNION ALL SELECT 2"), 0);
      EXPECT_EQ(kel_sqlite_step(object), 100);
    }
    objects.push_back(object);
  }
  return objects;
}

std::vector<boost::weak_ptr<_kel_sqlite>> watch(const std::vector<handle>& objects) {
  return std::vector<boost::weak_ptr<_kel_sqlite>>(objects.begin(), objects.end());
}

size_t still_alive(const std::vector<boost::weak_ptr<_kel_sqlite>>& watched) {
  size_t alive = 0;
  for (const auto& object : watched) alive += object.expired() ? 0 : 1;
  return alive;
}

TEST(Stress, EightThreadsQueueAMillionJobsThatEachRunOnceInTheirOrder) {
  constexpr int kThreads = 8;
  constexpr int kJobsPerThread = 125000;
  constexpr int kJobs = kThreads * kJobsPerThread;
  kel_database_init();

  // Written only on the service thread; read here after the drain, whose
  // completion orders those writes before the reads.
  std::vector<std::uint8_t> runs(kJobs, 0);
  std::vector<int> next_of_thread(kThreads, 0);
  int out_of_order = 0;
  int elsewhere = 0;
  std::thread::id service_thread;
  ASSERT_TRUE(run_on_service([&] { service_thread = std::this_thread::get_id(); }));

  start_line start(kThreads);
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kJobsPerThread; ++i) {
        kel_database_exec(
            [&, t, i] {
              ++runs[static_cast<size_t>(t) * kJobsPerThread + i];
              if (next_of_thread[t] != i) ++out_of_order;
              next_of_thread[t] = i + 1;
              if (std::this_thread::get_id() != service_thread) ++elsewhere;
            },
            __FILE__, __LINE__);
      }
    });
  }
  for (auto& producer : producers) producer.join();
  // Queued after every job: when it has run, all of them have.
  ASSERT_TRUE(drain_service(100s)) << "the service did not work through a million jobs in 100 s";

  size_t never = 0;
  size_t twice = 0;
  for (std::uint8_t n : runs) {
    never += n == 0 ? 1 : 0;
    twice += n > 1 ? 1 : 0;
  }
  EXPECT_EQ(never, 0u);
  EXPECT_EQ(twice, 0u);
  EXPECT_EQ(out_of_order, 0) << "jobs of one thread ran out of the order it queued them in";
  EXPECT_EQ(elsewhere, 0) << "jobs ran on another thread than the service's";
  EXPECT_EQ(next_of_thread, std::vector<int>(kThreads, kJobsPerThread));
  EXPECT_TRUE(shutdown_within(30s));
}

TEST(Stress, ManyThreadsDestroyingTheSameObjectsReleaseEachExactlyOnce) {
  constexpr int kThreads = 16;
  constexpr int kObjects = 48;
  constexpr int kRounds = 4;
  kel_database_init();
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<handle> objects = make_objects(kObjects, "round" + std::to_string(round) + "-");
    const auto watched = watch(objects);

    stdout_capture out;
    {
      // The releases wait behind the gate until every destroy has returned,
      // so the count lines come out whole, after the refusals.
      service_gate gate;
      start_line start(kThreads);
      std::vector<std::thread> threads;
      std::atomic<int> refused_calls{0};
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
          start.arrive_and_wait();
          // Each thread goes through the objects from another place.
          for (int i = 0; i < kObjects; ++i) {
            if (!kel_sqlite_destroy(objects[(i + t * 7) % kObjects], "racer.cpp", t)) ++refused_calls;
          }
        });
      }
      for (auto& thread : threads) thread.join();
      EXPECT_EQ(refused_calls.load(), 0);  // destroy answers true for every object
    }
    ASSERT_TRUE(drain_service(30s));
    const std::string text = out.finish();

    const size_t first_count = text.find("left objects in database reference count: ");
    ASSERT_NE(first_count, std::string::npos) << text;
    const std::string destroys = text.substr(0, first_count);
    // Exactly one destroy per object was accepted; every other was refused.
    // (Lines of different threads may interleave piece by piece; this text
    // is one piece.)
    EXPECT_EQ(occurrences(destroys, "CALLING DESTROY MULTIPLE TIMES IS NOT AN OPTION "),
              static_cast<size_t>(kObjects * (kThreads - 1)));
    // One release each, in turn: the count goes down by one per object, in
    // decimal also after all those concurrent refusals.
    EXPECT_EQ(text.substr(first_count), count_lines(kObjects - 1, 0));

    for (const auto& object : objects) {
      EXPECT_FALSE(kel_sqlite_is_opened(object));
      EXPECT_FALSE(kel_sqlite_to_object(object)->is_reffed());
    }
    objects.clear();
    EXPECT_EQ(still_alive(watched), 0u) << "released objects not freed when their last handle went";
  }
  EXPECT_TRUE(shutdown_within(30s));
}

// The finding behind the check above: format flags on the shared std::cout,
// whether a program set them or concurrent writers left them behind, do not
// reach the library's numbers.
TEST(Stress, NumbersInTheLibrarysLinesStayDecimalWhateverFlagsStdoutCarries) {
  kel_database_init();
  handle first = kel_sqlite_new(":memory:", "first");
  handle second = kel_sqlite_new(":memory:", "second");
  stdout_capture out;
  {
    service_gate gate;  // the count line comes after the refusal
    std::cout << std::hex << std::showbase << std::showpos;
    kel_sqlite_destroy(first, "program.cpp", 42);
    kel_sqlite_destroy(first, "program.cpp", 43);
  }
  ASSERT_TRUE(drain_service());
  std::cout << std::dec << std::noshowbase << std::noshowpos;
  const std::string text = out.finish();
  const std::string refused =
      "\033[1;35mKEL-SYSTEM**WARNING**\033[0;0m: CALLING DESTROY MULTIPLE TIMES IS NOT AN OPTION "
      "\033[0;35m[kel_sqlite]\033[0;0m-program.cpp:43\n";
  EXPECT_EQ(text.substr(0, refused.size()), refused);
  const std::string count = "left objects in database reference count: 1\n";
  ASSERT_GE(text.size(), count.size());
  EXPECT_EQ(text.substr(text.size() - count.size()), count);
  kel_sqlite_destroy(second, __FILE__, __LINE__);
  EXPECT_TRUE(shutdown_within(10s));
}

// What the service writes while a shutdown waits for the releases. The join
// handler writes its line on the shutting-down thread while the service
// thread writes count lines, and the pieces of the two may interleave (its
// newline may land inside a count line). So the request is taken out, and
// the rest, newlines aside, must be the count lines down to 0, then the two
// end lines, with one newline more than those have.
struct shutdown_output {
  size_t requests = 0;
  bool requested_before_stop = false;
  std::string rest;  // without the request and without newlines
  size_t newlines = 0;
};

std::string without_newlines(const std::string& text) {
  std::string kept;
  for (char c : text) {
    if (c != '\n') kept += c;
  }
  return kept;
}

shutdown_output split_shutdown_output(const std::string& text) {
  const std::string request = "DATABASE SERVICE SHOT DONW REQUEST";
  shutdown_output out;
  out.requests = occurrences(text, request);
  const size_t at = text.find(request);
  out.requested_before_stop = at != std::string::npos && at < text.find("DATABASE THREAD SERVICE STOPPED");
  const std::string rest = at == std::string::npos ? text : text.substr(0, at) + text.substr(at + request.size());
  out.rest = without_newlines(rest);
  out.newlines = occurrences(text, "\n");
  return out;
}

void expect_releases_then_stop(const std::string& text, int objects) {
  const shutdown_output lines = split_shutdown_output(text);
  const std::string expected = count_lines(objects - 1, 0) + "DATABASE THREAD SERVICE STOPPED\nDATABASE SERVICE DONE\n";
  EXPECT_EQ(lines.requests, 1u) << text;
  EXPECT_TRUE(lines.requested_before_stop) << text;
  // One release each, then the service stops: it did not stop early.
  EXPECT_EQ(lines.rest, without_newlines(expected)) << text;
  EXPECT_EQ(lines.newlines, occurrences(expected, "\n") + 1) << text;
}

TEST(Stress, ShutdownAskedWhileReleasesAreQueuedCompletesAfterTheLast) {
  constexpr int kThreads = 6;
  constexpr int kObjects = 150;
  kel_database_init();
  std::vector<handle> objects = make_objects(kObjects, "queued-");
  const auto watched = watch(objects);

  stdout_capture out;
  std::future<void> shutdown;
  {
    service_gate gate;
    start_line start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        for (int i = t; i < kObjects; i += kThreads) kel_sqlite_destroy(objects[i], "racer.cpp", i);
      });
    }
    for (auto& thread : threads) thread.join();
    // Every release is queued behind the gate: the shutdown must wait for all.
    shutdown = std::async(std::launch::async, [] { kel_system_shutdown(); });
    EXPECT_EQ(shutdown.wait_for(200ms), std::future_status::timeout) << "shutdown did not wait for the releases";
  }
  ASSERT_EQ(shutdown.wait_for(60s), std::future_status::ready) << "shutdown hung after the releases";
  const std::string text = out.finish();

  expect_releases_then_stop(text, kObjects);
  EXPECT_EQ(kel_system_running_services(), 0);

  objects.clear();
  EXPECT_EQ(still_alive(watched), 0u);
}

TEST(Stress, ShutdownRacingDestroysCompletesInEveryOrder) {
  constexpr int kRounds = 12;
  constexpr int kThreads = 4;
  constexpr int kObjects = 40;
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // A new service each round, after the previous one finished.
    kel_database_init();
    std::vector<handle> objects = make_objects(kObjects, "race-");
    const auto watched = watch(objects);
    const int shutdown_after = std::uniform_int_distribution<int>(0, kObjects)(random);

    stdout_capture out;
    start_line start(kThreads + 1);
    std::atomic<int> destroyed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        for (int i = t; i < kObjects; i += kThreads) {
          kel_sqlite_destroy(objects[i], "racer.cpp", i);
          ++destroyed;
        }
      });
    }
    // The shutdown is asked for somewhere among the destroys.
    auto shutdown = std::async(std::launch::async, [&] {
      start.arrive_and_wait();
      while (destroyed.load() < shutdown_after) std::this_thread::yield();
      kel_system_shutdown();
    });
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(shutdown.wait_for(60s), std::future_status::ready) << "shutdown hung";
    const std::string text = out.finish();

    expect_releases_then_stop(text, kObjects);
    EXPECT_EQ(kel_system_running_services(), 0);
    objects.clear();
    EXPECT_EQ(still_alive(watched), 0u);
    if (testing::Test::HasFailure()) break;
  }
}

}  // namespace
