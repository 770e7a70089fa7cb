// The Connection object: one SQLite database, at most one open connection to
// it and at most one prepared statement on that connection.
#pragma once

#include "thread_annotations.h"

#include <kel_database/kel_database.h>
#include <kel_system.h>

#include <sqlite3.h>

#include <string>

class _kel_sqlite : public _kel_object {
 public:
  _kel_sqlite(std::string path, std::string name);
  ~_kel_sqlite() override;

  boost::shared_ptr<_kel_object> to_object() override;
  std::string object_tag() override;
  void destroy(std::string file, int line) KEL_EXCLUDES(mutex) override;

  /// A handle sharing ownership with the object's owners.
  boost::shared_ptr<_kel_sqlite> self();

  std::string get_name() KEL_EXCLUDES(mutex);
  bool is_opened() KEL_EXCLUDES(mutex);
  /// Finalizes the current statement, if any. No check, no lock.
  void release_statement();

  // Opening, closing, direct SQL and errors.
  int try_open();
  int open();
  void close();
  int sql_stmt(const char* sql, char** errmsg);
  int last_error_code();
  const char* last_error_message();

  // The prepared statement.
  int prepare(const std::string& sql);
  int bind_int(int index, int value);
  int bind_int64(int index, long long value);
  int bind_double(int index, double value);
  int bind_blob(int index, const unsigned char* data, unsigned long size);
  int bind_blob_static(int index, const unsigned char* data, unsigned long size);
  int bind_text(int index, const char* text, unsigned long size);
  int bind_text_static(int index, const char* text, unsigned long size);
  int bind_parameter_count();
  const char* bind_parameter_name(int index);
  int bind_parameter_index(const char* name);
  int bind_clear();
  int step();
  int reset();
  const char* sql();
  int rows_each(unsigned long& count, const kel_sqlite_row_callback& callback);

  // Result columns and counters.
  int data_count();
  int column_count();
  long long last_insert_rowid();
  int affected_rows_count();
  bool column_blob(int column, unsigned char*& data, int& size);
  std::string column_text(int column);
  int column_int(int column);
  long long column_int64(int column);
  double column_double(int column);
  int column_type(int column);
  const char* column_decltype(int column);
  const char* column_name(int column);

 private:
  int open_with(int flags, int check_line) KEL_EXCLUDES(mutex);
  /// Closes `db` (reporting the close check) and clears the opened flag.
  void close_connection() KEL_EXCLUDES(mutex);
  void queue_release();
  /// Steps the statement, which must exist, and keeps the record a row walk
  /// reads (see rows_each).
  int step_statement();
  /// The statement was prepared, finalized or rewound to its start.
  void statement_rewound() {
    ++stmt_rewinds;
    ++stmt_turns;
    last_step = SQLITE_OK;
  }

  const std::string path;  // never changes
  // The object's own mutex (from _kel_object) guards these three.
  std::string name KEL_GUARDED_BY(mutex);
  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
  bool opened KEL_GUARDED_BY(mutex) = false;
  bool destroyed KEL_GUARDED_BY(mutex) = false;  // set by the first destroy that goes ahead

  // What a row walk needs to tell what its callback did to the statement,
  // kept like `stmt` (by whichever thread works on the object). SQLite may
  // hand a new statement the address of one just finalized, so pointers
  // alone cannot tell a replaced statement from the same one.
  unsigned long stmt_rewinds = 0;  // prepares, finalizes, resets and steps that start the statement over
  unsigned long stmt_turns = 0;    // the same, and every step that gives no row
  int last_step = SQLITE_OK;       // the last step's result; SQLITE_OK after a prepare, finalize or reset
};
