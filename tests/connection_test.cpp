// Connection objects: empty handles, state checks, conversions, opening and
// closing, direct SQL, error texts and the name registry.
#include <kel_database/kel_database.h>
#include <kel_system.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

#include <algorithm>
#include <cstdlib>
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
  if (actual == expected) return testing::AssertionSuccess();
  // Pointers are printed as addresses: a byte pointer is no C string.
  if constexpr (std::is_pointer_v<A>)
    return testing::AssertionFailure() << "returned pointer " << static_cast<const void*>(actual);
  else
    return testing::AssertionFailure() << "returned " << testing::PrintToString(actual);
}

// Runs `sql` on a connection of its own, outside the library, and returns the
// result code (with the first column of the last row in `value`); used to see
// which locks the library's connection still holds and what it committed.
int raw_exec(const std::string& path, const char* sql, long long* value = nullptr) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  const auto keep = [](void* out, int, char** row, char**) {
    *static_cast<long long*>(out) = std::atoll(row[0]);
    return 0;
  };
  if (rc == SQLITE_OK) rc = sqlite3_exec(raw, sql, value ? +keep : nullptr, value, nullptr);
  sqlite3_close(raw);
  return rc;
}

long long raw_count(const std::string& path) {
  long long n = -1;
  raw_exec(path, "SELECT count(*) FROM t", &n);
  return n;
}

constexpr const char* kExclusive = "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;";

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

  const std::vector<std::pair<std::string, std::function<testing::AssertionResult()>>> cases = {
      {"kel_is_sqlite", [&] { return gives(kel_is_sqlite(no_object), false); }},
      {"kel_sqlite_to_object", [&] { return gives(kel_sqlite_to_object(none), object()); }},
      {"kel_sqlite_from_object", [&] { return gives(kel_sqlite_from_object(no_object), handle()); }},
      {"kel_sqlite_get_name", [&] { return gives(kel_sqlite_get_name(none), std::string()); }},
      {"kel_sqlite_destroy", [&] { return gives(kel_sqlite_destroy(none, "caller.cpp", 12), false); }},
      {"kel_sqlite_try_open", [&] { return gives(kel_sqlite_try_open(none), -1); }},
      {"kel_sqlite_open", [&] { return gives(kel_sqlite_open(none), -1); }},
      {"kel_sqlite_is_opened", [&] { return gives(kel_sqlite_is_opened(none), false); }},
      {"kel_sqlite_close", [&] { return gives(kel_sqlite_close(none), false); }},
      {"kel_sqlite_sql_stmt", [&] { return gives(kel_sqlite_sql_stmt(none, "CREATE TABLE t(a)", &message), -1); }},
      {"kel_sqlite_free", [&] { return gives(kel_sqlite_free(none, message), false); }},
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
      {"kel_sqlite_rows_each", [&] { return gives(kel_sqlite_rows_each(none, cb), -1); }},
      {"kel_sqlite_rows_each", [&] { return gives(kel_sqlite_rows_each(none, count, cb), -1); }},
      {"kel_sqlite_data_count", [&] { return gives(kel_sqlite_data_count(none), -1); }},
      {"kel_sqlite_column_count", [&] { return gives(kel_sqlite_column_count(none), -1); }},
      {"kel_sqlite_last_insert_rowid", [&] { return gives(kel_sqlite_last_insert_rowid(none), -1LL); }},
      {"kel_sqlite_affected_rows_count", [&] { return gives(kel_sqlite_affected_rows_count(none), -1); }},
      {"kel_sqlite_column_blob", [&] { return gives(kel_sqlite_column_blob(none, 0, data, size), false); }},
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

  for (const auto& [function, call] : cases) {
    SCOPED_TRACE(function);
    stdout_capture out;
    // Gtest prints failures to stdout, so the result is judged after the capture ends.
    const testing::AssertionResult result = call();
    EXPECT_EQ(out.finish(), function == "kel_is_sqlite" ? "" : null_object_line(function));
    EXPECT_TRUE(result);
  }
  // An empty handle never reaches the object: no state check is made, no
  // out-parameter touched and no callback called.
  EXPECT_EQ(log.calls(), calls{});
  EXPECT_EQ(static_cast<void*>(message), static_cast<void*>(text));
  EXPECT_EQ(static_cast<void*>(data), static_cast<void*>(&byte));
  EXPECT_EQ(size, 123);
  EXPECT_EQ(count, 7UL);
  EXPECT_FALSE(called);
}

TEST(ConnectionObject, CreationConversionsAndOwnership) {
  temp_dir dir;
  handle p = kel_sqlite_new(dir.path("conv.db"), "conversions");
  const long owners = 3;  // the caller, the framework's reference and the live-object list
  ASSERT_EQ(p.use_count(), owners);

  stdout_capture out;
  object o = kel_sqlite_to_object(p);
  ASSERT_TRUE(o);
  EXPECT_EQ(p.use_count(), owners + 1);
  EXPECT_TRUE(kel_is_sqlite(o));
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

  EXPECT_EQ(kel_sqlite_get_name(p), "conversions");

  // The framework and the live-object list keep the object after the
  // caller's handle goes, until it is destroyed and released.
  boost::weak_ptr<_kel_sqlite> watch = p;
  p.reset();
  EXPECT_FALSE(watch.expired());
  EXPECT_EQ(out.finish(), "");
}

TEST(ConnectionOpen, OpenRefuseCloseAndReopen) {
  temp_dir dir;
  assertion_log log;
  const std::string path = dir.path("life.db");
  const handle p = kel_sqlite_new(path, "life");

  // try_open needs an existing file; the failed open keeps no connection to ask for errors,
  // and closes the one SQLite handed back with the error.
  const sqlite3_int64 sqlite_memory = sqlite3_memory_used();
  EXPECT_EQ(kel_sqlite_try_open(p), SQLITE_CANTOPEN);
  EXPECT_EQ(sqlite3_memory_used(), sqlite_memory);
  EXPECT_EQ(log.take(), calls{db_closed(true, 65)});
  EXPECT_FALSE(kel_sqlite_is_opened(p));
  EXPECT_FALSE(kel_database_get_sqlite("life"));
  EXPECT_EQ(kel_sqlite_last_error_code(p), -1);
  EXPECT_EQ(kel_sqlite_last_error_message(p), nullptr);
  EXPECT_EQ(log.take(), (calls{db_open(false, 359), db_open(false, 364)}));

  // open creates the file and registers the object under its name.
  EXPECT_EQ(kel_sqlite_open(p), SQLITE_OK);
  EXPECT_EQ(log.take(), calls{db_closed(true, 83)});
  EXPECT_EQ(kel_database_get_sqlite("life").get(), p.get());  // which lists open objects only

  // Opening an open object is refused: the transaction left open shows that
  // the first connection is still the one in use.
  ASSERT_EQ(
      kel_sqlite_sql_stmt(p, "CREATE TABLE t(a); INSERT INTO t VALUES(1); BEGIN; INSERT INTO t VALUES(2);", nullptr),
      0);
  EXPECT_EQ(kel_sqlite_open(p), -1);
  EXPECT_EQ(kel_sqlite_try_open(p), -1);
  EXPECT_EQ(log.take(), (calls{db_closed(false, 83), db_closed(false, 65)}));
  EXPECT_EQ(kel_database_get_sqlite("life").get(), p.get());
  EXPECT_EQ(kel_sqlite_sql_stmt(p, "INSERT INTO t VALUES(3); COMMIT;", nullptr), SQLITE_OK);
  EXPECT_EQ(raw_count(path), 3);

  // A closed object holds nothing: close finalizes a statement still in
  // progress before it closes the connection, so the uncommitted insert is
  // rolled back and nothing holds the file, no connection left by the
  // refused opens either.
  ASSERT_EQ(kel_sqlite_sql_stmt(p, "BEGIN; INSERT INTO t VALUES(4);", nullptr), 0);
  ASSERT_EQ(kel_sqlite_prepare(p, "SELECT a FROM t"), 0);
  ASSERT_EQ(kel_sqlite_step(p), SQLITE_ROW);
  log.clear();
  EXPECT_TRUE(kel_sqlite_close(p));
  EXPECT_EQ(log.take(), calls{db_open(true, 324)});
  EXPECT_FALSE(kel_sqlite_is_opened(p));
  EXPECT_FALSE(kel_database_get_sqlite("life"));
  EXPECT_EQ(raw_exec(path, kExclusive), SQLITE_OK);
  EXPECT_EQ(raw_count(path), 3);
  EXPECT_EQ(kel_sqlite_sql(p), nullptr);
  EXPECT_TRUE(kel_sqlite_finalize(p));  // nothing left to finalize
  unsigned long count = 7;
  EXPECT_EQ(kel_sqlite_rows_each(p, count, [](handle, unsigned long) { return true; }), 0);
  EXPECT_EQ(count, 0UL);
  EXPECT_EQ(log.take(), (calls{stmt_open(false, 344), db_open(false, 219), stmt_open(false, 220), db_open(false, 192),
                               stmt_open(false, 193)}));

  // Now that the file exists, try_open opens it and registers the object
  // again, under the name it kept through open and close.
  EXPECT_EQ(kel_sqlite_try_open(p), SQLITE_OK);
  EXPECT_EQ(log.take(), calls{db_closed(true, 65)});
  // No statement of the old connection is left to step; a new one can be prepared.
  EXPECT_EQ(kel_sqlite_step(p), -1);
  EXPECT_EQ(kel_sqlite_prepare(p, "SELECT count(*) FROM t WHERE a = 4"), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_step(p), SQLITE_ROW);
  EXPECT_EQ(kel_sqlite_column_int(p, 0), 0);
  // A callback that closes the object ends the walk at the next step's check.
  ASSERT_EQ(kel_sqlite_reset(p), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_rows_each(p, count, [](handle obj, unsigned long) { return kel_sqlite_close(obj); }), 0);
  EXPECT_EQ(count, 1UL);
  EXPECT_EQ(raw_exec(path, kExclusive), SQLITE_OK);
  log.clear();
  ASSERT_EQ(kel_sqlite_try_open(p), SQLITE_OK);
  EXPECT_EQ(kel_database_get_sqlite("life").get(), p.get());
}

// SQLite reads a path up to its first NUL byte: the file it would open is
// not the one the path names.
TEST(ConnectionOpen, APathWithANulByteOpensAndCreatesNothing) {
  temp_dir dir;
  assertion_log log;
  const std::string named = dir.path("a.db");
  const handle p = kel_sqlite_new(named + std::string("\0.x", 3), "nul");
  EXPECT_EQ(kel_sqlite_open(p), SQLITE_CANTOPEN);
  EXPECT_EQ(kel_sqlite_try_open(p), SQLITE_CANTOPEN);
  EXPECT_EQ(log.take(), (calls{db_closed(true, 83), db_closed(true, 65)}));
  EXPECT_FALSE(kel_sqlite_is_opened(p));
  EXPECT_FALSE(kel_database_get_sqlite("nul"));
  EXPECT_EQ(kel_sqlite_sql_stmt(p, "SELECT 1", nullptr), SQLITE_MISUSE);
  EXPECT_FALSE(std::filesystem::exists(named));
}

// The path is always a file name, also where SQLite reads names that begin
// with "file:" as URIs (Debian's SQLite does): such a relative path names a
// file of exactly that name in the working directory, and URI parameters
// change nothing. ":memory:" keeps its meaning.
TEST(ConnectionOpen, APathIsAFileNameEvenWhenItLooksLikeAUri) {
  temp_dir dir;
  silent_assertions quiet;
  // Back to the old working directory however the test leaves, before the
  // temporary one goes.
  struct working_directory {
    explicit working_directory(const std::filesystem::path& to) { std::filesystem::current_path(to); }
    ~working_directory() { std::filesystem::current_path(was); }
    working_directory(const working_directory&) = delete;
    working_directory& operator=(const working_directory&) = delete;
    const std::filesystem::path was = std::filesystem::current_path();
  } in_temp_dir(dir.root());
  const auto in_dir = [] {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(".")) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  };

  // A missing file is not created by try_open, whatever the parameters ask.
  const handle rwc = kel_sqlite_new("file:x.db?mode=rwc", "rwc");
  EXPECT_EQ(kel_sqlite_try_open(rwc), SQLITE_CANTOPEN);
  EXPECT_EQ(in_dir(), std::vector<std::string>{});

  // Each name creates and fills the file it names, and only that file.
  const std::string names[] = {"file:notes.db", "file:keep.db?mode=memory", "FILE:upper.db",
                               dir.path("file:absolute.db")};
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    const handle p = kel_sqlite_new(name, "uri");
    ASSERT_EQ(kel_sqlite_open(p), SQLITE_OK);
    EXPECT_EQ(kel_sqlite_sql_stmt(p, "CREATE TABLE t(a); INSERT INTO t VALUES(1), (2);", nullptr), SQLITE_OK);
    EXPECT_TRUE(kel_sqlite_close(p));
    const std::string file = name[0] == '/' ? name : dir.path(name);
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(raw_count(file), 2);
    // Reopened by an existing-file open, it finds its rows again.
    EXPECT_EQ(kel_sqlite_try_open(p), SQLITE_OK);
    EXPECT_EQ(kel_sqlite_prepare(p, "SELECT count(*) FROM t"), SQLITE_OK);
    EXPECT_EQ(kel_sqlite_step(p), SQLITE_ROW);
    EXPECT_EQ(kel_sqlite_column_int(p, 0), 2);
    EXPECT_TRUE(kel_sqlite_close(p));
  }
  EXPECT_EQ(in_dir(), (std::vector<std::string>{"FILE:upper.db", "file:absolute.db", "file:keep.db?mode=memory",
                                                "file:notes.db"}));

  // ":memory:" is still a database in memory: no file appears.
  const handle memory = kel_sqlite_new(":memory:", "memory");
  ASSERT_EQ(kel_sqlite_open(memory), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_sql_stmt(memory, "CREATE TABLE t(a)", nullptr), SQLITE_OK);
  EXPECT_TRUE(kel_sqlite_close(memory));
  EXPECT_EQ(in_dir().size(), 4u);
}

// Never opened: every check that needs the connection fails, and the
// operations give their defaults instead of passing null handles to SQLite.
// (With a connection, each operation's checks are followed in the statement test.)
TEST(StateChecks, WithoutAConnectionEachOperationReportsItsChecksAndGivesItsDefault) {
  assertion_log log;
  const handle p = kel_sqlite_new(":memory:", "checks");
  unsigned long count = 9;
  const kel_sqlite_row_callback never;  // throws if called
  EXPECT_EQ(kel_sqlite_prepare(p, "SELECT 1"), -1);
  EXPECT_EQ(log.take(), (calls{db_open(false, 98), stmt_closed(true, 99)}));
  EXPECT_EQ(kel_sqlite_step(p), -1);
  EXPECT_EQ(log.take(), (calls{db_open(false, 192), stmt_open(false, 193)}));
  EXPECT_EQ(kel_sqlite_rows_each(p, count, never), 0);
  EXPECT_EQ(count, 0UL);
  EXPECT_EQ(log.take(),
            (calls{db_open(false, 219), stmt_open(false, 220), db_open(false, 192), stmt_open(false, 193)}));
  EXPECT_TRUE(kel_sqlite_close(p));
  EXPECT_EQ(log.take(), calls{db_open(false, 324)});
}

TEST(NameRegistry, FirstOpenedObjectKeepsTheNameAndLookupFinalizes) {
  temp_dir dir;
  assertion_log log;
  const std::string b_path = dir.path("b.db");
  const handle a = kel_sqlite_new(dir.path("a.db"), "shared");
  const handle b = kel_sqlite_new(b_path, "shared");
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
  EXPECT_TRUE(kel_sqlite_close(b));
  EXPECT_EQ(log.take(), (calls{db_closed(true, 83), db_closed(true, 83), db_open(true, 324), db_open(false, 324)}));
  EXPECT_EQ(kel_database_get_sqlite("shared").get(), a.get());
  EXPECT_TRUE(kel_sqlite_close(a));
  EXPECT_FALSE(kel_database_get_sqlite("shared"));
  EXPECT_EQ(a.use_count(), a_owners);

  // The name is free again for whichever object opens next.
  ASSERT_EQ(kel_sqlite_open(b), 0);
  EXPECT_EQ(kel_database_get_sqlite("shared").get(), b.get());

  // A lookup finalizes the statement in progress, so its read lock goes and
  // the object is free to prepare the next one.
  ASSERT_EQ(kel_sqlite_sql_stmt(b, "CREATE TABLE t(a); INSERT INTO t VALUES(1),(2);", nullptr), 0);
  ASSERT_EQ(kel_sqlite_prepare(b, "SELECT a FROM t"), 0);
  ASSERT_EQ(kel_sqlite_step(b), SQLITE_ROW);
  ASSERT_EQ(raw_exec(b_path, kExclusive), SQLITE_BUSY);
  log.clear();
  EXPECT_EQ(kel_database_get_sqlite("shared").get(), b.get());
  EXPECT_EQ(raw_exec(b_path, kExclusive), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_sql(b), nullptr);
  EXPECT_EQ(log.take(), calls{stmt_open(false, 344)});
  EXPECT_EQ(kel_sqlite_prepare(b, "SELECT count(*) FROM t"), 0);
  EXPECT_EQ(log.take(), (calls{db_open(true, 98), stmt_closed(true, 99)}));
}

TEST(DirectSql, RunsStatementsAndReportsErrorsWithoutPrinting) {
  temp_dir dir;
  assertion_log log;
  const std::string path = dir.path("direct.db");
  const handle p = kel_sqlite_new(path, "direct");
  const handle closed = kel_sqlite_new(dir.path("never.db"), "never");
  ASSERT_EQ(kel_sqlite_open(p), 0);
  log.clear();
  stdout_capture out;
  char marker[] = "untouched";
  char* message = marker;

  EXPECT_EQ(kel_sqlite_sql_stmt(p, "CREATE TABLE t(b TEXT UNIQUE); INSERT INTO t VALUES('x'), ('y');", &message),
            SQLITE_OK);
  EXPECT_EQ(raw_count(path), 2);

  // The statements before the faulty one have run, those after it have not.
  message = marker;
  EXPECT_EQ(kel_sqlite_sql_stmt(p, "INSERT INTO t VALUES('z'); SELEC 1; INSERT INTO t VALUES('w');", &message),
            SQLITE_ERROR);
  ASSERT_STREQ(message, "near \"SELEC\": syntax error");
  EXPECT_EQ(raw_count(path), 3);
  EXPECT_EQ(kel_sqlite_last_error_code(p), SQLITE_ERROR);
  EXPECT_STREQ(kel_sqlite_last_error_message(p), "near \"SELEC\": syntax error");
  EXPECT_TRUE(kel_sqlite_free(p, message));
  EXPECT_EQ(message, nullptr);

  // Without an error-message pointer the code alone reports the failure.
  EXPECT_EQ(kel_sqlite_sql_stmt(p, "INSERT INTO t VALUES('x')", nullptr), SQLITE_CONSTRAINT);
  EXPECT_EQ(kel_sqlite_last_error_code(p), SQLITE_CONSTRAINT);
  EXPECT_STREQ(kel_sqlite_last_error_message(p), "UNIQUE constraint failed: t.b");

  // On an object that is not open nothing is run and the pointer is cleared.
  message = marker;
  EXPECT_EQ(kel_sqlite_sql_stmt(closed, "CREATE TABLE t(a)", &message), SQLITE_MISUSE);
  EXPECT_EQ(message, nullptr);
  EXPECT_EQ(kel_sqlite_sql_stmt(closed, "CREATE TABLE t(a)", nullptr), SQLITE_MISUSE);
  // A message needs no open connection to be released.
  message = sqlite3_mprintf("%s", "left over");
  EXPECT_TRUE(kel_sqlite_free(closed, message));
  EXPECT_EQ(message, nullptr);

  // Error texts, the library's own code and SQLite's, need no connection.
  for (const handle& h : {closed, p}) {
    SCOPED_TRACE(h == p ? "open" : "never opened");
    EXPECT_STREQ(kel_sqlite_errstr(h, 1001), "Prepared statement missing bind parameters");
    for (int code : {0, 1, 5, 14, 18, 19, 21, 100, 101, 1000, 1002, 2067, -3})
      EXPECT_STREQ(kel_sqlite_errstr(h, code), sqlite3_errstr(code)) << "code " << code;
  }

  EXPECT_EQ(out.finish(), "");
  // Only the last-error reads make checks; direct SQL, free and errstr make none.
  EXPECT_EQ(log.take(), (calls{db_open(true, 359), db_open(true, 364), db_open(true, 359), db_open(true, 364)}));
}

}  // namespace
