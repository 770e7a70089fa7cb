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
#include <vector>

#include "test_support.h"

namespace {

using namespace kel_test;
using handle = boost::shared_ptr<_kel_sqlite>;
using calls = std::vector<assertion_call>;

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

  void exec(const char* sql) {
    char* message = nullptr;
    EXPECT_EQ(kel_sqlite_sql_stmt(db, sql, &message), SQLITE_OK) << (message ? message : "") << " in " << sql;
    kel_sqlite_free(db, message);
  }

  // Prepares `sql` and steps to its first row.
  void first_row(const std::string& sql) {
    ASSERT_EQ(kel_sqlite_prepare(db, sql), SQLITE_OK) << sql;
    ASSERT_EQ(kel_sqlite_step(db), SQLITE_ROW) << sql;
  }

  long long count_rows(const char* table) {
    kel_sqlite_finalize(db);
    first_row(std::string("SELECT count(*) FROM ") + table);
    const long long n = kel_sqlite_column_int64(db, 0);
    kel_sqlite_finalize(db);
    return n;
  }

  temp_dir dir;
  assertion_log log;
  handle db;
};

TEST_F(Statement, PrepareCompilesOnlyTheFirstStatement) {
  ASSERT_EQ(kel_sqlite_prepare(db, "INSERT INTO t VALUES(1); INSERT INTO t VALUES(2);"), SQLITE_OK);
  EXPECT_EQ(log.take(), (calls{db_open(true, 98), stmt_closed(true, 99)}));
  EXPECT_STREQ(kel_sqlite_sql(db), "INSERT INTO t VALUES(1);");
  EXPECT_EQ(kel_sqlite_step(db), SQLITE_DONE);
  EXPECT_EQ(count_rows("t"), 4);

  first_row("SELECT 1; SELECT 2;");
  EXPECT_EQ(kel_sqlite_column_int(db, 0), 1);
  EXPECT_EQ(kel_sqlite_step(db), SQLITE_DONE);

  // SQLite reads the text up to its first NUL.
  kel_sqlite_finalize(db);
  first_row(std::string("SELECT 7\0 garbage", 17));
  EXPECT_EQ(kel_sqlite_column_int(db, 0), 7);
}

TEST_F(Statement, TextWithoutAStatementOrWithAnErrorLeavesNone) {
  for (const char* text : {"", "  \n\t ", "-- only a comment\n"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(kel_sqlite_prepare(db, text), SQLITE_OK);
    log.clear();
    EXPECT_EQ(kel_sqlite_step(db), -1);
    EXPECT_EQ(log.take(), (calls{db_open(true, 192), stmt_open(false, 193)}));
  }
  EXPECT_EQ(kel_sqlite_prepare(db, "SELECT * FROM nowhere"), SQLITE_ERROR);
  EXPECT_STREQ(kel_sqlite_last_error_message(db), "no such table: nowhere");
  log.clear();
  EXPECT_EQ(kel_sqlite_sql(db), nullptr);
  EXPECT_EQ(log.take(), calls{stmt_open(false, 344)});
}

TEST_F(Statement, SecondPrepareWithoutFinalizeKeepsTheFirst) {
  ASSERT_EQ(kel_sqlite_prepare(db, "SELECT a FROM t ORDER BY a"), SQLITE_OK);
  log.clear();
  EXPECT_EQ(kel_sqlite_prepare(db, "SELECT 99"), -1);
  EXPECT_EQ(log.take(), (calls{db_open(true, 98), stmt_closed(false, 99)}));
  EXPECT_STREQ(kel_sqlite_sql(db), "SELECT a FROM t ORDER BY a");
  EXPECT_EQ(kel_sqlite_step(db), SQLITE_ROW);
  EXPECT_EQ(kel_sqlite_column_int(db, 0), 10);

  // Reset and finalize need no statement and report nothing without one.
  EXPECT_TRUE(kel_sqlite_finalize(db));
  log.clear();
  EXPECT_TRUE(kel_sqlite_finalize(db));
  EXPECT_TRUE(kel_sqlite_finalize(db));
  EXPECT_EQ(kel_sqlite_reset(db), SQLITE_OK);
  EXPECT_EQ(log.take(), calls{});
  EXPECT_EQ(kel_sqlite_sql(db), nullptr);
  EXPECT_EQ(log.take(), calls{stmt_open(false, 344)});
  EXPECT_EQ(kel_sqlite_prepare(db, "SELECT 99"), SQLITE_OK);
}

TEST_F(Statement, TransientBindsCopyStaticBindsReferTheCallersBuffer) {
  ASSERT_EQ(kel_sqlite_prepare(db, "SELECT ?1, ?2, ?3, ?4"), SQLITE_OK);
  log.clear();
  char copied[] = "alpha";
  char referred[] = "alpha";
  unsigned char blob_copied[] = {1, 2, 3};
  unsigned char blob_referred[] = {1, 2, 3};
  EXPECT_EQ(kel_sqlite_bind_text(db, 1, copied, 5), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_bind_text_static(db, 2, referred, 5), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_bind_blob(db, 3, blob_copied, 3), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_bind_blob_static(db, 4, blob_referred, 3), SQLITE_OK);
  EXPECT_EQ(log.take(),
            (calls{stmt_open(true, 147), stmt_open(true, 158), stmt_open(true, 124), stmt_open(true, 135)}));

  std::memcpy(copied, "omega", 5);
  std::memcpy(referred, "omega", 5);
  blob_copied[0] = blob_referred[0] = 9;
  ASSERT_EQ(kel_sqlite_step(db), SQLITE_ROW);
  EXPECT_EQ(kel_sqlite_column_text(db, 0), "alpha");
  EXPECT_EQ(kel_sqlite_column_text(db, 1), "omega");
  unsigned char* data = nullptr;
  int size = -1;
  ASSERT_TRUE(kel_sqlite_column_blob(db, 2, data, size));
  EXPECT_EQ(std::vector<unsigned char>(data, data + size), (std::vector<unsigned char>{1, 2, 3}));
  std::free(data);
  ASSERT_TRUE(kel_sqlite_column_blob(db, 3, data, size));
  EXPECT_EQ(std::vector<unsigned char>(data, data + size), (std::vector<unsigned char>{9, 2, 3}));
  std::free(data);
}

TEST_F(Statement, ByteCountsBindExactlyTheCallersLengthOrAreRefused) {
  ASSERT_EQ(kel_sqlite_prepare(db, "SELECT ?1, ?2"), SQLITE_OK);
  log.clear();
  const char text[] = "hello world";  // eleven bytes
  const unsigned char bytes[] = {7, 8, 9, 10};

  EXPECT_EQ(kel_sqlite_bind_text(db, 1, text, 5), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_bind_blob(db, 2, bytes, 2), SQLITE_OK);
  // Counts that do not fit SQLite's int are refused and leave the binding as
  // it was; cutting them to 32 bits would silently bind something shorter.
  for (unsigned long n : {kTooBig, (1UL << 32) + 3, kWholeText - 1}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(kel_sqlite_bind_text(db, 1, text, n), SQLITE_TOOBIG);
    EXPECT_EQ(kel_sqlite_bind_text_static(db, 1, text, n), SQLITE_TOOBIG);
    EXPECT_EQ(kel_sqlite_bind_blob(db, 2, bytes, n), SQLITE_TOOBIG);
    EXPECT_EQ(kel_sqlite_bind_blob_static(db, 2, bytes, n), SQLITE_TOOBIG);
  }
  // For a blob even the largest count has no special meaning.
  EXPECT_EQ(kel_sqlite_bind_blob(db, 2, bytes, kWholeText), SQLITE_TOOBIG);
  // Refused counts still report the statement check first.
  calls expected = {stmt_open(true, 147), stmt_open(true, 124)};
  for (int i = 0; i < 3; ++i)
    for (int line : {147, 158, 124, 135}) expected.push_back(stmt_open(true, line));
  expected.push_back(stmt_open(true, 124));
  EXPECT_EQ(log.take(), expected);
  ASSERT_EQ(kel_sqlite_step(db), SQLITE_ROW);
  EXPECT_EQ(kel_sqlite_column_text(db, 0), "hello");
  unsigned char* data = nullptr;
  int size = -1;
  ASSERT_TRUE(kel_sqlite_column_blob(db, 1, data, size));
  EXPECT_EQ(std::vector<unsigned char>(data, data + size), (std::vector<unsigned char>{7, 8}));
  std::free(data);

  // The largest count means "up to the NUL", copied or referred to.
  ASSERT_EQ(kel_sqlite_reset(db), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_bind_text(db, 1, text, kWholeText), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_bind_text_static(db, 2, text + 6, kWholeText), SQLITE_OK);
  ASSERT_EQ(kel_sqlite_step(db), SQLITE_ROW);
  EXPECT_EQ(kel_sqlite_column_text(db, 0), "hello world");
  EXPECT_EQ(kel_sqlite_column_text(db, 1), "world");
}

TEST_F(Statement, ResetKeepsBindingsClearDropsThem) {
  ASSERT_EQ(kel_sqlite_prepare(db, "SELECT ?1, ?2, ?3"), SQLITE_OK);
  log.clear();
  EXPECT_EQ(kel_sqlite_bind_int(db, 1, 7), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_bind_int64(db, 2, 5000000000LL), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_bind_double(db, 3, 0.25), SQLITE_OK);
  EXPECT_EQ(log.take(), (calls{stmt_open(true, 105), stmt_open(true, 110), stmt_open(true, 115)}));

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(kel_sqlite_step(db), SQLITE_ROW);
    EXPECT_EQ(kel_sqlite_column_int(db, 0), 7);
    EXPECT_EQ(kel_sqlite_column_int64(db, 1), 5000000000LL);
    EXPECT_EQ(kel_sqlite_column_double(db, 2), 0.25);
    // SQLite refuses to bind to a statement stepped since its last reset.
    EXPECT_EQ(kel_sqlite_bind_int(db, 1, 8), SQLITE_MISUSE);
    EXPECT_EQ(kel_sqlite_reset(db), SQLITE_OK);
  }
  log.clear();
  EXPECT_EQ(kel_sqlite_bind_clear(db), SQLITE_OK);
  EXPECT_EQ(log.take(), calls{stmt_open(true, 186)});
  ASSERT_EQ(kel_sqlite_step(db), SQLITE_ROW);
  for (int column = 0; column < 3; ++column) EXPECT_TRUE(kel_sqlite_is_column_null(db, column)) << column;
}

TEST_F(Statement, ParametersAreFoundByIndexAndName) {
  ASSERT_EQ(kel_sqlite_prepare(db, "SELECT :alpha, ?3"), SQLITE_OK);
  log.clear();
  EXPECT_EQ(kel_sqlite_bind_parameter_count(db), 3);
  EXPECT_STREQ(kel_sqlite_bind_parameter_name(db, 1), ":alpha");
  EXPECT_EQ(kel_sqlite_bind_parameter_name(db, 2), nullptr);
  EXPECT_STREQ(kel_sqlite_bind_parameter_name(db, 3), "?3");
  EXPECT_EQ(kel_sqlite_bind_parameter_index(db, ":alpha"), 1);
  EXPECT_EQ(kel_sqlite_bind_parameter_index(db, "?3"), 3);
  EXPECT_EQ(kel_sqlite_bind_parameter_index(db, ":beta"), 0);
  EXPECT_EQ(kel_sqlite_bind_parameter_index(db, "alpha"), 0);
  EXPECT_EQ(kel_sqlite_bind_parameter_index(db, nullptr), 0);
  EXPECT_EQ(log.take(), (calls{stmt_open(true, 171), stmt_open(true, 176), stmt_open(true, 176), stmt_open(true, 176),
                               stmt_open(true, 181), stmt_open(true, 181), stmt_open(true, 181), stmt_open(true, 181),
                               stmt_open(true, 181)}));
}

TEST_F(Statement, WithoutAStatementEachFunctionReportsItsCheckAndGivesItsDefault) {
  const unsigned char bytes[] = {1};
  unsigned char byte = 0;
  unsigned char* data = &byte;
  int size = 77;
  struct row {
    int line;
    bool holds_default;
  };
  const std::vector<row> rows = {
      {105, kel_sqlite_bind_int(db, 1, 1) == -1},
      {110, kel_sqlite_bind_int64(db, 1, 1) == -1},
      {115, kel_sqlite_bind_double(db, 1, 1.0) == -1},
      {124, kel_sqlite_bind_blob(db, 1, bytes, 1) == -1},
      {135, kel_sqlite_bind_blob_static(db, 1, bytes, 1) == -1},
      {147, kel_sqlite_bind_text(db, 1, "x", 1) == -1},
      {158, kel_sqlite_bind_text_static(db, 1, "x", 1) == -1},
      {171, kel_sqlite_bind_parameter_count(db) == -1},
      {176, kel_sqlite_bind_parameter_name(db, 1) == nullptr},
      {181, kel_sqlite_bind_parameter_index(db, ":a") == -1},
      {186, kel_sqlite_bind_clear(db) == -1},
      {199, kel_sqlite_data_count(db) == 0},  // SQLite defines this one for no statement
      {204, kel_sqlite_column_count(db) == -1},
      {240, !kel_sqlite_column_blob(db, 0, data, size) && data == &byte && size == 77},
      {247, kel_sqlite_column_text(db, 0).empty()},
      {252, kel_sqlite_column_int(db, 0) == -1},
      {257, kel_sqlite_column_int64(db, 0) == -1LL},
      {262, kel_sqlite_column_double(db, 0) == -1.0},
      {268, kel_sqlite_column_type(db, 0) == -1},
      {268, !kel_sqlite_is_column_null(db, 0)},
      {268, !kel_sqlite_is_column_text(db, 0)},
      {268, !kel_sqlite_is_column_blob(db, 0)},
      {268, !kel_sqlite_is_column_int(db, 0)},
      {268, !kel_sqlite_is_column_double(db, 0)},
      {273, kel_sqlite_column_decltype(db, 0) == nullptr},
      {298, kel_sqlite_column_name(db, 0) == nullptr},
      {344, kel_sqlite_sql(db) == nullptr},
  };
  const calls reported = log.take();
  ASSERT_EQ(reported.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(reported[i], stmt_open(false, rows[i].line)) << "call " << i;
    EXPECT_TRUE(rows[i].holds_default) << "line " << rows[i].line;
  }
}

TEST_F(Statement, ColumnValuesTypesAndNames) {
  exec(
      "CREATE TABLE v(i INTEGER, t TEXT, n NUMERIC, b BLOB, d REAL);"
      "INSERT INTO v VALUES(42, 'hello', NULL, x'00ff10', 2.5);");
  ASSERT_EQ(kel_sqlite_prepare(db, "SELECT i, t, n, b, d, i + 1 AS next FROM v"), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_column_count(db), 6);
  EXPECT_EQ(kel_sqlite_data_count(db), 0);
  ASSERT_EQ(kel_sqlite_step(db), SQLITE_ROW);
  EXPECT_EQ(kel_sqlite_data_count(db), 6);

  const int types[] = {SQLITE_INTEGER, SQLITE_TEXT, SQLITE_NULL, SQLITE_BLOB, SQLITE_FLOAT, SQLITE_INTEGER};
  for (int c = 0; c < 6; ++c) {
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
  EXPECT_EQ(kel_sqlite_column_text(db, 0), "42");
  EXPECT_EQ(kel_sqlite_column_double(db, 0), 42.0);
  EXPECT_EQ(kel_sqlite_column_text(db, 1), "hello");
  EXPECT_EQ(kel_sqlite_column_text(db, 2), "");
  EXPECT_EQ(kel_sqlite_column_int(db, 2), 0);
  EXPECT_EQ(kel_sqlite_column_double(db, 4), 2.5);
  EXPECT_EQ(kel_sqlite_column_int64(db, 5), 43LL);
  EXPECT_STREQ(kel_sqlite_column_decltype(db, 0), "INTEGER");
  EXPECT_STREQ(kel_sqlite_column_decltype(db, 2), "NUMERIC");
  EXPECT_EQ(kel_sqlite_column_decltype(db, 5), nullptr);
  EXPECT_STREQ(kel_sqlite_column_name(db, 3), "b");
  EXPECT_STREQ(kel_sqlite_column_name(db, 5), "next");
  log.clear();
  kel_sqlite_column_int64(db, 0);
  kel_sqlite_column_double(db, 0);
  kel_sqlite_column_decltype(db, 0);
  kel_sqlite_column_name(db, 0);
  kel_sqlite_is_column_blob(db, 0);
  EXPECT_EQ(log.take(), (calls{stmt_open(true, 257), stmt_open(true, 262), stmt_open(true, 273), stmt_open(true, 298),
                               stmt_open(true, 268)}));
}

TEST_F(Statement, BlobCopiesBelongToTheCallerAndTextStopsAtNul) {
  first_row("SELECT x'00ff1000aa', NULL, CAST(x'6162006364' AS TEXT), 5000000000");
  log.clear();
  unsigned char* first = nullptr;
  unsigned char* second = nullptr;
  int first_size = -1;
  int second_size = -1;
  ASSERT_TRUE(kel_sqlite_column_blob(db, 0, first, first_size));
  ASSERT_TRUE(kel_sqlite_column_blob(db, 0, second, second_size));
  EXPECT_EQ(log.take(), (calls{stmt_open(true, 240), stmt_open(true, 240)}));
  ASSERT_EQ(first_size, 5);
  ASSERT_EQ(second_size, 5);
  EXPECT_NE(first, second);
  const unsigned char expected[] = {0x00, 0xff, 0x10, 0x00, 0xaa};
  EXPECT_EQ(std::memcmp(first, expected, 5), 0);
  EXPECT_EQ(std::memcmp(second, expected, 5), 0);
  first[0] = 0x77;  // the copies are independent of each other
  EXPECT_EQ(second[0], 0x00);
  std::free(first);
  std::free(second);

  unsigned char* data = nullptr;
  int size = -1;
  EXPECT_TRUE(kel_sqlite_column_blob(db, 1, data, size));
  EXPECT_EQ(size, 0);
  std::free(data);

  // The text copy ends at the embedded NUL; the blob copy of the same value
  // keeps all its bytes.
  EXPECT_EQ(kel_sqlite_column_text(db, 2), "ab");
  ASSERT_TRUE(kel_sqlite_column_blob(db, 2, data, size));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), std::string("ab\0cd", 5));
  std::free(data);

  EXPECT_EQ(kel_sqlite_column_int64(db, 3), 5000000000LL);
  EXPECT_EQ(kel_sqlite_column_text(db, 3), "5000000000");
  EXPECT_EQ(kel_sqlite_column_double(db, 3), 5e9);
}

TEST_F(Statement, ConnectionCountersNeedNoStatement) {
  exec("CREATE TABLE c(id INTEGER PRIMARY KEY, v INTEGER); INSERT INTO c(v) VALUES(1),(2),(3);");
  EXPECT_EQ(kel_sqlite_last_insert_rowid(db), 3LL);
  exec("UPDATE c SET v = v + 1");
  EXPECT_EQ(kel_sqlite_affected_rows_count(db), 3);
  exec("INSERT INTO c VALUES(5000000000, 0)");
  EXPECT_EQ(kel_sqlite_last_insert_rowid(db), 5000000000LL);
  EXPECT_EQ(kel_sqlite_affected_rows_count(db), 1);
  exec("DELETE FROM c WHERE v > 2");
  EXPECT_EQ(kel_sqlite_affected_rows_count(db), 2);
  EXPECT_EQ(log.take(), (calls{db_open(true, 209), db_open(true, 303), db_open(true, 209), db_open(true, 303),
                               db_open(true, 303)}));
  ASSERT_TRUE(kel_sqlite_close(db));
  log.clear();
  EXPECT_EQ(kel_sqlite_last_insert_rowid(db), -1LL);
  EXPECT_EQ(kel_sqlite_affected_rows_count(db), -1);
  EXPECT_EQ(log.take(), (calls{db_open(false, 209), db_open(false, 303)}));
}

TEST_F(Statement, StepAfterCloseWithoutFinalizeIsRefused) {
  first_row("SELECT a FROM t");
  ASSERT_TRUE(kel_sqlite_close(db));
  log.clear();
  EXPECT_EQ(kel_sqlite_step(db), -1);
  EXPECT_EQ(log.take(), (calls{db_open(false, 192), stmt_open(true, 193)}));
  EXPECT_TRUE(kel_sqlite_finalize(db));
}

// ---- rows_each -------------------------------------------------------------

struct seen {
  std::vector<unsigned long> indices;
  std::vector<int> values;
};

kel_sqlite_row_callback collect(seen& s, const handle& expected, unsigned long stop_at = ULONG_MAX) {
  return [&s, expected, stop_at](handle obj, unsigned long index) {
    EXPECT_EQ(obj.get(), expected.get());
    s.indices.push_back(index);
    s.values.push_back(kel_sqlite_column_int(obj, 0));
    return index != stop_at;
  };
}

TEST_F(Statement, RowsEachDeliversEveryRowInOrder) {
  ASSERT_EQ(kel_sqlite_prepare(db, "SELECT a FROM t ORDER BY a"), SQLITE_OK);
  seen s;
  unsigned long count = 0;
  log.clear();
  EXPECT_EQ(kel_sqlite_rows_each(db, count, collect(s, db)), SQLITE_DONE);
  EXPECT_EQ(count, 3UL);
  EXPECT_EQ(s.indices, (std::vector<unsigned long>{0, 1, 2}));
  EXPECT_EQ(s.values, (std::vector<int>{10, 20, 30}));
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

  // The overload without a counter behaves alike.
  ASSERT_EQ(kel_sqlite_reset(db), SQLITE_OK);
  seen again;
  EXPECT_EQ(kel_sqlite_rows_each(db, collect(again, db)), SQLITE_DONE);
  EXPECT_EQ(again.values, (std::vector<int>{10, 20, 30}));
}

TEST_F(Statement, RowsEachStopsOnFalseAndResumesWhereTheCallerLeftOff) {
  ASSERT_EQ(kel_sqlite_prepare(db, "SELECT a FROM t ORDER BY a"), SQLITE_OK);
  seen s;
  unsigned long count = 0;
  EXPECT_EQ(kel_sqlite_rows_each(db, count, collect(s, db, 1)), SQLITE_ROW);
  EXPECT_EQ(count, 2UL);
  EXPECT_EQ(s.values, (std::vector<int>{10, 20}));
  // Still on the row the callback stopped at, and not reset.
  EXPECT_EQ(kel_sqlite_column_int(db, 0), 20);

  // Delivery goes on from the statement's current position, counting from 0.
  seen rest;
  EXPECT_EQ(kel_sqlite_rows_each(db, count, collect(rest, db)), SQLITE_DONE);
  EXPECT_EQ(count, 1UL);
  EXPECT_EQ(rest.indices, (std::vector<unsigned long>{0}));
  EXPECT_EQ(rest.values, (std::vector<int>{30}));

  ASSERT_EQ(kel_sqlite_reset(db), SQLITE_OK);
  ASSERT_EQ(kel_sqlite_step(db), SQLITE_ROW);
  seen after_step;
  EXPECT_EQ(kel_sqlite_rows_each(db, count, collect(after_step, db)), SQLITE_DONE);
  EXPECT_EQ(count, 2UL);
  EXPECT_EQ(after_step.indices, (std::vector<unsigned long>{0, 1}));
  EXPECT_EQ(after_step.values, (std::vector<int>{20, 30}));
}

TEST_F(Statement, RowsEachWithoutRowsOrWithAFailingStep) {
  exec("CREATE TABLE u(a UNIQUE); INSERT INTO u VALUES(1);");
  bool called = false;
  const kel_sqlite_row_callback never = [&](handle, unsigned long) { return called = true; };
  unsigned long count = 77;  // left from an earlier call

  ASSERT_EQ(kel_sqlite_prepare(db, "INSERT INTO u VALUES(2)"), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_rows_each(db, count, never), SQLITE_DONE);
  EXPECT_EQ(count, 0UL);
  EXPECT_FALSE(called);
  EXPECT_EQ(count_rows("u"), 2);

  // The failed step is answered by the reset, which gives its error code.
  ASSERT_EQ(kel_sqlite_prepare(db, "INSERT INTO u VALUES(1)"), SQLITE_OK);
  count = 77;
  EXPECT_EQ(kel_sqlite_rows_each(db, count, never), SQLITE_CONSTRAINT);
  EXPECT_EQ(count, 0UL);
  EXPECT_FALSE(called);
  EXPECT_STREQ(kel_sqlite_last_error_message(db), "UNIQUE constraint failed: u.a");
  kel_sqlite_finalize(db);

  // A step that fails after a row has been delivered keeps that row counted.
  ASSERT_EQ(kel_sqlite_prepare(db,
                               "SELECT CASE WHEN a = 20 THEN abs(-9223372036854775807 - 1) ELSE a END "
                               "FROM t ORDER BY rowid"),
            SQLITE_OK);
  seen s;
  EXPECT_EQ(kel_sqlite_rows_each(db, count, collect(s, db)), SQLITE_ERROR);
  EXPECT_EQ(count, 1UL);
  EXPECT_EQ(s.values, (std::vector<int>{10}));
  EXPECT_STREQ(kel_sqlite_last_error_message(db), "integer overflow");
  // Reset: the statement starts from its first row again.
  ASSERT_EQ(kel_sqlite_step(db), SQLITE_ROW);
  EXPECT_EQ(kel_sqlite_column_int(db, 0), 10);
}

TEST_F(Statement, RowsEachWithAnEmptyCallback) {
  const kel_sqlite_row_callback empty;
  unsigned long count = 5;
  ASSERT_EQ(kel_sqlite_prepare(db, "SELECT a FROM t WHERE a > 100"), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_rows_each(db, count, empty), SQLITE_DONE);
  EXPECT_EQ(count, 0UL);
  kel_sqlite_finalize(db);

  ASSERT_EQ(kel_sqlite_prepare(db, "SELECT a FROM t ORDER BY a"), SQLITE_OK);
  EXPECT_THROW(kel_sqlite_rows_each(db, count, empty), std::bad_function_call);
  EXPECT_EQ(count, 1UL);
  // Not reset: the statement stays on the row that was to be delivered.
  EXPECT_EQ(kel_sqlite_column_int(db, 0), 10);
  EXPECT_THROW(kel_sqlite_rows_each(db, empty), std::bad_function_call);
  EXPECT_EQ(kel_sqlite_column_int(db, 0), 20);
}

TEST_F(Statement, RowsEachWithoutAStatementOrWhenTheCallbackFinalizes) {
  unsigned long count = 5;
  bool called = false;
  EXPECT_EQ(kel_sqlite_rows_each(db, count, [&](handle, unsigned long) { return called = true; }), 0);
  EXPECT_EQ(count, 0UL);
  EXPECT_FALSE(called);
  EXPECT_EQ(log.take(), (calls{db_open(true, 219), stmt_open(false, 220), db_open(true, 192), stmt_open(false, 193)}));

  ASSERT_EQ(kel_sqlite_prepare(db, "SELECT a FROM t ORDER BY a"), SQLITE_OK);
  log.clear();
  const kel_sqlite_row_callback finalizing = [](handle obj, unsigned long) { return kel_sqlite_finalize(obj); };
  EXPECT_EQ(kel_sqlite_rows_each(db, count, finalizing), 0);
  EXPECT_EQ(count, 1UL);
  EXPECT_EQ(log.take(), (calls{db_open(true, 219), stmt_open(true, 220), db_open(true, 192), stmt_open(true, 193),
                               db_open(true, 192), stmt_open(false, 193)}));
  EXPECT_EQ(kel_sqlite_sql(db), nullptr);
}

TEST_F(Statement, RowsEachLetsTheCallbacksOwnExceptionThrough) {
  struct stop_here : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  ASSERT_EQ(kel_sqlite_prepare(db, "SELECT a FROM t ORDER BY a"), SQLITE_OK);
  const long owners = db.use_count();
  unsigned long count = 0;
  const kel_sqlite_row_callback throwing = [](handle obj, unsigned long index) -> bool {
    if (index == 1) throw stop_here("at 1");
    return kel_sqlite_column_int(obj, 0) == 10;
  };
  EXPECT_THROW(kel_sqlite_rows_each(db, count, throwing), stop_here);
  EXPECT_EQ(count, 2UL);
  EXPECT_EQ(kel_sqlite_column_int(db, 0), 20);
  // The pointer handed to the callback was released on the way out.
  EXPECT_EQ(db.use_count(), owners);
  EXPECT_EQ(kel_sqlite_step(db), SQLITE_ROW);
  EXPECT_EQ(kel_sqlite_column_int(db, 0), 30);
}

}  // namespace
