// The independent floor: what a program using raw SQLite pays when it adds
// exactly what kel_database's interface obliges every call to do, written
// without looking at how the library does it. The benchmark loops call
// sqlite3_* directly; before each call that stands for an exported
// kel_sqlite_* function they hand a handle by value to hand_over() (the copy
// every exported call takes), and for each state check of that function they
// call the real kel_assertion_faild with string literals, so that the three
// std::string temporaries are made at the call site. A scan calls a
// std::function row callback, with the handle by value, once per row.
#pragma once

#include <boost/shared_ptr.hpp>

#include <sqlite3.h>

#include <functional>

namespace independent_floor {

struct connection {
  connection() = default;
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;
  ~connection();

  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
};

using handle = boost::shared_ptr<connection>;
using row_callback = std::function<bool(handle, unsigned long)>;

/// A connection on `path` (read-write, created when missing), with `setup`
/// run on it and `sql` prepared.
handle open(const char* path, const char* setup, const char* fill, const char* sql);

/// Takes the handle by value and does nothing else: the caller pays for the
/// copy and its release, as a caller of an exported function does. Defined
/// in a translation unit of its own so that it is a real call.
void hand_over(handle h);

}  // namespace independent_floor
