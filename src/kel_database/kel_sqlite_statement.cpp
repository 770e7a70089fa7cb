// Connection object: the prepared statement, its bindings and row iteration.
#include "kel_sqlite.h"

#include "kel_assert.h"
#include "state_checks.h"

#include <climits>

namespace {

// SQLite takes byte counts as int. A count is passed on only when SQLite
// reads it as the caller meant it: a larger one would be cut to a shorter
// (or negative) length and bind a different value without notice.
bool narrow_count(unsigned long size, bool text, int& count) {
  if (size <= static_cast<unsigned long>(INT_MAX)) {
    count = static_cast<int>(size);
    return true;
  }
  if (text && size == ULONG_MAX) {  // the caller's "up to the NUL"
    count = -1;
    return true;
  }
  return false;
}

int bind_bytes(sqlite3_stmt* stmt, int index, const void* data, unsigned long size, bool text,
               sqlite3_destructor_type lifetime) {
  int count;
  if (!narrow_count(size, text, count)) return SQLITE_TOOBIG;
  return text ? sqlite3_bind_text(stmt, index, static_cast<const char*>(data), count, lifetime)
              : sqlite3_bind_blob(stmt, index, data, count, lifetime);
}

}  // namespace

int _kel_sqlite::prepare(const std::string& sql) {
  const bool have_db = kel_checks::db_open(db, kel_checks::line::prepare_db);
  // Preparing over a statement would leak it: the one in place stays usable.
  const bool no_stmt = kel_checks::stmt_closed(stmt, kel_checks::line::prepare_stmt);
  if (!have_db || !no_stmt) return -1;
  const int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
  if (stmt != nullptr) statement_rewound();
  return rc;
}

int _kel_sqlite::bind_int(int index, int value) {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::bind_int)) return -1;
  return sqlite3_bind_int(stmt, index, value);
}

int _kel_sqlite::bind_int64(int index, long long value) {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::bind_int64)) return -1;
  return sqlite3_bind_int64(stmt, index, value);
}

int _kel_sqlite::bind_double(int index, double value) {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::bind_double)) return -1;
  return sqlite3_bind_double(stmt, index, value);
}

int _kel_sqlite::bind_blob(int index, const unsigned char* data, unsigned long size) {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::bind_blob)) return -1;
  return bind_bytes(stmt, index, data, size, false, SQLITE_TRANSIENT);
}

int _kel_sqlite::bind_blob_static(int index, const unsigned char* data, unsigned long size) {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::bind_blob_static)) return -1;
  return bind_bytes(stmt, index, data, size, false, SQLITE_STATIC);
}

int _kel_sqlite::bind_text(int index, const char* text, unsigned long size) {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::bind_text)) return -1;
  return bind_bytes(stmt, index, text, size, true, SQLITE_TRANSIENT);
}

int _kel_sqlite::bind_text_static(int index, const char* text, unsigned long size) {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::bind_text_static)) return -1;
  return bind_bytes(stmt, index, text, size, true, SQLITE_STATIC);
}

int _kel_sqlite::bind_parameter_count() {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::bind_parameter_count)) return -1;
  return sqlite3_bind_parameter_count(stmt);
}

const char* _kel_sqlite::bind_parameter_name(int index) {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::bind_parameter_name)) return nullptr;
  return sqlite3_bind_parameter_name(stmt, index);
}

int _kel_sqlite::bind_parameter_index(const char* name) {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::bind_parameter_index)) return -1;
  // SQLite measures the name with strlen: a null name would crash it.
  if (name == nullptr) return 0;
  return sqlite3_bind_parameter_index(stmt, name);
}

int _kel_sqlite::bind_clear() {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::bind_clear)) return -1;
  return sqlite3_clear_bindings(stmt);
}

int _kel_sqlite::step() {
  const bool have_db = kel_checks::db_open(db, kel_checks::line::step_db);
  const bool have_stmt = kel_checks::stmt_open(stmt, kel_checks::line::step_stmt);
  if (!have_db || !have_stmt) return -1;
  return step_statement();
}

int _kel_sqlite::step_statement() {
  KEL_ASSERT(stmt != nullptr && db != nullptr);
  // Not on a row: this step runs the statement from its start (SQLite
  // starts a finished statement over by itself).
  if (last_step != SQLITE_ROW) statement_rewound();
  last_step = sqlite3_step(stmt);
  if (last_step != SQLITE_ROW) ++stmt_turns;
  return last_step;
}

int _kel_sqlite::reset() {
  if (stmt == nullptr) return SQLITE_OK;
  statement_rewound();
  return sqlite3_reset(stmt);
}

const char* _kel_sqlite::sql() {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::sql)) return nullptr;
  return sqlite3_sql(stmt);
}

int _kel_sqlite::rows_each(unsigned long& count, const kel_sqlite_row_callback& callback) {
  kel_checks::db_open(db, kel_checks::line::rows_each_db);
  kel_checks::stmt_open(stmt, kel_checks::line::rows_each_stmt);
  count = 0;
  int code = step();
  while (code == SQLITE_ROW) {
    ++count;
    const unsigned long turns = stmt_turns;
    const unsigned long rewinds = stmt_rewinds;
    // The callback owns its handle for the call; it may keep a copy.
    if (!callback(self(), count - 1)) return code;
    // A callback that only read the row, or stepped on to further rows,
    // leaves the walk to go on from where the statement stands.
    if (stmt_turns != turns) {
      // Otherwise the walk never restarts the statement or walks another.
      // A finalized statement is left to the next step, whose check reports
      // it (0, below); one that was reset, replaced, started over or stepped
      // into an error ends the walk as misuse; one stepped to its end ends
      // it as done.
      if (stmt != nullptr) {
        if (stmt_rewinds != rewinds || last_step != SQLITE_DONE) return SQLITE_MISUSE;
        return SQLITE_DONE;
      }
    }
    code = step();
  }
  if (code == SQLITE_DONE) return code;
  // A failed step: the reset reports its error code and rewinds the statement.
  return reset();
}
