// The floor: what any wrapper with kel_database's contract has to pay on top
// of raw SQLite. Every operation reports the same state checks to the host's
// assertion routine, with the same freshly made strings, and takes its handle
// by value, exactly like the exported kel_sqlite_* functions; nothing else is
// added. The functions live in a translation unit of their own and are never
// inlined, so that each is a real call, as a call into the library is.
#pragma once

#include <boost/shared_ptr.hpp>

#include <sqlite3.h>

#include <functional>
#include <string>

struct floor_connection {
  floor_connection() = default;
  floor_connection(const floor_connection&) = delete;
  floor_connection& operator=(const floor_connection&) = delete;
  ~floor_connection();

  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
};

using floor_handle = boost::shared_ptr<floor_connection>;
using floor_row_callback = std::function<bool(floor_handle, unsigned long)>;

namespace floor_api {

/// A connection opened on `path` (read-write, created when missing).
floor_handle open(const char* path);

int sql_stmt(floor_handle h, const char* sql);
int prepare(floor_handle h, std::string sql);
bool finalize(floor_handle h);
int bind_int64(floor_handle h, int index, long long value);
int bind_double(floor_handle h, int index, double value);
int bind_text(floor_handle h, int index, const char* text, unsigned long size);
int step(floor_handle h);
int reset(floor_handle h);
/// Per row: the step with its two checks, one handle copy and one callback call.
int rows_each(floor_handle h, floor_row_callback callback);
long long column_int64(floor_handle h, int column);
double column_double(floor_handle h, int column);
std::string column_text(floor_handle h, int column);

}  // namespace floor_api
