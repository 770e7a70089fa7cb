// Destroying Connection objects: the mark, the release on the service thread,
// the diagnostics of a refused destroy, and the destructor's close.
#include "test_support.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <boost/weak_ptr.hpp>

#include <regex>
#include <set>
#include <thread>

using namespace kel_test;

namespace {

std::string count_line(int left) { return "left objects in database reference count: " + std::to_string(left) + "\n"; }

bool destroyed_mark(const boost::shared_ptr<_kel_sqlite>& object) {
  auto base = kel_sqlite_to_object(object);
  return boost::any_cast<bool>(base->properties.at("object-destroyed"));
}

// True when a fresh connection can take an exclusive lock on the file, that
// is when no other connection still holds it open in a transaction.
bool exclusive_lock_free(const std::string& path) {
  sqlite3* probe = nullptr;
  sqlite3_open_v2(path.c_str(), &probe, SQLITE_OPEN_READWRITE, nullptr);
  sqlite3_busy_timeout(probe, 0);
  const int rc = sqlite3_exec(probe, "BEGIN EXCLUSIVE; COMMIT;", nullptr, nullptr, nullptr);
  sqlite3_close(probe);
  return rc == SQLITE_OK;
}

class Destroy : public testing::Test {
 protected:
  void SetUp() override { kel_database_init(); }
  void TearDown() override { EXPECT_TRUE(shutdown_within()) << "an object was never released"; }
  temp_dir dir;
};

}  // namespace

TEST_F(Destroy, ReleaseClosesUnregistersAndLeavesTheList) {
  auto object = kel_sqlite_new(dir.path("a.db"), "books");
  ASSERT_EQ(kel_sqlite_open(object), 0);
  ASSERT_EQ(kel_sqlite_prepare(object, "SELECT 1"), 0);
  ASSERT_EQ(kel_database_get_sqlite("books"), object);
  ASSERT_EQ(kel_sqlite_prepare(object, "SELECT 1"), 0);
  EXPECT_FALSE(destroyed_mark(object));

  stdout_capture out;
  EXPECT_TRUE(kel_sqlite_destroy(object, "caller.cpp", 10));
  EXPECT_TRUE(destroyed_mark(object));
  ASSERT_TRUE(drain_service());
  EXPECT_EQ(out.finish(), count_line(0));

  EXPECT_FALSE(kel_sqlite_is_opened(object));
  EXPECT_EQ(kel_database_get_sqlite("books"), nullptr);
  EXPECT_FALSE(kel_sqlite_to_object(object)->is_reffed());
  // Only the test's handle is left.
  EXPECT_EQ(object.use_count(), 1);
  boost::weak_ptr<_kel_sqlite> watch = object;
  object.reset();
  EXPECT_TRUE(watch.expired());
}

TEST_F(Destroy, ASecondDestroyIsRefusedWithTheCallersPlace) {
  auto object = kel_sqlite_new(dir.path("a.db"), "twice");
  ASSERT_EQ(kel_sqlite_open(object), 0);
  kel_sqlite_destroy(object, "first.cpp", 1);
  ASSERT_TRUE(drain_service());

  stdout_capture out;
  EXPECT_TRUE(kel_sqlite_destroy(object, "app/main.cpp", 77));
  ASSERT_TRUE(drain_service());
  const std::string text = out.finish();
  const std::string refused =
      "\033[1;35mKEL-SYSTEM**WARNING**\033[0;0m: CALLING DESTROY MULTIPLE TIMES IS NOT AN OPTION "
      "\033[0;35m[kel_sqlite]\033[0;0m-app/main.cpp:77\n";
  ASSERT_EQ(text.compare(0, refused.size(), refused), 0) << text;
  // Then the object describes itself; no second release (no count line).
  EXPECT_EQ(text.find("left objects"), std::string::npos);
  EXPECT_TRUE(std::regex_match(text.substr(refused.size()), std::regex("object \\[kel_sqlite\\] @0x[0-9a-f]+\n")))
      << text;
}

TEST_F(Destroy, AClosedOrNeverOpenedObjectIsStillReleased) {
  auto never = kel_sqlite_new(dir.path("never.db"), "never");
  auto closed = kel_sqlite_new(dir.path("closed.db"), "closed");
  ASSERT_EQ(kel_sqlite_open(closed), 0);
  ASSERT_TRUE(kel_sqlite_close(closed));

  stdout_capture out;
  kel_sqlite_destroy(never, __FILE__, __LINE__);
  kel_sqlite_destroy(closed, __FILE__, __LINE__);
  ASSERT_TRUE(drain_service());
  EXPECT_EQ(out.finish(), count_line(1) + count_line(0));
  EXPECT_FALSE(kel_sqlite_to_object(never)->is_reffed());
  EXPECT_FALSE(kel_sqlite_to_object(closed)->is_reffed());
}

// Racing destroys print their warnings on the callers' threads while the
// releases print count lines on the service thread: every line must come out
// whole, and each object is released once.
TEST_F(Destroy, ConcurrentDestroysReleaseExactlyOnceAndPrintWholeLines) {
  constexpr int kObjects = 40;
  constexpr int kRacers = 4;
  std::vector<boost::shared_ptr<_kel_sqlite>> objects;
  for (int i = 0; i < kObjects; ++i) objects.push_back(kel_sqlite_new(":memory:", "o" + std::to_string(i)));
  for (auto& object : objects) ASSERT_EQ(kel_sqlite_open(object), 0);

  stdout_capture out;
  std::vector<std::thread> threads;
  for (int t = 0; t < kRacers; ++t) {
    threads.emplace_back([&objects] {
      for (auto& object : objects) kel_sqlite_destroy(object, "racer.cpp", 5);
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(drain_service());
  const std::string text = out.finish();

  const std::string refused =
      "\033[1;35mKEL-SYSTEM**WARNING**\033[0;0m: CALLING DESTROY MULTIPLE TIMES IS NOT AN OPTION "
      "\033[0;35m[kel_sqlite]\033[0;0m-racer.cpp:5\n";
  const std::regex description("object \\[kel_sqlite\\] @0x[0-9a-f]+\n");
  std::multiset<int> counts;
  int refusals = 0;
  int descriptions = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    ASSERT_NE(end, std::string::npos) << "unterminated output: " << text.substr(at);
    const std::string line = text.substr(at, end + 1 - at);
    at = end + 1;
    if (line == refused) {
      ++refusals;
      continue;
    }
    // A refused destroy is followed by the object's description.
    if (std::regex_match(line, description)) {
      ++descriptions;
      continue;
    }
    int left = -1;
    for (int n = 0; n < kObjects && left < 0; ++n)
      if (line == count_line(n)) left = n;
    ASSERT_GE(left, 0) << "not a whole line: " << line;
    counts.insert(left);
  }
  EXPECT_EQ(refusals, kObjects * (kRacers - 1));
  EXPECT_EQ(descriptions, refusals);
  // One count line per release, counting down from kObjects - 1 to 0.
  std::multiset<int> expected;
  for (int n = 0; n < kObjects; ++n) expected.insert(n);
  EXPECT_EQ(counts, expected);
}

TEST_F(Destroy, ANonBoolMarkIsReportedAndNothingIsReleased) {
  auto object = kel_sqlite_new(dir.path("a.db"), "odd");
  ASSERT_EQ(kel_sqlite_open(object), 0);
  kel_sqlite_to_object(object)->properties["object-destroyed"] = std::string("yes");

  const std::string failed =
      "\033[1;31mKEL-SYSTEM**ERROR**\033[0;0m: bad cast destroy any: src/kel_database/kel_sqlite.cpp:29 - "
      "boost::bad_any_cast: failed conversion using boost::any_cast\n";
  stdout_capture out;
  EXPECT_TRUE(kel_sqlite_destroy(object, __FILE__, __LINE__));
  EXPECT_TRUE(kel_sqlite_destroy(object, __FILE__, __LINE__));
  ASSERT_TRUE(drain_service());
  EXPECT_EQ(out.finish(), failed + failed);
  EXPECT_TRUE(kel_sqlite_is_opened(object));
  EXPECT_EQ(kel_database_get_sqlite("odd"), object);

  // Mended by its owner, the object can be destroyed and released.
  kel_sqlite_to_object(object)->properties["object-destroyed"] = false;
  kel_sqlite_destroy(object, __FILE__, __LINE__);
}

TEST_F(Destroy, WithoutAMarkEveryDestroyQueuesAReleaseThatHappensOnce) {
  auto object = kel_sqlite_new(dir.path("a.db"), "unmarked");
  ASSERT_EQ(kel_sqlite_open(object), 0);
  kel_sqlite_to_object(object)->properties.erase("object-destroyed");

  stdout_capture out;
  kel_sqlite_destroy(object, __FILE__, __LINE__);
  kel_sqlite_destroy(object, __FILE__, __LINE__);
  ASSERT_TRUE(drain_service());
  // No warning, no key added, and the second release finds nothing to do.
  EXPECT_EQ(out.finish(), count_line(0));
  EXPECT_EQ(kel_sqlite_to_object(object)->properties.count("object-destroyed"), 0u);
  EXPECT_FALSE(kel_sqlite_is_opened(object));
}

TEST_F(Destroy, TheLastOwnerClosesAnOpenConnection) {
  const std::string path = dir.path("locked.db");
  // The name is held by `holder`, so `orphan` is not in the registry and its
  // handle below is its only owner once it has been released.
  auto holder = kel_sqlite_new(dir.path("other.db"), "shared-name");
  ASSERT_EQ(kel_sqlite_open(holder), 0);
  auto orphan = kel_sqlite_new(path, "shared-name");
  kel_sqlite_destroy(orphan, __FILE__, __LINE__);
  ASSERT_TRUE(drain_service());

  ASSERT_EQ(kel_sqlite_open(orphan), 0);
  ASSERT_EQ(kel_sqlite_sql_stmt(orphan, "CREATE TABLE t(x); BEGIN EXCLUSIVE; INSERT INTO t VALUES (1);", nullptr), 0);
  ASSERT_EQ(kel_sqlite_prepare(orphan, "SELECT x FROM t"), 0);
  ASSERT_EQ(kel_sqlite_step(orphan), 100);
  EXPECT_FALSE(exclusive_lock_free(path));

  assertion_log log;
  ASSERT_EQ(orphan.use_count(), 1);
  orphan.reset();
  EXPECT_EQ(log.calls(), (std::vector<assertion_call>{db_open(true, 324)}));
  EXPECT_TRUE(exclusive_lock_free(path));

  kel_sqlite_destroy(holder, __FILE__, __LINE__);
}

TEST_F(Destroy, EmptyHandle) {
  stdout_capture out;
  EXPECT_FALSE(kel_sqlite_destroy(boost::shared_ptr<_kel_sqlite>(), "x.cpp", 1));
  EXPECT_EQ(out.finish(), null_object_line("kel_sqlite_destroy"));
}
