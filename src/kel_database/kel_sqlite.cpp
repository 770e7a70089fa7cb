// Connection object: construction, opening, closing, direct SQL and errors.
//
// Every operation reports its state checks first. When a check failed and the
// SQLite call would receive a null (or replaced) handle, the operation ends
// there with its default result: SQLite never sees a null handle from us.
#include "kel_sqlite.h"

#include "database_service.h"
#include "kel_assert.h"
#include "state_checks.h"

#include <strings.h>

namespace {

// The path is always a file name. SQLite built to read names beginning with
// "file:" as URIs (Debian's is) would otherwise open another file, or a
// database that never reaches the disk; "./" in front names the same file
// in the working directory on every build. SQLite compares the scheme
// exactly; any case is prefixed here, which names the same file all the same.
std::string file_name(const std::string& path) {
  if (path.size() >= 5 && strncasecmp(path.c_str(), "file:", 5) == 0) return "./" + path;
  return path;
}

}  // namespace

_kel_sqlite::_kel_sqlite(std::string path_, std::string name_) : path(std::move(path_)), name(std::move(name_)) {}

_kel_sqlite::~_kel_sqlite() {
  // A statement left behind after a close keeps its connection alive (closed
  // with sqlite3_close_v2), so it is finalized whether or not we are open.
  release_statement();
  bool was_open;
  {
    std::lock_guard<std::mutex> lock(mutex);
    was_open = opened;
  }
  // No registry step here: the registry owns every object it lists, so none
  // of its entries can refer to an object under destruction.
  if (was_open) close_connection();
}

boost::shared_ptr<_kel_object> _kel_sqlite::to_object() { return shared_from_this(); }

std::string _kel_sqlite::object_tag() { return "[kel_sqlite]"; }

boost::shared_ptr<_kel_sqlite> _kel_sqlite::self() {
  return boost::static_pointer_cast<_kel_sqlite>(shared_from_this());
}

std::string _kel_sqlite::get_name() {
  std::lock_guard<std::mutex> lock(mutex);
  return name;
}

bool _kel_sqlite::is_opened() {
  std::lock_guard<std::mutex> lock(mutex);
  return opened;
}

void _kel_sqlite::release_statement() {
  if (stmt != nullptr) {
    sqlite3_finalize(stmt);
    stmt = nullptr;
    statement_rewound();
  }
}

int _kel_sqlite::try_open() { return open_with(SQLITE_OPEN_READWRITE, kel_checks::line::try_open); }

int _kel_sqlite::open() { return open_with(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, kel_checks::line::open); }

int _kel_sqlite::open_with(int flags, int check_line) {
  const bool closed = kel_checks::db_closed(db, check_line);
  KEL_ASSERT(!kel_database_service_mutex_held());
  {
    // A destroyed object is on its way out (or already out) of the
    // framework's hands and the live-object list: opened again, it could
    // never be released.
    std::lock_guard<std::mutex> lock(mutex);
    if (destroyed) return SQLITE_MISUSE;
  }
  // Opening over an open connection would lose it (and its locks): refuse.
  if (!closed) return -1;
  // SQLite reads the path up to its first NUL, which would name another file.
  if (path.find('\0') != std::string::npos) return SQLITE_CANTOPEN;
  KEL_ASSERT(stmt == nullptr);  // a statement never outlives its connection
  const int rc = sqlite3_open_v2(file_name(path).c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    // SQLite usually hands back a handle even on failure; it holds the error
    // and must be closed.
    if (db != nullptr) sqlite3_close(db);
    db = nullptr;
    return rc;
  }
  bool refused = false;
  {
    // Checked again with the flag set: a destroy (and its release) may have
    // come while the connection was being opened.
    std::lock_guard<std::mutex> lock(mutex);
    refused = destroyed;
    KEL_ASSERT(!opened);
    if (!refused) opened = true;
  }
  if (refused) {
    sqlite3_close(db);
    db = nullptr;
    return SQLITE_MISUSE;
  }
  kel_database_add_sqlite(self());
  return SQLITE_OK;
}

void _kel_sqlite::close_connection() {
  kel_checks::db_open(db, kel_checks::line::close);
  if (db != nullptr) {
    // Every caller finalizes the statement first, so nothing keeps the
    // connection; _v2 all the same, so that nothing could ever leak it.
    KEL_ASSERT(stmt == nullptr);
    sqlite3_close_v2(db);
    db = nullptr;
  }
  std::lock_guard<std::mutex> lock(mutex);
  opened = false;
  KEL_ASSERT(db == nullptr);
}

void _kel_sqlite::close() {
  // A statement left prepared would keep the connection alive past the
  // close, with its locks and any open transaction, and a later open would
  // find the old connection's statement still in place.
  release_statement();
  close_connection();
  kel_database_remove_sqlite(self());
}

int _kel_sqlite::sql_stmt(const char* sql, char** errmsg) {
  if (db == nullptr) {
    // The caller may free *errmsg afterwards: never leave it unset.
    if (errmsg != nullptr) *errmsg = nullptr;
    return SQLITE_MISUSE;
  }
  return sqlite3_exec(db, sql, nullptr, nullptr, errmsg);
}

int _kel_sqlite::last_error_code() {
  if (!kel_checks::db_open(db, kel_checks::line::last_error_code)) return -1;
  return sqlite3_errcode(db);
}

const char* _kel_sqlite::last_error_message() {
  if (!kel_checks::db_open(db, kel_checks::line::last_error_message)) return nullptr;
  return sqlite3_errmsg(db);
}
