// Destroying Connection objects: the mark, the release on the service thread,
// the diagnostics of a refused destroy, and the destructor's close.
#include "test_support.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <regex>

using namespace kel_test;

namespace {

using handle = boost::shared_ptr<_kel_sqlite>;

std::string count_line(int left) { return "left objects in database reference count: " + std::to_string(left) + "\n"; }

std::string refused_line(const std::string& place) {
  return "\033[1;35mKEL-SYSTEM**WARNING**\033[0;0m: CALLING DESTROY MULTIPLE TIMES IS NOT AN OPTION "
         "\033[0;35m[kel_sqlite]\033[0;0m-" +
         place + "\n";
}

// What a refused destroy writes after its warning.
const std::regex kDescription("object \\[kel_sqlite\\] @0x[0-9a-f]+\n");

bool destroyed_mark(const handle& object) {
  return boost::any_cast<bool>(kel_sqlite_to_object(object)->properties.at("object-destroyed"));
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
  void TearDown() override { kel_system_shutdown(); }  // never returns if an object was never released

  handle opened(const std::string& name) {
    handle object = kel_sqlite_new(dir.path(name + ".db"), name);
    EXPECT_EQ(kel_sqlite_open(object), 0);
    return object;
  }

  temp_dir dir;
};

}  // namespace

TEST_F(Destroy, ReleaseClosesUnregistersAndDropsEveryReferenceOnceASecondDestroyIsRefused) {
  auto object = opened("books");
  ASSERT_EQ(kel_database_get_sqlite("books"), object);
  // A statement in progress holds a read lock on the file.
  ASSERT_EQ(kel_sqlite_sql_stmt(object, "CREATE TABLE t(x); INSERT INTO t VALUES(1), (2);", nullptr), 0);
  ASSERT_EQ(kel_sqlite_prepare(object, "SELECT x FROM t"), 0);
  ASSERT_EQ(kel_sqlite_step(object), SQLITE_ROW);

  stdout_capture out;
  EXPECT_TRUE(kel_sqlite_destroy(object, "caller.cpp", 10));
  EXPECT_TRUE(destroyed_mark(object));
  drain_service();
  EXPECT_EQ(out.finish(), count_line(0));
  EXPECT_FALSE(kel_sqlite_is_opened(object));
  EXPECT_EQ(kel_database_get_sqlite("books"), nullptr);
  EXPECT_FALSE(kel_sqlite_to_object(object)->is_reffed());
  EXPECT_TRUE(exclusive_lock_free(dir.path("books.db"))) << "the released statement still holds the file";

  // The second destroy names the caller's place, then the object describes itself; no second release.
  stdout_capture again;
  EXPECT_TRUE(kel_sqlite_destroy(object, "app/main.cpp", 77));
  drain_service();
  const std::string text = again.finish();
  const std::string refused = refused_line("app/main.cpp:77");
  ASSERT_EQ(text.compare(0, refused.size(), refused), 0) << text;
  EXPECT_TRUE(std::regex_match(text.substr(refused.size()), kDescription)) << text;
  EXPECT_EQ(object.use_count(), 1);  // nothing holds the object but the test's handle
}

TEST_F(Destroy, ClosedUnopenedAndUnmarkedObjectsAreEachReleasedOnce) {
  auto never = kel_sqlite_new(dir.path("never.db"), "never");
  auto closed = opened("closed");
  ASSERT_TRUE(kel_sqlite_close(closed));
  // Without a mark nothing is refused: every destroy queues a release, and the second finds nothing to do.
  auto unmarked = opened("unmarked");
  kel_sqlite_to_object(unmarked)->properties.erase("object-destroyed");
  // Many more, released out of order: the live-object list compacts the holes they leave.
  std::vector<handle> more(97);
  for (auto& object : more) object = kel_sqlite_new(":memory:", "more");

  stdout_capture out;
  for (const auto& object : {never, closed, unmarked, unmarked}) kel_sqlite_destroy(object, __FILE__, __LINE__);
  for (int i = 0; i < 97; ++i) kel_sqlite_destroy(more[i * 37 % 97], __FILE__, __LINE__);
  drain_service();
  std::string expected;
  for (int left = 99; left >= 0; --left) expected += count_line(left);
  EXPECT_EQ(out.finish(), expected);
  EXPECT_FALSE(kel_sqlite_to_object(never)->is_reffed());
  EXPECT_FALSE(kel_sqlite_to_object(closed)->is_reffed());
  EXPECT_EQ(kel_sqlite_to_object(unmarked)->properties.count("object-destroyed"), 0u);
  EXPECT_FALSE(kel_sqlite_is_opened(unmarked));
}

// A mark that is no bool is reported, and the destroy then goes on as a
// first destroy: the mark becomes true and the object is released, so the
// shutdown in TearDown returns.
TEST_F(Destroy, ANonBoolMarkIsReportedThenTheObjectIsDestroyedAndReleased) {
  auto object = opened("odd");
  kel_sqlite_to_object(object)->properties["object-destroyed"] = std::string("yes");

  const std::string failed =
      "\033[1;31mKEL-SYSTEM**ERROR**\033[0;0m: bad cast destroy any: src/kel_database/kel_sqlite.cpp:29 - "
      "boost::bad_any_cast: failed conversion using boost::any_cast\n";
  stdout_capture out;
  EXPECT_TRUE(kel_sqlite_destroy(object, __FILE__, __LINE__));
  EXPECT_TRUE(destroyed_mark(object));
  drain_service();
  EXPECT_EQ(out.finish(), failed + count_line(0));
  EXPECT_FALSE(kel_sqlite_is_opened(object));
  EXPECT_EQ(kel_database_get_sqlite("odd"), nullptr);
  EXPECT_FALSE(kel_sqlite_to_object(object)->is_reffed());
  EXPECT_TRUE(exclusive_lock_free(dir.path("odd.db")));

  // Now marked, a second destroy is refused as any other.
  stdout_capture again;
  EXPECT_TRUE(kel_sqlite_destroy(object, "app/main.cpp", 5));
  drain_service();
  const std::string text = again.finish();
  EXPECT_EQ(text.compare(0, refused_line("app/main.cpp:5").size(), refused_line("app/main.cpp:5")), 0) << text;
  EXPECT_EQ(object.use_count(), 1);
}

TEST_F(Destroy, ADestroyedObjectNeverOpensAgain) {
  auto object = opened("gone");
  auto never = kel_sqlite_new(dir.path("never.db"), "never");
  // A job holds the service thread, so the releases wait until it ends.
  std::promise<void> go_on;
  std::shared_future<void> go = go_on.get_future().share();
  kel_database_exec([go] { go.wait(); }, __FILE__, __LINE__);
  kel_sqlite_destroy(object, __FILE__, __LINE__);
  kel_sqlite_destroy(never, __FILE__, __LINE__);
  {
    // Still open until its release has run: the check fails, and the open is refused as misuse all the same.
    assertion_log log;
    EXPECT_EQ(kel_sqlite_open(object), SQLITE_MISUSE);
    EXPECT_EQ(log.take(), (std::vector<assertion_call>{db_closed(false, 83)}));
  }
  go_on.set_value();
  drain_service();

  assertion_log log;
  for (const auto& released : {object, never}) {
    EXPECT_EQ(kel_sqlite_open(released), SQLITE_MISUSE);
    EXPECT_EQ(kel_sqlite_try_open(released), SQLITE_MISUSE);
    EXPECT_FALSE(kel_sqlite_is_opened(released));
  }
  EXPECT_EQ(log.take(), (std::vector<assertion_call>{db_closed(true, 83), db_closed(true, 65), db_closed(true, 83),
                                                     db_closed(true, 65)}));
  EXPECT_EQ(kel_database_get_sqlite("gone"), nullptr);
  EXPECT_EQ(kel_database_get_sqlite("never"), nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir.path("never.db")));
  EXPECT_EQ(object.use_count(), 1);
  EXPECT_EQ(never.use_count(), 1);
}

// An object never destroyed is released when the program ends, and its
// destructor closes the connection it still has: the transaction left open
// is rolled back and its journal removed (a connection never closed leaves
// the journal behind, to be rolled back by the next one to open the file).
TEST(DestroyAtExit, TheLastOwnerClosesAnOpenConnection) {
  temp_dir dir;
  const std::string path = dir.path("left-open.db");
  EXPECT_EXIT(
      {
        auto object = kel_sqlite_new(path, "left-open");
        if (kel_sqlite_open(object) != 0 ||
            kel_sqlite_sql_stmt(object,
                                "PRAGMA journal_mode = DELETE; CREATE TABLE t(x); BEGIN; INSERT INTO t VALUES(1);",
                                nullptr) != 0 ||
            kel_sqlite_prepare(object, "SELECT x FROM t") != 0 || kel_sqlite_step(object) != SQLITE_ROW ||
            !std::filesystem::exists(path + "-journal"))
          std::_Exit(2);
        object.reset();  // exit() leaves automatic objects alone
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
  EXPECT_FALSE(std::filesystem::exists(path + "-journal"));
  EXPECT_TRUE(exclusive_lock_free(path));
}
