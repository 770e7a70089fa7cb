// Prepared statements: prepare, bind, step, reset and finalize; the values,
// types and names of result columns; the connection's counters; and walking
// the rows of a statement with a callback.
#include <kel_database/kel_database.h>
#include <kel_system.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

using namespace kel_test;
using handle = boost::shared_ptr<_kel_sqlite>;
using calls = std::vector<assertion_call>;
using bytes = std::vector<unsigned char>;
using rows = std::vector<std::pair<unsigned long, int>>;  // (index, first column) per delivered row

constexpr unsigned long kWholeText = ULONG_MAX;
constexpr unsigned long kTooBig = static_cast<unsigned long>(INT_MAX) + 1;

class Statement : public testing::Test {
 protected:
  void SetUp() override {
    db = kel_sqlite_new(dir.path("statements.db"), "statements");
    ASSERT_EQ(kel_sqlite_open(db), SQLITE_OK);
    exec("CREATE TABLE t(a INTEGER); INSERT INTO t VALUES(10),(20),(30);");
    log.clear();
  }

  void exec(const char* sql) { ASSERT_EQ(kel_sqlite_sql_stmt(db, sql, nullptr), SQLITE_OK) << sql; }

  // Prepares `sql` and steps to its first row.
  void first_row(const std::string& sql) {
    ASSERT_EQ(kel_sqlite_prepare(db, sql), SQLITE_OK) << sql;
    ASSERT_EQ(kel_sqlite_step(db), SQLITE_ROW) << sql;
  }

  // The bytes of the copy column_blob hands out (released here).
  bytes blob(int column) {
    unsigned char* data = nullptr;
    int size = -1;
    EXPECT_TRUE(kel_sqlite_column_blob(db, column, data, size));
    bytes copy(data, data + size);
    std::free(data);
    return copy;
  }

  // A row callback that records each row and goes on until index `stop_at`.
  kel_sqlite_row_callback recorder(rows& got, unsigned long stop_at = ULONG_MAX) {
    return [this, &got, stop_at](handle obj, unsigned long index) {
      EXPECT_EQ(obj.get(), db.get());
      got.emplace_back(index, kel_sqlite_column_int(obj, 0));
      return index != stop_at;
    };
  }

  temp_dir dir;
  assertion_log log;
  handle db;
};

TEST_F(Statement, PrepareCompilesOneStatementOrNoneAndNeverReplacesOne) {
  // SQLite reads the text up to its first NUL. Preparing over a statement would leak it: refused,
  // and the first one stays usable.
  first_row(std::string("SELECT 7\0 garbage", 17));
  log.clear();
  EXPECT_EQ(kel_sqlite_prepare(db, "SELECT 99"), -1);
  EXPECT_EQ(log.take(), (calls{db_open(true, 98), stmt_closed(false, 99)}));
  EXPECT_STREQ(kel_sqlite_sql(db), "SELECT 7");
  EXPECT_EQ(kel_sqlite_column_int(db, 0), 7);
  EXPECT_EQ(kel_sqlite_step(db), SQLITE_DONE);

  // Finalize and reset need no statement and report nothing without one.
  EXPECT_TRUE(kel_sqlite_finalize(db));
  log.clear();
  EXPECT_TRUE(kel_sqlite_finalize(db));
  EXPECT_EQ(kel_sqlite_reset(db), SQLITE_OK);
  EXPECT_EQ(log.take(), calls{});

  // Text with an error leaves no statement behind.
  EXPECT_EQ(kel_sqlite_prepare(db, "SELECT * FROM nowhere"), SQLITE_ERROR);
  EXPECT_STREQ(kel_sqlite_last_error_message(db), "no such table: nowhere");
  EXPECT_EQ(kel_sqlite_sql(db), nullptr);
}

TEST_F(Statement, EachFunctionReportsItsStatementCheckAndWithoutOneGivesItsDefault) {
  const unsigned char one[] = {1};
  unsigned char byte = 0;
  unsigned char* data = &byte;
  int size = 77;
  const std::vector<std::pair<int, std::function<bool()>>> functions = {
      {105, [&] { return kel_sqlite_bind_int(db, 1, 1) == -1; }},
      {110, [&] { return kel_sqlite_bind_int64(db, 1, 1) == -1; }},
      {115, [&] { return kel_sqlite_bind_double(db, 1, 1.0) == -1; }},
      {124, [&] { return kel_sqlite_bind_blob(db, 1, one, 1) == -1; }},
      {135, [&] { return kel_sqlite_bind_blob_static(db, 1, one, 1) == -1; }},
      {147, [&] { return kel_sqlite_bind_text(db, 1, "x", 1) == -1; }},
      {158, [&] { return kel_sqlite_bind_text_static(db, 1, "x", 1) == -1; }},
      {171, [&] { return kel_sqlite_bind_parameter_count(db) == -1; }},
      {176, [&] { return kel_sqlite_bind_parameter_name(db, 1) == nullptr; }},
      {181, [&] { return kel_sqlite_bind_parameter_index(db, ":a") == -1; }},
      {186, [&] { return kel_sqlite_bind_clear(db) == -1; }},
      {199, [&] { return kel_sqlite_data_count(db) == 0; }},  // SQLite's own answer for no statement
      {204, [&] { return kel_sqlite_column_count(db) == -1; }},
      {240, [&] { return !kel_sqlite_column_blob(db, 0, data, size) && data == &byte && size == 77; }},
      {247, [&] { return kel_sqlite_column_text(db, 0).empty(); }},
      {252, [&] { return kel_sqlite_column_int(db, 0) == -1; }},
      {257, [&] { return kel_sqlite_column_int64(db, 0) == -1LL; }},
      {262, [&] { return kel_sqlite_column_double(db, 0) == -1.0; }},
      {268, [&] { return kel_sqlite_column_type(db, 0) == -1; }},
      {268, [&] { return !kel_sqlite_is_column_null(db, 0); }},
      {268, [&] { return !kel_sqlite_is_column_text(db, 0); }},
      {268, [&] { return !kel_sqlite_is_column_blob(db, 0); }},
      {268, [&] { return !kel_sqlite_is_column_int(db, 0); }},
      {268, [&] { return !kel_sqlite_is_column_double(db, 0); }},
      {273, [&] { return kel_sqlite_column_decltype(db, 0) == nullptr; }},
      {298, [&] { return kel_sqlite_column_name(db, 0) == nullptr; }},
      {344, [&] { return kel_sqlite_sql(db) == nullptr; }},
  };
  // The check is reported on every call, whether it holds or not.
  for (const bool prepared : {false, true}) {
    if (prepared) first_row("SELECT ?1");
    log.clear();
    for (std::size_t i = 0; i < functions.size(); ++i) {
      SCOPED_TRACE(testing::Message() << "function " << i << (prepared ? " with" : " without") << " a statement");
      const bool defaulted = functions[i].second();
      EXPECT_EQ(log.take(), calls{stmt_open(prepared, functions[i].first)});
      EXPECT_TRUE(prepared || defaulted);
    }
  }
  std::free(data);  // the copy made with a statement
}

TEST_F(Statement, ParametersTakeExactlyTheCallersValuesUntilClearedAndRefuseOversizedCounts) {
  ASSERT_EQ(kel_sqlite_prepare(db, "SELECT :alpha, ?, ?3, ?4"), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_bind_parameter_count(db), 4);
  EXPECT_STREQ(kel_sqlite_bind_parameter_name(db, 1), ":alpha");
  EXPECT_EQ(kel_sqlite_bind_parameter_name(db, 2), nullptr);
  EXPECT_STREQ(kel_sqlite_bind_parameter_name(db, 3), "?3");
  // Unknown names, names without their prefix and a null name have no index.
  const std::pair<const char*, int> lookups[] = {{":alpha", 1}, {"?3", 3}, {":beta", 0}, {"alpha", 0}, {nullptr, 0}};
  for (const auto& [name, index] : lookups) EXPECT_EQ(kel_sqlite_bind_parameter_index(db, name), index) << name;

  char copied[] = "hello world";
  char in_place[] = "alpha";
  unsigned char copied_bytes[] = {7, 8, 9, 10};
  unsigned char in_place_bytes[] = {1, 2, 3};
  EXPECT_EQ(kel_sqlite_bind_text(db, 1, copied, 5), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_bind_text_static(db, 2, in_place, 5), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_bind_blob(db, 3, copied_bytes, 2), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_bind_blob_static(db, 4, in_place_bytes, 3), SQLITE_OK);

  // Counts that do not fit SQLite's int are refused, after the statement check, and leave the
  // binding as it was; cut to 32 bits they would silently bind something shorter.
  log.clear();
  for (unsigned long n : {kTooBig, (1UL << 32) + 3, kWholeText - 1}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(kel_sqlite_bind_text(db, 1, copied, n), SQLITE_TOOBIG);
    EXPECT_EQ(kel_sqlite_bind_text_static(db, 2, copied, n), SQLITE_TOOBIG);
    EXPECT_EQ(kel_sqlite_bind_blob(db, 3, copied_bytes, n), SQLITE_TOOBIG);
    EXPECT_EQ(kel_sqlite_bind_blob_static(db, 4, copied_bytes, n), SQLITE_TOOBIG);
    EXPECT_EQ(log.take(),
              (calls{stmt_open(true, 147), stmt_open(true, 158), stmt_open(true, 124), stmt_open(true, 135)}));
  }
  // For a blob even the largest count has no special meaning.
  EXPECT_EQ(kel_sqlite_bind_blob(db, 3, copied_bytes, kWholeText), SQLITE_TOOBIG);
  EXPECT_EQ(kel_sqlite_bind_blob_static(db, 4, copied_bytes, kWholeText), SQLITE_TOOBIG);

  copied[0] = 'j';
  copied_bytes[0] = 0;
  std::memcpy(in_place, "omega", 5);
  in_place_bytes[0] = 9;
  ASSERT_EQ(kel_sqlite_step(db), SQLITE_ROW);
  EXPECT_EQ(kel_sqlite_column_text(db, 0), "hello");
  EXPECT_EQ(kel_sqlite_column_text(db, 1), "omega");
  EXPECT_EQ(blob(2), (bytes{7, 8}));
  EXPECT_EQ(blob(3), (bytes{9, 2, 3}));

  // (The largest count, "up to the NUL", binds every text of the allocation-failure test.)
  // Numbers. A reset keeps the bindings, and a clear drops them.
  ASSERT_EQ(kel_sqlite_reset(db), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_bind_int(db, 1, 7), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_bind_int64(db, 2, 5000000000LL), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_bind_double(db, 3, 0.25), SQLITE_OK);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(kel_sqlite_step(db), SQLITE_ROW);
    EXPECT_EQ(kel_sqlite_column_int(db, 0), 7);
    EXPECT_EQ(kel_sqlite_column_int64(db, 1), 5000000000LL);
    EXPECT_EQ(kel_sqlite_column_double(db, 2), 0.25);
    EXPECT_EQ(blob(3), (bytes{9, 2, 3}));
    EXPECT_EQ(kel_sqlite_reset(db), SQLITE_OK);
  }
  EXPECT_EQ(kel_sqlite_bind_clear(db), SQLITE_OK);
  ASSERT_EQ(kel_sqlite_step(db), SQLITE_ROW);
  for (int column = 0; column < 4; ++column) EXPECT_TRUE(kel_sqlite_is_column_null(db, column)) << column;
}

TEST_F(Statement, ColumnsGiveValuesTypesNamesAndCopiesOwnedByTheCaller) {
  exec(
      "CREATE TABLE v(i INTEGER, t TEXT, n NUMERIC, b BLOB, d REAL);"
      "INSERT INTO v VALUES(42, 'hello', NULL, x'00ff1000aa', 2.5);");
  ASSERT_EQ(
      kel_sqlite_prepare(db, "SELECT i, t, n, b, d, i + 1 AS next, CAST(x'6162006364' AS TEXT), 5000000000 FROM v"),
      SQLITE_OK);
  EXPECT_EQ(kel_sqlite_column_count(db), 8);
  EXPECT_EQ(kel_sqlite_data_count(db), 0);
  ASSERT_EQ(kel_sqlite_step(db), SQLITE_ROW);
  EXPECT_EQ(kel_sqlite_data_count(db), 8);

  const int types[] = {SQLITE_INTEGER, SQLITE_TEXT,    SQLITE_NULL, SQLITE_BLOB,
                       SQLITE_FLOAT,   SQLITE_INTEGER, SQLITE_TEXT, SQLITE_INTEGER};
  for (int c = 0; c < 8; ++c) {
    SCOPED_TRACE(c);
    EXPECT_EQ(kel_sqlite_column_type(db, c), types[c]);
    // Exactly one of the five type tests holds.
    EXPECT_EQ(kel_sqlite_is_column_int(db, c), types[c] == SQLITE_INTEGER);
    EXPECT_EQ(kel_sqlite_is_column_double(db, c), types[c] == SQLITE_FLOAT);
    EXPECT_EQ(kel_sqlite_is_column_text(db, c), types[c] == SQLITE_TEXT);
    EXPECT_EQ(kel_sqlite_is_column_blob(db, c), types[c] == SQLITE_BLOB);
    EXPECT_EQ(kel_sqlite_is_column_null(db, c), types[c] == SQLITE_NULL);
  }
  EXPECT_EQ(kel_sqlite_column_int(db, 0), 42);
  EXPECT_EQ(kel_sqlite_column_text(db, 1), "hello");
  EXPECT_EQ(kel_sqlite_column_text(db, 2), "");
  EXPECT_EQ(blob(2), bytes{});
  EXPECT_EQ(kel_sqlite_column_double(db, 4), 2.5);
  EXPECT_EQ(kel_sqlite_column_int64(db, 7), 5000000000LL);
  EXPECT_STREQ(kel_sqlite_column_decltype(db, 0), "INTEGER");
  EXPECT_STREQ(kel_sqlite_column_name(db, 5), "next");

  // Text ends at an embedded NUL; the blob copy of the same value keeps every byte.
  EXPECT_EQ(kel_sqlite_column_text(db, 6), "ab");
  EXPECT_EQ(blob(6), (bytes{'a', 'b', 0, 'c', 'd'}));

  // Every blob copy is the caller's own buffer: changing one leaves the next copy as it was.
  unsigned char* first = nullptr;
  int size = -1;
  ASSERT_TRUE(kel_sqlite_column_blob(db, 3, first, size));
  EXPECT_EQ(bytes(first, first + size), (bytes{0x00, 0xff, 0x10, 0x00, 0xaa}));
  first[0] = 0x77;
  EXPECT_EQ(blob(3), (bytes{0x00, 0xff, 0x10, 0x00, 0xaa}));
  std::free(first);
}

// A copy that reports success holds the value's bytes; anything else gives
// false, no buffer and no length.
TEST_F(Statement, ColumnBlobOutsideTheRowGivesNothingAndUtf16TextComesOutAsUtf8) {
  const auto nothing = [this](int column) {
    unsigned char* const untouched = static_cast<unsigned char*>(std::malloc(1));  // overwritten by every read
    unsigned char* data = untouched;
    int size = -1;
    const bool ok = kel_sqlite_column_blob(db, column, data, size);
    EXPECT_EQ(data, nullptr) << column;
    EXPECT_EQ(size, 0) << column;
    if (data != untouched) std::free(data);
    std::free(untouched);
    return !ok;
  };
  ASSERT_EQ(kel_sqlite_prepare(db, "SELECT x'0102', 7 UNION ALL SELECT x'03', 8"), SQLITE_OK);
  EXPECT_TRUE(nothing(0)) << "before the first step there is no row";
  ASSERT_EQ(kel_sqlite_step(db), SQLITE_ROW);
  for (const int column : {2, 5, -1, INT_MIN, INT_MAX}) EXPECT_TRUE(nothing(column));
  EXPECT_EQ(blob(0), (bytes{0x01, 0x02}));
  EXPECT_EQ(blob(1), (bytes{'7'}));
  ASSERT_EQ(kel_sqlite_step(db), SQLITE_ROW);
  EXPECT_EQ(blob(0), (bytes{0x03}));
  ASSERT_EQ(kel_sqlite_step(db), SQLITE_DONE);
  EXPECT_TRUE(nothing(0)) << "after the last row";
  kel_sqlite_finalize(db);

  handle wide = kel_sqlite_new(dir.path("utf16.db"), "wide");
  ASSERT_EQ(kel_sqlite_open(wide), SQLITE_OK);
  ASSERT_EQ(kel_sqlite_sql_stmt(wide,
                                "PRAGMA encoding = 'UTF-16le'; CREATE TABLE w(t TEXT);"
                                "INSERT INTO w VALUES('h\xc3\xa9llo w\xc3\xb6rld \xe2\x82\xac'), ('');",
                                nullptr),
            SQLITE_OK);
  ASSERT_EQ(kel_sqlite_prepare(wide, "SELECT t FROM w ORDER BY rowid"), SQLITE_OK);
  ASSERT_EQ(kel_sqlite_step(wide), SQLITE_ROW);
  unsigned char* data = nullptr;
  int size = -1;
  ASSERT_TRUE(kel_sqlite_column_blob(wide, 0, data, size));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), static_cast<std::size_t>(size)),
            "h\xc3\xa9llo w\xc3\xb6rld \xe2\x82\xac");
  std::free(data);
  ASSERT_EQ(kel_sqlite_step(wide), SQLITE_ROW);
  EXPECT_TRUE(kel_sqlite_column_blob(wide, 0, data, size)) << "an empty text is a value, not a failure";
  EXPECT_EQ(size, 0);
  std::free(data);
  kel_sqlite_finalize(wide);
  kel_sqlite_close(wide);
}

TEST_F(Statement, ConnectionCountersNeedNoStatementButCountersAndStepNeedAConnection) {
  exec("CREATE TABLE c(id INTEGER PRIMARY KEY, v INTEGER); INSERT INTO c(v) VALUES(1),(2),(3);");
  EXPECT_EQ(kel_sqlite_last_insert_rowid(db), 3LL);
  exec("UPDATE c SET v = v + 1");
  EXPECT_EQ(kel_sqlite_affected_rows_count(db), 3);
  exec("INSERT INTO c VALUES(5000000000, 0)");
  EXPECT_EQ(kel_sqlite_last_insert_rowid(db), 5000000000LL);
  EXPECT_EQ(kel_sqlite_affected_rows_count(db), 1);
  EXPECT_EQ(log.take(), (calls{db_open(true, 209), db_open(true, 303), db_open(true, 209), db_open(true, 303)}));

  // The close finalizes a statement in progress: nothing is left to step.
  first_row("SELECT a FROM t");
  ASSERT_TRUE(kel_sqlite_close(db));
  log.clear();
  EXPECT_EQ(kel_sqlite_step(db), -1);
  EXPECT_EQ(kel_sqlite_last_insert_rowid(db), -1LL);
  EXPECT_EQ(kel_sqlite_affected_rows_count(db), -1);
  EXPECT_EQ(log.take(), (calls{db_open(false, 192), stmt_open(false, 193), db_open(false, 209), db_open(false, 303)}));
  EXPECT_TRUE(kel_sqlite_finalize(db));
}

// ---- rows_each -------------------------------------------------------------

TEST_F(Statement, RowsEachDeliversRowsInOrderStopsOnFalseAndResumesFromTheCurrentRow) {
  ASSERT_EQ(kel_sqlite_prepare(db, "SELECT a FROM t ORDER BY a"), SQLITE_OK);
  rows got;
  unsigned long count = 0;
  log.clear();
  EXPECT_EQ(kel_sqlite_rows_each(db, count, recorder(got)), SQLITE_DONE);
  EXPECT_EQ(count, 3UL);
  EXPECT_EQ(got, (rows{{0, 10}, {1, 20}, {2, 30}}));
  calls expected = {db_open(true, 219), stmt_open(true, 220)};
  for (int step = 0; step < 4; ++step) {
    expected.push_back(db_open(true, 192));
    expected.push_back(stmt_open(true, 193));
    if (step < 3) expected.push_back(stmt_open(true, 252));  // the callback's column read
  }
  EXPECT_EQ(log.take(), expected);
  // The statement is left done, still prepared; SQLite starts it over on the next step.
  EXPECT_EQ(kel_sqlite_step(db), SQLITE_ROW);
  EXPECT_EQ(kel_sqlite_column_int(db, 0), 10);

  // A false from the callback stops on its row, without a reset.
  ASSERT_EQ(kel_sqlite_reset(db), SQLITE_OK);
  got.clear();
  EXPECT_EQ(kel_sqlite_rows_each(db, count, recorder(got, 1)), SQLITE_ROW);
  EXPECT_EQ(count, 2UL);
  EXPECT_EQ(got, (rows{{0, 10}, {1, 20}}));
  EXPECT_EQ(kel_sqlite_column_int(db, 0), 20);

  // Delivery goes on from the statement's current position, counting from 0.
  got.clear();
  EXPECT_EQ(kel_sqlite_rows_each(db, count, recorder(got)), SQLITE_DONE);
  EXPECT_EQ(count, 1UL);
  EXPECT_EQ(got, (rows{{0, 30}}));
}

TEST_F(Statement, RowsEachWithNoRowsNoStatementOrAFailingStep) {
  const kel_sqlite_row_callback none;  // calling it would throw: these runs show it never is
  unsigned long count = 77;            // left from an earlier call
  EXPECT_EQ(kel_sqlite_rows_each(db, count, none), 0);
  EXPECT_EQ(count, 0UL);
  EXPECT_EQ(log.take(), (calls{db_open(true, 219), stmt_open(false, 220), db_open(true, 192), stmt_open(false, 193)}));

  // A failed step is answered by the reset, which gives the step's own error code and rewinds
  // the statement; rows delivered before it stay counted.
  ASSERT_EQ(
      kel_sqlite_prepare(db, "SELECT CASE WHEN a = 20 THEN zeroblob(2000000000) ELSE a END FROM t ORDER BY rowid"),
      SQLITE_OK);
  rows got;
  EXPECT_EQ(kel_sqlite_rows_each(db, count, recorder(got)), SQLITE_TOOBIG);
  EXPECT_EQ(count, 1UL);
  EXPECT_EQ(got, (rows{{0, 10}}));
  EXPECT_STREQ(kel_sqlite_last_error_message(db), "string or blob too big");
  ASSERT_EQ(kel_sqlite_step(db), SQLITE_ROW);
  EXPECT_EQ(kel_sqlite_column_int(db, 0), 10);
}

TEST_F(Statement, RowsEachLetsCallbackExceptionsThroughAndSurvivesAFinalizingCallback) {
  ASSERT_EQ(kel_sqlite_prepare(db, "SELECT a FROM t ORDER BY a"), SQLITE_OK);
  unsigned long count = 0;
  // The exception passes through; the row is counted and the statement not reset.
  const long owners = db.use_count();
  const kel_sqlite_row_callback throwing = [](handle obj, unsigned long index) -> bool {
    if (index == 1) throw std::out_of_range("at 1");
    return kel_sqlite_column_int(obj, 0) == 10;
  };
  EXPECT_THROW(kel_sqlite_rows_each(db, count, throwing), std::out_of_range);
  EXPECT_EQ(count, 2UL);
  EXPECT_EQ(kel_sqlite_column_int(db, 0), 20);
  // The pointer handed to the callback was released on the way out.
  EXPECT_EQ(db.use_count(), owners);

  // A callback that finalizes the statement ends the walk at the next step's check.
  ASSERT_EQ(kel_sqlite_reset(db), SQLITE_OK);
  log.clear();
  const kel_sqlite_row_callback finalizing = [](handle obj, unsigned long) { return kel_sqlite_finalize(obj); };
  EXPECT_EQ(kel_sqlite_rows_each(db, count, finalizing), 0);
  EXPECT_EQ(count, 1UL);
  EXPECT_EQ(log.take(), (calls{db_open(true, 219), stmt_open(true, 220), db_open(true, 192), stmt_open(true, 193),
                               db_open(true, 192), stmt_open(false, 193)}));
  EXPECT_EQ(kel_sqlite_sql(db), nullptr);
}

}  // namespace

namespace {

// What a callback does to the statement it walks, and what the walk makes of it. The walk never
// restarts the statement or walks another: the three-row query would otherwise be delivered
// without end, again or in part from another statement. A callback that finds itself called for
// more rows than the query has records the failure and stops the walk, so that a walk that restarts
// fails the case instead of hanging it.
struct walk_case {
  const char* name;
  std::function<void(const handle&)> at_first_row;  // the callback's action at index 0
  int result;
  unsigned long count;
};

TEST_F(Statement, RowsEachNeverRestartsOrSwitchesWhateverTheCallbackDoesToTheStatement) {
  const std::string query = "SELECT a FROM t ORDER BY a";  // 10, 20, 30
  const walk_case cases[] = {
      {"steps once: goes on from the row it stepped to", [](const handle& obj) { kel_sqlite_step(obj); }, SQLITE_DONE,
       2},
      {"steps to the end",
       [](const handle& obj) {
         while (kel_sqlite_step(obj) == SQLITE_ROW) {
         }
       },
       SQLITE_DONE, 1},
      {"steps past the end, so that SQLite starts it over",
       [](const handle& obj) {
         while (kel_sqlite_step(obj) == SQLITE_ROW) {
         }
         ASSERT_EQ(kel_sqlite_step(obj), SQLITE_ROW);
       },
       SQLITE_MISUSE, 1},
      {"resets", [](const handle& obj) { ASSERT_EQ(kel_sqlite_reset(obj), SQLITE_OK); }, SQLITE_MISUSE, 1},
      {"resets and steps to the row it was on",
       [](const handle& obj) {
         kel_sqlite_reset(obj);
         kel_sqlite_step(obj);
       },
       SQLITE_MISUSE, 1},
      {"resets and steps to its end",
       [](const handle& obj) {
         kel_sqlite_reset(obj);
         while (kel_sqlite_step(obj) == SQLITE_ROW) {
         }
       },
       SQLITE_MISUSE, 1},
      {"finalizes and prepares the same text (the address may be reused)",
       [&query](const handle& obj) {
         kel_sqlite_finalize(obj);
         ASSERT_EQ(kel_sqlite_prepare(obj, query), SQLITE_OK);
       },
       SQLITE_MISUSE, 1},
      {"finalizes and prepares another query",
       [](const handle& obj) {
         kel_sqlite_finalize(obj);
         ASSERT_EQ(kel_sqlite_prepare(obj, "SELECT 7 UNION ALL SELECT 8"), SQLITE_OK);
       },
       SQLITE_MISUSE, 1},
      {"only finalizes", [](const handle& obj) { kel_sqlite_finalize(obj); }, 0, 1},
      {"walks the rest itself",
       [](const handle& obj) { EXPECT_EQ(kel_sqlite_rows_each(obj, [](handle, unsigned long) { return true; }), 101); },
       SQLITE_DONE, 1},
      {"walks one more row itself and stops there",
       [](const handle& obj) {
         EXPECT_EQ(kel_sqlite_rows_each(obj, [](handle, unsigned long) { return false; }), 100);
       },
       SQLITE_DONE, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kel_sqlite_finalize(db);
    ASSERT_EQ(kel_sqlite_prepare(db, query), SQLITE_OK);
    unsigned long count = 0;
    unsigned long calls = 0;
    const int rc = kel_sqlite_rows_each(db, count, [&](handle obj, unsigned long index) {
      EXPECT_EQ(index, calls);
      if (++calls > 3) {
        ADD_FAILURE() << "more rows delivered than the query has";
        return false;
      }
      if (index == 0) c.at_first_row(obj);
      return true;
    });
    EXPECT_EQ(rc, c.result);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(calls, c.count);
  }

  // Stepped into an error: the walk ends as misuse, the statement as the callback left it.
  kel_sqlite_finalize(db);
  ASSERT_EQ(
      kel_sqlite_prepare(db, "SELECT CASE WHEN a = 20 THEN zeroblob(2000000000) ELSE a END FROM t ORDER BY rowid"),
      SQLITE_OK);
  unsigned long count = 0;
  EXPECT_EQ(
      kel_sqlite_rows_each(db, count, [](handle obj, unsigned long) { return kel_sqlite_step(obj) == SQLITE_TOOBIG; }),
      SQLITE_MISUSE);
  EXPECT_EQ(count, 1UL);
  EXPECT_EQ(kel_sqlite_reset(db), SQLITE_TOOBIG);

  // Taking rows in pairs: the walk delivers the first of each pair, the callback steps to the second.
  // With three rows the callback's second step finds the end, and the walk ends there.
  kel_sqlite_finalize(db);
  ASSERT_EQ(kel_sqlite_prepare(db, query), SQLITE_OK);
  std::vector<int> firsts;
  EXPECT_EQ(kel_sqlite_rows_each(db, count,
                                 [&firsts](handle obj, unsigned long) {
                                   firsts.push_back(kel_sqlite_column_int(obj, 0));
                                   if (firsts.size() > 3) {
                                     ADD_FAILURE() << "more rows delivered than the query has";
                                     return false;
                                   }
                                   kel_sqlite_step(obj);
                                   return true;
                                 }),
            SQLITE_DONE);
  EXPECT_EQ(count, 2UL);
  EXPECT_EQ(firsts, (std::vector<int>{10, 30}));

  kel_sqlite_finalize(db);
  exec("INSERT INTO t VALUES(40)");
  ASSERT_EQ(kel_sqlite_prepare(db, query), SQLITE_OK);
  std::vector<std::pair<int, int>> pairs;
  EXPECT_EQ(kel_sqlite_rows_each(db, count,
                                 [&pairs](handle obj, unsigned long) {
                                   const int first = kel_sqlite_column_int(obj, 0);
                                   EXPECT_EQ(kel_sqlite_step(obj), SQLITE_ROW);
                                   pairs.emplace_back(first, kel_sqlite_column_int(obj, 0));
                                   return pairs.size() <= 2;
                                 }),
            SQLITE_DONE);
  EXPECT_EQ(count, 2UL);
  EXPECT_EQ(pairs, (std::vector<std::pair<int, int>>{{10, 20}, {30, 40}}));
}

}  // namespace
