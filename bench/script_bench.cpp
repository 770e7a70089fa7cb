// kel_sql's handling of a script: N inserts (one transaction on an in-memory
// database, so that SQLite's own work per statement is small and whatever
// the client adds stands out), read as kel_sql reads standard input, written
// one statement per line and all on one line. The client's time must grow
// with the length of the script, not with its square: per statement, one
// line costs what N lines cost, and 40 000 statements what 5 000 do.
//
// A third shape is one trigger of N statements, one per line.
//
// The raw floor runs the same text with the SQLite C API as anyone would:
// sqlite3_prepare_v2 from the tail that the previous statement left.
#include "bench_common.h"

#include <kel_database/kel_database.h>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include "sql_client.h"
#include "statement_gatherer.h"

#include <sstream>
#include <string>

namespace kel_bench {
namespace {

std::string script(long statements, const char* separator) {
  std::string text = "CREATE TABLE t(x INTEGER);";
  text += separator;
  text += "BEGIN;";
  for (long i = 0; i < statements; ++i) {
    text += separator;
    text += "INSERT INTO t VALUES(" + std::to_string(i) + ");";
  }
  text += separator;
  text += "COMMIT;\n";
  return text;
}

// One trigger whose body holds N statements, one per line, each with a
// CASE ... END of its own: SQLite's completeness check must not be asked
// again about the growing body at every line or every END.
std::string trigger_script(long statements) {
  std::string text = "CREATE TABLE t(x INTEGER);\nCREATE TRIGGER grow AFTER INSERT ON t BEGIN\n";
  for (long i = 0; i < statements; ++i)
    text += "  SELECT CASE WHEN NEW.x > " + std::to_string(i) + " THEN 1 ELSE 0 END;\n";
  text += "END;\nINSERT INTO t VALUES(1);\n";
  return text;
}

// As kel_sql runs standard input: line by line through the gatherer, each
// complete text handed to the client.
void BM_script_kel_sql(benchmark::State& state, const char* separator) {
  const long statements = state.range(0);
  const std::string text = separator == nullptr ? trigger_script(statements) : script(statements, separator);
  for (auto _ : state) {
    boost::shared_ptr<_kel_sqlite> db = kel_sqlite_new(":memory:", "bench-script");
    if (kel_sqlite_open(db) != 0) state.SkipWithError("open failed");
    kel_sql::client session(db, kel_sql::layout::list);
    kel_sql::statement_gatherer input;
    std::istringstream lines(text);
    std::string line;
    bool ok = true;
    while (ok && std::getline(lines, line)) {
      if (!input.add_line(line)) continue;
      const kel_sql::gathered_text gathered = input.take();
      ok = session.run(gathered.text, gathered.first_line);
    }
    if (!ok) state.SkipWithError("the script failed");
    kel_sqlite_close(db);
    kel_sqlite_destroy(db, __FILE__, __LINE__);
  }
  state.counters["per_statement"] = benchmark::Counter(
      static_cast<double>(statements), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_script_raw(benchmark::State& state) {
  const long statements = state.range(0);
  const std::string text = script(statements, "");
  for (auto _ : state) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    const char* next = text.c_str();
    while (*next != '\0') {
      sqlite3_stmt* stmt = nullptr;
      if (sqlite3_prepare_v2(db, next, -1, &stmt, &next) != SQLITE_OK) {
        state.SkipWithError(sqlite3_errmsg(db));
        break;
      }
      if (stmt == nullptr) continue;  // only blanks were left
      while (sqlite3_step(stmt) == SQLITE_ROW) {
      }
      sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
  }
  state.counters["per_statement"] = benchmark::Counter(
      static_cast<double>(statements), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

void register_script_benchmarks() {
  for (long n : {5000, 40000}) {
    add_benchmark("BM_script/kel_sql_per_line", BM_script_kel_sql, "\n")->Arg(n);
    add_benchmark("BM_script/kel_sql_one_line", BM_script_kel_sql, " ")->Arg(n);
    add_benchmark("BM_script/raw", BM_script_raw)->Arg(n);
    add_benchmark("BM_script/kel_sql_trigger", BM_script_kel_sql, nullptr)->Arg(n);
  }
}

}  // namespace kel_bench
