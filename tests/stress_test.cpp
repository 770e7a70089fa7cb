// The database service and the release of Connection objects under load from
// many threads: a million queued jobs, one object destroyed by many threads
// together, and a shutdown asked for while releases are still queued. Every
// wait is bounded; under -DKEL_SANITIZE=thread this is also the race test of
// the service, the live-object list and the registry.
#include "test_support.h"

#include <gtest/gtest.h>

#include <boost/weak_ptr.hpp>

#include <algorithm>
#include <atomic>
#include <future>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace kel_test;

namespace {

using handle = boost::shared_ptr<_kel_sqlite>;

// Lets threads start together, so that their calls overlap as much as they can.
void start_together(std::atomic<int>& waiting) {
  for (--waiting; waiting.load() > 0;) std::this_thread::yield();
}

// Holds the service thread while it lives (60 s at most), so that the jobs
// queued behind it, releases among them, wait their turn.
class service_gate {
 public:
  service_gate() {
    kel_database_exec([opened = opened_.get_future().share()] { opened.wait_for(60s); }, __FILE__, __LINE__);
  }
  ~service_gate() { opened_.set_value(); }

 private:
  std::promise<void> opened_;
};

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

std::string without_newlines(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
  return text;
}

// The count lines a release each writes, from `from` objects left down to 0.
std::string count_lines_down_from(int from) {
  std::string lines;
  for (int left = from; left >= 0; --left)
    lines += "left objects in database reference count: " + std::to_string(left) + "\n";
  return lines;
}

// Objects of several kinds: open with a statement in progress, open, never opened.
std::vector<handle> make_objects(int n, const std::string& prefix) {
  std::vector<handle> objects;
  for (int i = 0; i < n; ++i) {
    objects.push_back(kel_sqlite_new(":memory:", prefix + std::to_string(i)));
    if (i % 3 != 2) {
      EXPECT_EQ(kel_sqlite_open(objects.back()), 0);
    }
    if (i % 3 == 0) {
      EXPECT_EQ(kel_sqlite_prepare(objects.back(), "SELECT 1 UNION ALL SELECT 2"), 0);
      EXPECT_EQ(kel_sqlite_step(objects.back()), 100);  // a row: the statement is in progress
    }
  }
  return objects;
}

// Drops the caller's handles; returns how many objects outlived them.
size_t alive_after_dropping(std::vector<handle>& objects) {
  const std::vector<boost::weak_ptr<_kel_sqlite>> watched(objects.begin(), objects.end());
  objects.clear();
  return std::count_if(watched.begin(), watched.end(), [](const auto& object) { return !object.expired(); });
}

// `threads` threads destroy the objects between them, each every threads-th
// one; `destroyed` counts the calls made.
std::vector<std::thread> destroy_in_turns(std::vector<handle>& objects, int threads, std::atomic<int>& waiting,
                                          std::atomic<int>& destroyed) {
  std::vector<std::thread> started;
  for (int t = 0; t < threads; ++t) {
    started.emplace_back([&objects, &waiting, &destroyed, threads, t] {
      start_together(waiting);
      for (size_t i = t; i < objects.size(); i += threads) {
        kel_sqlite_destroy(objects[i], "racer.cpp", static_cast<int>(i));
        ++destroyed;
      }
    });
  }
  return started;
}

// The join handler writes its request on the shutting-down thread while the
// service thread writes count lines, and its newline may land inside one; so
// the rest, newlines aside, must be one count line per release down to 0,
// then the two end lines (the service did not stop early).
void expect_releases_then_stop(const std::string& text, int objects) {
  const std::string request = "DATABASE SERVICE SHOT DONW REQUEST";
  const std::string expected =
      count_lines_down_from(objects - 1) + "DATABASE THREAD SERVICE STOPPED\nDATABASE SERVICE DONE\n";
  EXPECT_EQ(occurrences(text, request), 1u) << text;
  const size_t at = text.find(request);
  ASSERT_NE(at, std::string::npos) << text;
  EXPECT_LT(at, text.find("DATABASE THREAD SERVICE STOPPED")) << text;
  EXPECT_EQ(without_newlines(text.substr(0, at) + text.substr(at + request.size())), without_newlines(expected))
      << text;
  EXPECT_EQ(occurrences(text, "\n"), occurrences(expected, "\n") + 1) << text;
  EXPECT_RUNNING_SERVICES(0);
}

TEST(Stress, EightThreadsQueueAMillionJobsThatEachRunOnceInTheirOrder) {
  constexpr int kThreads = 8;
  constexpr int kJobsPerThread = 125000;
  kel_database_init();
  // Written only on the service thread; read here after the drain, whose
  // completion orders those writes before the reads. A job that ran twice,
  // early or never breaks the count of its thread's next job.
  std::vector<int> next_of_thread(kThreads, 0);
  int out_of_order = 0;
  int elsewhere = 0;
  std::thread::id service_thread;
  ASSERT_TRUE(run_on_service([&] { service_thread = std::this_thread::get_id(); }));

  std::atomic<int> waiting{kThreads};
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      start_together(waiting);
      for (int i = 0; i < kJobsPerThread; ++i) {
        kel_database_exec(
            [&, t, i] {
              out_of_order += next_of_thread[t] != i ? 1 : 0;
              next_of_thread[t] = i + 1;
              elsewhere += std::this_thread::get_id() != service_thread ? 1 : 0;
            },
            __FILE__, __LINE__);
      }
    });
  }
  for (auto& producer : producers) producer.join();
  // Queued after every job: when it has run, all of them have.
  ASSERT_TRUE(drain_service(100s)) << "the service did not work through a million jobs in 100 s";
  EXPECT_EQ(out_of_order, 0) << "jobs of one thread ran out of the order it queued them in, or twice";
  EXPECT_EQ(next_of_thread, std::vector<int>(kThreads, kJobsPerThread)) << "jobs never ran";
  EXPECT_EQ(elsewhere, 0) << "jobs ran on another thread than the service's";
  EXPECT_TRUE(shutdown_within(30s));
}

// Also: format flags left on the shared std::cout, by the program or by
// concurrent writers, must not reach the numbers in the library's lines.
TEST(Stress, ManyThreadsDestroyingTheSameObjectsReleaseEachExactlyOnce) {
  constexpr int kThreads = 16;
  constexpr int kObjects = 48;
  kel_database_init();
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<handle> objects = make_objects(kObjects, "round" + std::to_string(round) + "-");
    stdout_capture out;
    std::cout << std::hex << std::showbase << std::showpos;
    {
      // The releases wait behind the gate until every destroy has returned,
      // so the count lines come out whole, after the refusals.
      service_gate gate;
      std::atomic<int> waiting{kThreads}, refused{0};
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
          start_together(waiting);
          // Each thread goes through the objects from another place.
          for (int i = 0; i < kObjects; ++i)
            refused += kel_sqlite_destroy(objects[(i + t * 7) % kObjects], "racer.cpp", t) ? 0 : 1;
        });
      }
      for (auto& thread : threads) thread.join();
      EXPECT_EQ(refused.load(), 0) << "a refused destroy must still answer true";
      kel_sqlite_destroy(objects[0], "program.cpp", 43);  // a refusal that nothing interleaves
    }
    const bool drained = drain_service(30s);
    std::cout << std::dec << std::noshowbase << std::noshowpos;
    ASSERT_TRUE(drained);
    const std::string text = out.finish();

    const size_t first_count = text.find("left objects in database reference count: ");
    ASSERT_NE(first_count, std::string::npos) << text;
    const std::string refusals = text.substr(0, first_count);
    // Exactly one destroy per object was accepted. (Lines of different threads
    // may interleave piece by piece; this text is one piece.)
    EXPECT_EQ(occurrences(refusals, "CALLING DESTROY MULTIPLE TIMES IS NOT AN OPTION "),
              static_cast<size_t>(kObjects * (kThreads - 1) + 1));
    EXPECT_EQ(occurrences(refusals, "\033[0;35m[kel_sqlite]\033[0;0m-program.cpp:43\n"), 1u);
    // One release each, in turn, the count in decimal after all those refusals.
    EXPECT_EQ(text.substr(first_count), count_lines_down_from(kObjects - 1));
    // An object left open would still be held by the name registry.
    EXPECT_EQ(alive_after_dropping(objects), 0u) << "released objects not freed when their last handle went";
  }
  EXPECT_TRUE(shutdown_within(30s));
}

TEST(Stress, ShutdownAskedWhileReleasesAreQueuedCompletesAfterTheLast) {
  constexpr int kThreads = 6;
  constexpr int kObjects = 150;
  kel_database_init();
  std::vector<handle> objects = make_objects(kObjects, "queued-");
  stdout_capture out;
  std::future<void> shutdown;
  {
    service_gate gate;
    std::atomic<int> waiting{kThreads}, destroyed{0};
    for (auto& thread : destroy_in_turns(objects, kThreads, waiting, destroyed)) thread.join();
    // Every release is queued behind the gate: the shutdown must wait for all.
    shutdown = std::async(std::launch::async, [] { kel_system_shutdown(); });
    EXPECT_EQ(shutdown.wait_for(200ms), std::future_status::timeout) << "shutdown did not wait for the releases";
  }
  ASSERT_EQ(shutdown.wait_for(60s), std::future_status::ready) << "shutdown hung after the releases";
  expect_releases_then_stop(out.finish(), kObjects);
  EXPECT_EQ(alive_after_dropping(objects), 0u);
}

TEST(Stress, ShutdownRacingDestroysCompletesInEveryOrder) {
  constexpr int kThreads = 4;
  constexpr int kObjects = 40;
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 12 && !testing::Test::HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    kel_database_init();  // a new service each round, after the previous one finished
    std::vector<handle> objects = make_objects(kObjects, "race-");
    const int shutdown_after = std::uniform_int_distribution<int>(0, kObjects)(random);
    stdout_capture out;
    std::atomic<int> waiting{kThreads + 1}, destroyed{0};
    std::vector<std::thread> threads = destroy_in_turns(objects, kThreads, waiting, destroyed);
    // The shutdown is asked for somewhere among the destroys.
    auto shutdown = std::async(std::launch::async, [&] {
      start_together(waiting);
      while (destroyed.load() < shutdown_after) std::this_thread::yield();
      kel_system_shutdown();
    });
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(shutdown.wait_for(60s), std::future_status::ready) << "shutdown hung";
    expect_releases_then_stop(out.finish(), kObjects);
    EXPECT_EQ(alive_after_dropping(objects), 0u);
  }
}

}  // namespace
