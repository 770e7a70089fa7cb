// Connection object: columns of the current row and the connection's counters.
#include "kel_sqlite.h"

#include "state_checks.h"

#include <cstdlib>
#include <cstring>

int _kel_sqlite::data_count() {
  // SQLite counts no columns for a missing statement.
  if (!kel_checks::stmt_open(stmt, kel_checks::line::data_count)) return 0;
  return sqlite3_data_count(stmt);
}

int _kel_sqlite::column_count() {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::column_count)) return -1;
  return sqlite3_column_count(stmt);
}

long long _kel_sqlite::last_insert_rowid() {
  if (!kel_checks::db_open(db, kel_checks::line::last_insert_rowid)) return -1;
  return sqlite3_last_insert_rowid(db);
}

int _kel_sqlite::affected_rows_count() {
  if (!kel_checks::db_open(db, kel_checks::line::affected_rows_count)) return -1;
  return sqlite3_changes(db);
}

bool _kel_sqlite::column_blob(int column, unsigned char*& data, int& size) {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::column_blob)) return false;
  data = nullptr;
  size = 0;
  // Outside the current row SQLite answers with a NULL's empty value, which
  // would pass for an empty blob.
  if (column < 0 || column >= sqlite3_data_count(stmt)) return false;
  // Asked before any conversion, while the answer is still the stored type.
  const int type = sqlite3_column_type(stmt, column);
  const void* bytes = nullptr;
  int length = 0;
  if (type == SQLITE_BLOB) {
    // The length first: a zero-filled blob is counted without being made,
    // so a failure to make it shows as missing bytes.
    length = sqlite3_column_bytes(stmt, column);
    bytes = sqlite3_column_blob(stmt, column);
  } else if (type != SQLITE_NULL) {
    // A number's text form, or a text stored as UTF-16 converted to UTF-8:
    // a null pointer for a value that is not NULL means the conversion
    // failed, however short the value, where an empty result would silently
    // lose it. The length is asked afterwards: it counts the bytes handed out.
    bytes = sqlite3_column_text(stmt, column);
    if (bytes == nullptr) return false;
    length = sqlite3_column_bytes(stmt, column);
  }
  if (length > 0 && bytes == nullptr) return false;
  data = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(length)));
  if (length == 0) return true;
  if (data == nullptr) return false;
  std::memcpy(data, bytes, static_cast<std::size_t>(length));
  size = length;
  return true;
}

std::string _kel_sqlite::column_text(int column) {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::column_text)) return std::string();
  const unsigned char* text = sqlite3_column_text(stmt, column);
  // NULL (or a conversion SQLite could not make) has no text at all.
  if (text == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(text));
}

int _kel_sqlite::column_int(int column) {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::column_int)) return -1;
  return sqlite3_column_int(stmt, column);
}

long long _kel_sqlite::column_int64(int column) {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::column_int64)) return -1;
  return sqlite3_column_int64(stmt, column);
}

double _kel_sqlite::column_double(int column) {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::column_double)) return -1.0;
  return sqlite3_column_double(stmt, column);
}

int _kel_sqlite::column_type(int column) {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::column_type)) return -1;
  return sqlite3_column_type(stmt, column);
}

const char* _kel_sqlite::column_decltype(int column) {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::column_decltype)) return nullptr;
  return sqlite3_column_decltype(stmt, column);
}

const char* _kel_sqlite::column_name(int column) {
  if (!kel_checks::stmt_open(stmt, kel_checks::line::column_name)) return nullptr;
  return sqlite3_column_name(stmt, column);
}
