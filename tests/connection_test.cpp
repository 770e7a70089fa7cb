// Connection objects: the empty-handle answer of every exported function, the
// state checks reported through the host's assertion routine, conversions to
// and from framework objects, opening and closing, direct SQL, error texts
// and the name registry of open connections.
#include <kel_database/kel_database.h>
#include <kel_system.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

#include <filesystem>
#include <string>
#include <type_traits>
#include <vector>

#include "test_support.h"

namespace {

using namespace kel_test;
using handle = boost::shared_ptr<_kel_sqlite>;
using object = boost::shared_ptr<_kel_object>;
using calls = std::vector<assertion_call>;

// Exact result, exact type: the table below also pins each function's result
// type, so a default of the wrong width (an int -1 for a long long) fails.
template <typename A, typename E>
testing::AssertionResult gives(const A& actual, const E& expected) {
  static_assert(std::is_same_v<A, E>, "result type differs from the documented one");
  if constexpr (std::is_pointer_v<A>) {
    if (actual == expected) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "returned pointer " << static_cast<const void*>(actual);
  } else {
    if (actual == expected) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "returned " << testing::PrintToString(actual) << " instead of "
                                       << testing::PrintToString(expected);
  }
}

// Runs `sql` on a connection of its own, outside the library, and returns the
// result code; used to see which locks the library's connection still holds.
int raw_exec(const std::string& path, const char* sql) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_exec(raw, sql, nullptr, nullptr, nullptr);
  sqlite3_close(raw);
  return rc;
}

long long raw_count(const std::string& path, const char* table) {
  sqlite3* raw = nullptr;
  sqlite3_stmt* stmt = nullptr;
  long long n = -1;
  sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  const std::string sql = std::string("SELECT count(*) FROM ") + table;
  if (sqlite3_prepare_v2(raw, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
    n = sqlite3_column_int64(stmt, 0);
  sqlite3_finalize(stmt);
  sqlite3_close(raw);
  return n;
}

constexpr const char* kExclusive = "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;";

struct empty_handle_case {
  std::string function;
  std::function<testing::AssertionResult()> call;
};

TEST(EmptyHandle, EveryFunctionWritesItsLineAndReturnsItsDefault) {
  assertion_log log;
  const handle none;
  const object no_object;
  char text[] = "untouched";
  char* message = text;
  unsigned char byte = 0x5a;
  unsigned char* data = &byte;
  int size = 123;
  unsigned long count = 7;
  bool called = false;
  const kel_sqlite_row_callback cb = [&](handle, unsigned long) { return called = true; };
  const unsigned char bytes[] = {1, 2, 3};
  const char* const no_text = nullptr;

  std::vector<empty_handle_case> cases = {
      {"kel_is_sqlite", [&] { return gives(kel_is_sqlite(no_object), false); }},
      {"kel_sqlite_to_object", [&] { return gives(kel_sqlite_to_object(none), object()); }},
      {"kel_sqlite_from_object", [&] { return gives(kel_sqlite_from_object(no_object), handle()); }},
      {"kel_sqlite_get_name", [&] { return gives(kel_sqlite_get_name(none), std::string()); }},
      {"kel_sqlite_destroy", [&] { return gives(kel_sqlite_destroy(none, "caller.cpp", 12), false); }},
      {"kel_sqlite_try_open", [&] { return gives(kel_sqlite_try_open(none), -1); }},
      {"kel_sqlite_open", [&] { return gives(kel_sqlite_open(none), -1); }},
      {"kel_sqlite_is_opened", [&] { return gives(kel_sqlite_is_opened(none), false); }},
      {"kel_sqlite_close", [&] { return gives(kel_sqlite_close(none), false); }},
      {"kel_sqlite_sql_stmt",
       [&] {
         auto r = gives(kel_sqlite_sql_stmt(none, "CREATE TABLE t(a)", &message), -1);
         return r ? gives(message, static_cast<char*>(text)) : r;
       }},
      {"kel_sqlite_free",
       [&] {
         auto r = gives(kel_sqlite_free(none, message), false);
         return r ? gives(message, static_cast<char*>(text)) : r;
       }},
      {"kel_sqlite_errstr", [&] { return gives(kel_sqlite_errstr(none, 1001), no_text); }},
      {"kel_sqlite_last_error_code", [&] { return gives(kel_sqlite_last_error_code(none), -1); }},
      {"kel_sqlite_last_error_message", [&] { return gives(kel_sqlite_last_error_message(none), no_text); }},
      {"kel_sqlite_prepare", [&] { return gives(kel_sqlite_prepare(none, "SELECT 1"), -1); }},
      {"kel_sqlite_bind_int", [&] { return gives(kel_sqlite_bind_int(none, 1, 5), -1); }},
      {"kel_sqlite_bind_int64", [&] { return gives(kel_sqlite_bind_int64(none, 1, 5LL), -1); }},
      {"kel_sqlite_bind_double", [&] { return gives(kel_sqlite_bind_double(none, 1, 0.5), -1); }},
      {"kel_sqlite_bind_blob", [&] { return gives(kel_sqlite_bind_blob(none, 1, bytes, 3), -1); }},
      {"kel_sqlite_bind_blob_static", [&] { return gives(kel_sqlite_bind_blob_static(none, 1, bytes, 3), -1); }},
      {"kel_sqlite_bind_text", [&] { return gives(kel_sqlite_bind_text(none, 1, "x", 1), -1); }},
      {"kel_sqlite_bind_text_static", [&] { return gives(kel_sqlite_bind_text_static(none, 1, "x", 1), -1); }},
      {"kel_sqlite_bind_parameter_count", [&] { return gives(kel_sqlite_bind_parameter_count(none), -1); }},
      {"kel_sqlite_bind_parameter_name", [&] { return gives(kel_sqlite_bind_parameter_name(none, 1), no_text); }},
      {"kel_sqlite_bind_parameter_index", [&] { return gives(kel_sqlite_bind_parameter_index(none, ":a"), -1); }},
      {"kel_sqlite_bind_clear", [&] { return gives(kel_sqlite_bind_clear(none), -1); }},
      {"kel_sqlite_step", [&] { return gives(kel_sqlite_step(none), -1); }},
      {"kel_sqlite_reset", [&] { return gives(kel_sqlite_reset(none), -1); }},
      {"kel_sqlite_finalize", [&] { return gives(kel_sqlite_finalize(none), false); }},
      {"kel_sqlite_sql", [&] { return gives(kel_sqlite_sql(none), no_text); }},
      {"kel_sqlite_rows_each",
       [&] {
         auto r = gives(kel_sqlite_rows_each(none, cb), -1);
         return r ? gives(called, false) : r;
       }},
      {"kel_sqlite_rows_each",
       [&] {
         auto r = gives(kel_sqlite_rows_each(none, count, cb), -1);
         if (r) r = gives(count, 7UL);
         return r ? gives(called, false) : r;
       }},
      {"kel_sqlite_data_count", [&] { return gives(kel_sqlite_data_count(none), -1); }},
      {"kel_sqlite_column_count", [&] { return gives(kel_sqlite_column_count(none), -1); }},
      {"kel_sqlite_last_insert_rowid", [&] { return gives(kel_sqlite_last_insert_rowid(none), -1LL); }},
      {"kel_sqlite_affected_rows_count", [&] { return gives(kel_sqlite_affected_rows_count(none), -1); }},
      {"kel_sqlite_column_blob",
       [&] {
         auto r = gives(kel_sqlite_column_blob(none, 0, data, size), false);
         if (r) r = gives(data, &byte);
         return r ? gives(size, 123) : r;
       }},
      {"kel_sqlite_column_text", [&] { return gives(kel_sqlite_column_text(none, 0), std::string()); }},
      {"kel_sqlite_column_int", [&] { return gives(kel_sqlite_column_int(none, 0), -1); }},
      {"kel_sqlite_column_int64", [&] { return gives(kel_sqlite_column_int64(none, 0), -1LL); }},
      {"kel_sqlite_column_double", [&] { return gives(kel_sqlite_column_double(none, 0), -1.0); }},
      {"kel_sqlite_column_type", [&] { return gives(kel_sqlite_column_type(none, 0), -1); }},
      {"kel_sqlite_column_decltype", [&] { return gives(kel_sqlite_column_decltype(none, 0), no_text); }},
      {"kel_sqlite_column_name", [&] { return gives(kel_sqlite_column_name(none, 0), no_text); }},
      {"kel_sqlite_is_column_null", [&] { return gives(kel_sqlite_is_column_null(none, 0), false); }},
      {"kel_sqlite_is_column_text", [&] { return gives(kel_sqlite_is_column_text(none, 0), false); }},
      {"kel_sqlite_is_column_blob", [&] { return gives(kel_sqlite_is_column_blob(none, 0), false); }},
      {"kel_sqlite_is_column_int", [&] { return gives(kel_sqlite_is_column_int(none, 0), false); }},
      {"kel_sqlite_is_column_double", [&] { return gives(kel_sqlite_is_column_double(none, 0), false); }},
  };
  ASSERT_EQ(cases.size(), 49u);  // every exported function but kel_sqlite_new

  for (const auto& c : cases) {
    SCOPED_TRACE(c.function);
    const std::string expected = c.function == "kel_is_sqlite" ? "" : null_object_line(c.function);
    stdout_capture out;
    // Gtest prints failures to stdout, so the result is judged after the capture ends.
    const testing::AssertionResult result = c.call();
    EXPECT_EQ(out.finish(), expected);
    EXPECT_TRUE(result);
  }
  // An empty handle never reaches the object, so no state check is made.
  EXPECT_EQ(log.calls(), calls{});
}

TEST(EmptyHandle, GuardLooksAtTheStoredPointerNotTheOwners) {
  temp_dir dir;
  const handle p = kel_sqlite_new(dir.path("alias.db"), "alias");
  const long owners = p.use_count();
  // Shares p's ownership but points at nothing.
  const handle aliased(p, static_cast<_kel_sqlite*>(nullptr));
  ASSERT_GT(aliased.use_count(), 0);

  stdout_capture out;
  const int opened = kel_sqlite_open(aliased);
  const std::string name = kel_sqlite_get_name(aliased);
  EXPECT_EQ(out.finish(), null_object_line("kel_sqlite_open") + null_object_line("kel_sqlite_get_name"));
  EXPECT_EQ(opened, -1);
  EXPECT_EQ(name, "");
  EXPECT_FALSE(kel_sqlite_is_opened(p));
  EXPECT_FALSE(std::filesystem::exists(dir.path("alias.db")));
  EXPECT_EQ(p.use_count(), owners + 1);  // only `aliased` itself
}

TEST(ConnectionObject, CreationConversionsAndOwnership) {
  temp_dir dir;
  stdout_capture out;
  assertion_log log;
  handle p = kel_sqlite_new(dir.path("conv.db"), "conversions");
  ASSERT_TRUE(p);
  // The caller, the framework's reference and the live-object list.
  const long owners = p.use_count();
  EXPECT_EQ(owners, 3);

  object o = kel_sqlite_to_object(p);
  ASSERT_TRUE(o);
  EXPECT_EQ(p.use_count(), owners + 1);
  EXPECT_EQ(kel_sqlite_to_object(p).get(), o.get());
  EXPECT_TRUE(kel_is_sqlite(o));
  EXPECT_EQ(o->object_tag(), "[kel_sqlite]");

  handle back = kel_sqlite_from_object(o);
  EXPECT_EQ(back.get(), p.get());
  EXPECT_EQ(p.use_count(), owners + 2);
  back.reset();
  o.reset();
  EXPECT_EQ(p.use_count(), owners);

  // A framework object of another class is neither recognised nor converted.
  const object plain = boost::make_shared<_kel_object>();
  EXPECT_FALSE(kel_is_sqlite(plain));
  EXPECT_FALSE(kel_sqlite_from_object(plain));
  EXPECT_EQ(plain.use_count(), 1);

  // Names are taken as given, empty ones included, and survive open and close.
  EXPECT_EQ(kel_sqlite_get_name(p), "conversions");
  EXPECT_EQ(kel_sqlite_get_name(kel_sqlite_new(dir.path("unnamed.db"), "")), "");
  ASSERT_EQ(kel_sqlite_open(p), 0);
  EXPECT_EQ(kel_sqlite_get_name(p), "conversions");
  EXPECT_TRUE(kel_sqlite_close(p));
  EXPECT_EQ(kel_sqlite_get_name(p), "conversions");

  // Dropping the caller's handle does not free the object: the framework and
  // the live-object list keep it until it is destroyed and released.
  boost::weak_ptr<_kel_sqlite> watch = p;
  p.reset();
  EXPECT_FALSE(watch.expired());
  EXPECT_EQ(out.finish(), "");
}

TEST(ConnectionOpen, TryOpenNeedsAnExistingFileOpenCreatesIt) {
  temp_dir dir;
  assertion_log log;
  const std::string path = dir.path("missing.db");
  const handle p = kel_sqlite_new(path, "opening");

  EXPECT_EQ(kel_sqlite_try_open(p), SQLITE_CANTOPEN);
  EXPECT_EQ(log.take(), calls{db_closed(true, 65)});
  EXPECT_FALSE(kel_sqlite_is_opened(p));
  EXPECT_FALSE(kel_database_get_sqlite("opening"));
  EXPECT_FALSE(std::filesystem::exists(path));
  // The failed open kept no connection, so there is nothing to ask for errors.
  EXPECT_EQ(kel_sqlite_last_error_code(p), -1);
  EXPECT_EQ(kel_sqlite_last_error_message(p), nullptr);
  EXPECT_EQ(log.take(), (calls{db_open(false, 359), db_open(false, 364)}));

  EXPECT_EQ(kel_sqlite_open(p), SQLITE_OK);
  EXPECT_EQ(log.take(), calls{db_closed(true, 83)});
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_TRUE(kel_sqlite_is_opened(p));
  EXPECT_EQ(kel_database_get_sqlite("opening").get(), p.get());
  EXPECT_EQ(kel_sqlite_last_error_code(p), SQLITE_OK);
  EXPECT_STREQ(kel_sqlite_last_error_message(p), "not an error");
  EXPECT_EQ(log.take(), (calls{db_open(true, 359), db_open(true, 364)}));

  EXPECT_TRUE(kel_sqlite_close(p));
  EXPECT_EQ(log.take(), calls{db_open(true, 324)});
  EXPECT_FALSE(kel_sqlite_is_opened(p));
  EXPECT_FALSE(kel_database_get_sqlite("opening"));

  // Now that the file exists, try_open opens it and registers the object again.
  EXPECT_EQ(kel_sqlite_try_open(p), SQLITE_OK);
  EXPECT_EQ(log.take(), calls{db_closed(true, 65)});
  EXPECT_TRUE(kel_sqlite_is_opened(p));
  EXPECT_EQ(kel_database_get_sqlite("opening").get(), p.get());

  // Even open cannot create a file in a directory that does not exist.
  const handle q = kel_sqlite_new(dir.path("no/such/dir/x.db"), "nowhere");
  EXPECT_EQ(kel_sqlite_open(q), SQLITE_CANTOPEN);
  EXPECT_FALSE(kel_sqlite_is_opened(q));
  EXPECT_FALSE(kel_database_get_sqlite("nowhere"));
}

TEST(ConnectionOpen, OpeningAnOpenObjectIsRefusedAndKeepsItsConnection) {
  temp_dir dir;
  assertion_log log;
  const std::string path = dir.path("twice.db");
  const handle p = kel_sqlite_new(path, "twice");
  ASSERT_EQ(kel_sqlite_open(p), 0);
  // A transaction left open on the first connection shows whether that
  // connection is still the one in use after the refused opens.
  ASSERT_EQ(
      kel_sqlite_sql_stmt(p, "CREATE TABLE t(a); INSERT INTO t VALUES(1); BEGIN; INSERT INTO t VALUES(2);", nullptr),
      0);
  log.clear();

  EXPECT_EQ(kel_sqlite_open(p), -1);
  EXPECT_EQ(log.take(), calls{db_closed(false, 83)});
  EXPECT_EQ(kel_sqlite_try_open(p), -1);
  EXPECT_EQ(log.take(), calls{db_closed(false, 65)});
  EXPECT_TRUE(kel_sqlite_is_opened(p));
  EXPECT_EQ(kel_database_get_sqlite("twice").get(), p.get());

  EXPECT_EQ(kel_sqlite_sql_stmt(p, "INSERT INTO t VALUES(3); COMMIT;", nullptr), SQLITE_OK);
  EXPECT_EQ(raw_count(path, "t"), 3);
  EXPECT_TRUE(kel_sqlite_close(p));
  // No second connection was left behind holding the file.
  EXPECT_EQ(raw_exec(path, kExclusive), SQLITE_OK);
}

TEST(StateChecks, EachOperationReportsItsChecksInOrder) {
  temp_dir dir;
  assertion_log log;
  const handle p = kel_sqlite_new(dir.path("checks.db"), "checks");
  unsigned long count = 9;
  int rows = 0;
  const kel_sqlite_row_callback cb = [&](handle, unsigned long) { return ++rows, true; };

  // Never opened: every check that needs the connection fails, and the
  // operations give their defaults instead of passing null handles to SQLite.
  EXPECT_EQ(kel_sqlite_prepare(p, "SELECT 1"), -1);
  EXPECT_EQ(log.take(), (calls{db_open(false, 98), stmt_closed(true, 99)}));
  EXPECT_EQ(kel_sqlite_step(p), -1);
  EXPECT_EQ(log.take(), (calls{db_open(false, 192), stmt_open(false, 193)}));
  EXPECT_EQ(kel_sqlite_rows_each(p, count, cb), 0);
  EXPECT_EQ(count, 0UL);
  EXPECT_EQ(rows, 0);
  EXPECT_EQ(log.take(),
            (calls{db_open(false, 219), stmt_open(false, 220), db_open(false, 192), stmt_open(false, 193)}));
  EXPECT_TRUE(kel_sqlite_close(p));
  EXPECT_EQ(log.take(), calls{db_open(false, 324)});
  EXPECT_FALSE(kel_sqlite_is_opened(p));

  ASSERT_EQ(kel_sqlite_open(p), 0);
  EXPECT_EQ(log.take(), calls{db_closed(true, 83)});
  EXPECT_EQ(kel_sqlite_prepare(p, "SELECT 1"), 0);
  EXPECT_EQ(log.take(), (calls{db_open(true, 98), stmt_closed(true, 99)}));
  EXPECT_EQ(kel_sqlite_prepare(p, "SELECT 2"), -1);
  EXPECT_EQ(log.take(), (calls{db_open(true, 98), stmt_closed(false, 99)}));
  EXPECT_EQ(kel_sqlite_step(p), SQLITE_ROW);
  EXPECT_EQ(log.take(), (calls{db_open(true, 192), stmt_open(true, 193)}));
  EXPECT_EQ(kel_sqlite_reset(p), 0);
  EXPECT_EQ(kel_sqlite_rows_each(p, count, cb), SQLITE_DONE);
  EXPECT_EQ(count, 1UL);
  EXPECT_EQ(log.take(), (calls{db_open(true, 219), stmt_open(true, 220), db_open(true, 192), stmt_open(true, 193),
                               db_open(true, 192), stmt_open(true, 193)}));

  // Closed with the statement still prepared.
  EXPECT_TRUE(kel_sqlite_close(p));
  EXPECT_EQ(log.take(), calls{db_open(true, 324)});
  EXPECT_EQ(kel_sqlite_step(p), -1);
  EXPECT_EQ(log.take(), (calls{db_open(false, 192), stmt_open(true, 193)}));
  EXPECT_TRUE(kel_sqlite_finalize(p));
  EXPECT_EQ(log.take(), calls{});
}

TEST(NameRegistry, FirstOpenedObjectKeepsTheName) {
  temp_dir dir;
  assertion_log log;
  const handle a = kel_sqlite_new(dir.path("a.db"), "shared");
  const handle b = kel_sqlite_new(dir.path("b.db"), "shared");
  const long a_owners = a.use_count();
  const long b_owners = b.use_count();
  EXPECT_FALSE(kel_database_get_sqlite("shared"));

  ASSERT_EQ(kel_sqlite_open(a), 0);
  EXPECT_EQ(kel_database_get_sqlite("shared").get(), a.get());
  EXPECT_EQ(a.use_count(), a_owners + 1);  // the registry's share

  ASSERT_EQ(kel_sqlite_open(b), 0);
  EXPECT_TRUE(kel_sqlite_is_opened(b));
  EXPECT_EQ(kel_database_get_sqlite("shared").get(), a.get());
  EXPECT_EQ(b.use_count(), b_owners);  // not registered

  // Closing the object that did not get the name leaves the entry alone,
  // also when it is closed a second time.
  EXPECT_TRUE(kel_sqlite_close(b));
  EXPECT_EQ(kel_database_get_sqlite("shared").get(), a.get());
  EXPECT_TRUE(kel_sqlite_close(b));
  EXPECT_EQ(log.take(), (calls{db_closed(true, 83), db_closed(true, 83), db_open(true, 324), db_open(false, 324)}));
  EXPECT_EQ(kel_database_get_sqlite("shared").get(), a.get());

  EXPECT_TRUE(kel_sqlite_close(a));
  EXPECT_FALSE(kel_database_get_sqlite("shared"));
  EXPECT_EQ(a.use_count(), a_owners);

  // The name is free again for whichever object opens next.
  ASSERT_EQ(kel_sqlite_open(b), 0);
  EXPECT_EQ(kel_database_get_sqlite("shared").get(), b.get());
  EXPECT_FALSE(kel_database_get_sqlite("Shared"));
  EXPECT_FALSE(kel_database_get_sqlite(""));
}

TEST(NameRegistry, LookupFinalizesThePreparedStatement) {
  temp_dir dir;
  assertion_log log;
  const std::string path = dir.path("lookup.db");
  const handle p = kel_sqlite_new(path, "lookup");
  ASSERT_EQ(kel_sqlite_open(p), 0);
  ASSERT_EQ(kel_sqlite_sql_stmt(p, "CREATE TABLE t(a); INSERT INTO t VALUES(1),(2);", nullptr), 0);
  ASSERT_EQ(kel_sqlite_prepare(p, "SELECT a FROM t"), 0);
  ASSERT_EQ(kel_sqlite_step(p), SQLITE_ROW);
  // The statement in progress holds a read lock on the file.
  ASSERT_EQ(raw_exec(path, kExclusive), SQLITE_BUSY);
  log.clear();

  EXPECT_EQ(kel_database_get_sqlite("lookup").get(), p.get());
  // Finalized, not merely forgotten: the read lock is gone ...
  EXPECT_EQ(raw_exec(path, kExclusive), SQLITE_OK);
  // ... and the object has no statement any more.
  EXPECT_EQ(kel_sqlite_sql(p), nullptr);
  EXPECT_EQ(log.take(), calls{stmt_open(false, 344)});
  EXPECT_EQ(kel_sqlite_prepare(p, "SELECT count(*) FROM t"), 0);
  EXPECT_EQ(log.take(), (calls{db_open(true, 98), stmt_closed(true, 99)}));
  EXPECT_EQ(kel_sqlite_step(p), SQLITE_ROW);
  EXPECT_EQ(kel_sqlite_column_int(p, 0), 2);
}

TEST(ConnectionClose, StatementKeepsTheConnectionUntilItIsFinalized) {
  temp_dir dir;
  assertion_log log;
  const std::string path = dir.path("close.db");
  const handle p = kel_sqlite_new(path, "closing");
  ASSERT_EQ(kel_sqlite_open(p), 0);
  ASSERT_EQ(
      kel_sqlite_sql_stmt(p, "CREATE TABLE t(a); INSERT INTO t VALUES(1); BEGIN; INSERT INTO t VALUES(2);", nullptr),
      0);
  ASSERT_EQ(kel_sqlite_prepare(p, "SELECT a FROM t"), 0);
  ASSERT_EQ(kel_sqlite_step(p), SQLITE_ROW);
  log.clear();

  EXPECT_TRUE(kel_sqlite_close(p));
  EXPECT_EQ(log.take(), calls{db_open(true, 324)});
  EXPECT_FALSE(kel_sqlite_is_opened(p));
  EXPECT_FALSE(kel_database_get_sqlite("closing"));
  // Close leaves the statement alone, and the statement keeps the connection
  // (with its open transaction) alive ...
  EXPECT_EQ(raw_exec(path, kExclusive), SQLITE_BUSY);

  // ... until it is finalized: then the connection goes, the uncommitted
  // insert is rolled back and nothing holds the file any more.
  EXPECT_TRUE(kel_sqlite_finalize(p));
  EXPECT_EQ(log.take(), calls{});
  EXPECT_EQ(raw_exec(path, kExclusive), SQLITE_OK);
  EXPECT_EQ(raw_count(path, "t"), 1);

  ASSERT_EQ(kel_sqlite_open(p), 0);
  EXPECT_EQ(kel_database_get_sqlite("closing").get(), p.get());
}

TEST(DirectSql, RunsEveryStatementAndReportsErrorsWithoutPrinting) {
  temp_dir dir;
  assertion_log log;
  const std::string path = dir.path("direct.db");
  const handle p = kel_sqlite_new(path, "direct");
  ASSERT_EQ(kel_sqlite_open(p), 0);
  log.clear();
  stdout_capture out;
  char marker[] = "untouched";
  char* message = marker;

  const int created =
      kel_sqlite_sql_stmt(p,
                          "CREATE TABLE t(id INTEGER PRIMARY KEY, b TEXT UNIQUE); INSERT INTO t(b) VALUES('x'); "
                          "INSERT INTO t(b) VALUES('y');",
                          &message);
  EXPECT_EQ(created, SQLITE_OK);
  EXPECT_EQ(message, nullptr);  // SQLite clears it on success
  EXPECT_EQ(raw_count(path, "t"), 2);

  // The statements before the faulty one have run, those after it have not.
  message = marker;
  const int failed =
      kel_sqlite_sql_stmt(p, "INSERT INTO t(b) VALUES('z'); SELEC 1; INSERT INTO t(b) VALUES('w');", &message);
  EXPECT_EQ(failed, SQLITE_ERROR);
  ASSERT_NE(message, nullptr);
  ASSERT_NE(message, marker);
  EXPECT_STREQ(message, "near \"SELEC\": syntax error");
  EXPECT_EQ(raw_count(path, "t"), 3);
  EXPECT_EQ(kel_sqlite_last_error_code(p), SQLITE_ERROR);
  EXPECT_STREQ(kel_sqlite_last_error_message(p), "near \"SELEC\": syntax error");
  EXPECT_TRUE(kel_sqlite_free(p, message));
  EXPECT_EQ(message, nullptr);
  EXPECT_TRUE(kel_sqlite_free(p, message));
  EXPECT_EQ(message, nullptr);

  // Without an error-message pointer the code alone reports the failure.
  EXPECT_EQ(kel_sqlite_sql_stmt(p, "INSERT INTO t(b) VALUES('x')", nullptr), SQLITE_CONSTRAINT);
  EXPECT_EQ(kel_sqlite_last_error_code(p), SQLITE_CONSTRAINT);
  EXPECT_STREQ(kel_sqlite_last_error_message(p), "UNIQUE constraint failed: t.b");
  EXPECT_EQ(kel_sqlite_sql_stmt(p, "SELECT * FROM nowhere", nullptr), SQLITE_ERROR);
  EXPECT_STREQ(kel_sqlite_last_error_message(p), "no such table: nowhere");

  // On an object that is not open nothing is run and the pointer is cleared.
  const std::string other = dir.path("never.db");
  const handle closed = kel_sqlite_new(other, "never");
  message = marker;
  EXPECT_EQ(kel_sqlite_sql_stmt(closed, "CREATE TABLE t(a)", &message), SQLITE_MISUSE);
  EXPECT_EQ(message, nullptr);
  EXPECT_EQ(kel_sqlite_sql_stmt(closed, "CREATE TABLE t(a)", nullptr), SQLITE_MISUSE);
  EXPECT_FALSE(std::filesystem::exists(other));
  // A message needs no open connection to be released.
  message = sqlite3_mprintf("%s", "left over");
  EXPECT_TRUE(kel_sqlite_free(closed, message));
  EXPECT_EQ(message, nullptr);

  EXPECT_EQ(out.finish(), "");
  // Only the last-error reads make checks; direct SQL and free make none.
  EXPECT_EQ(log.take(), (calls{db_open(true, 359), db_open(true, 364), db_open(true, 359), db_open(true, 364),
                               db_open(true, 364)}));
}

TEST(ErrorText, LibraryCodeAndSqliteCodesWithOrWithoutConnection) {
  temp_dir dir;
  assertion_log log;
  const handle p = kel_sqlite_new(dir.path("errstr.db"), "errstr");
  const int codes[] = {0, 1, 5, 14, 18, 19, 21, 100, 101, 1000, 1002, 2067, -3};

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "closed" : "open");
    EXPECT_STREQ(kel_sqlite_errstr(p, 1001), "Prepared statement missing bind parameters");
    for (int code : codes) EXPECT_STREQ(kel_sqlite_errstr(p, code), sqlite3_errstr(code)) << "code " << code;
    if (round == 0) {
      ASSERT_EQ(kel_sqlite_open(p), 0);
    }
  }
  EXPECT_EQ(log.take(), calls{db_closed(true, 83)});
}

}  // namespace
