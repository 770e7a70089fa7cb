#include "floor_connection.h"

#include <kel_system.h>

#include <boost/make_shared.hpp>

#include <climits>

namespace {

constexpr char kModule[] = "src/kel_database/kel_sqlite.cpp";

// The library's check: three std::string temporaries built from pointer and
// length, handed by value to the real routine in libkel_system.
template <std::size_t C, std::size_t M>
bool report(bool ok, const char (&condition)[C], const char (&message)[M], int line) {
  kel_assertion_faild(ok, std::string(condition, C - 1), std::string(message, M - 1),
                      std::string(kModule, sizeof kModule - 1), line);
  return ok;
}

bool db_open(const floor_connection& c, int line) {
  return report(c.db != nullptr, "db!=nullptr", "database must be opened", line);
}
bool stmt_open(const floor_connection& c, int line) {
  return report(c.stmt != nullptr, "stmt!=nullptr", "database statement must be opened", line);
}
bool stmt_closed(const floor_connection& c, int line) {
  return report(c.stmt == nullptr, "stmt==nullptr", "database statement must not be opened already", line);
}

int step_checked(floor_connection& c) {
  const bool have_db = db_open(c, 192);
  const bool have_stmt = stmt_open(c, 193);
  if (!have_db || !have_stmt) return -1;
  return sqlite3_step(c.stmt);
}

}  // namespace

floor_connection::~floor_connection() {
  sqlite3_finalize(stmt);
  sqlite3_close_v2(db);
}

namespace floor_api {

__attribute__((noinline)) floor_handle open(const char* path) {
  auto h = boost::make_shared<floor_connection>();
  if (sqlite3_open_v2(path, &h->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
    sqlite3_close(h->db);
    h->db = nullptr;
  }
  return h;
}

__attribute__((noinline)) int sql_stmt(floor_handle h, const char* sql) {
  if (h->db == nullptr) return SQLITE_MISUSE;
  return sqlite3_exec(h->db, sql, nullptr, nullptr, nullptr);
}

__attribute__((noinline)) int prepare(floor_handle h, std::string sql) {
  const bool have_db = db_open(*h, 98);
  const bool no_stmt = stmt_closed(*h, 99);
  if (!have_db || !no_stmt) return -1;
  return sqlite3_prepare_v2(h->db, sql.c_str(), -1, &h->stmt, nullptr);
}

__attribute__((noinline)) bool finalize(floor_handle h) {
  sqlite3_finalize(h->stmt);
  h->stmt = nullptr;
  return true;
}

__attribute__((noinline)) int bind_int64(floor_handle h, int index, long long value) {
  if (!stmt_open(*h, 110)) return -1;
  return sqlite3_bind_int64(h->stmt, index, value);
}

__attribute__((noinline)) int bind_double(floor_handle h, int index, double value) {
  if (!stmt_open(*h, 115)) return -1;
  return sqlite3_bind_double(h->stmt, index, value);
}

__attribute__((noinline)) int bind_text(floor_handle h, int index, const char* text, unsigned long size) {
  if (!stmt_open(*h, 147)) return -1;
  if (size > static_cast<unsigned long>(INT_MAX)) return SQLITE_TOOBIG;
  return sqlite3_bind_text(h->stmt, index, text, static_cast<int>(size), SQLITE_TRANSIENT);
}

__attribute__((noinline)) int step(floor_handle h) { return step_checked(*h); }

__attribute__((noinline)) int reset(floor_handle h) { return h->stmt == nullptr ? SQLITE_OK : sqlite3_reset(h->stmt); }

__attribute__((noinline)) int rows_each(floor_handle h, floor_row_callback callback) {
  db_open(*h, 219);
  stmt_open(*h, 220);
  unsigned long count = 0;
  int code = step_checked(*h);
  while (code == SQLITE_ROW) {
    ++count;
    if (!callback(floor_handle(h), count - 1)) return code;
    code = step_checked(*h);
  }
  if (code == SQLITE_DONE) return code;
  return h->stmt == nullptr ? SQLITE_OK : sqlite3_reset(h->stmt);
}

__attribute__((noinline)) long long column_int64(floor_handle h, int column) {
  if (!stmt_open(*h, 257)) return -1;
  return sqlite3_column_int64(h->stmt, column);
}

__attribute__((noinline)) double column_double(floor_handle h, int column) {
  if (!stmt_open(*h, 262)) return -1.0;
  return sqlite3_column_double(h->stmt, column);
}

__attribute__((noinline)) std::string column_text(floor_handle h, int column) {
  if (!stmt_open(*h, 247)) return std::string();
  const unsigned char* text = sqlite3_column_text(h->stmt, column);
  if (text == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(text));
}

}  // namespace floor_api
