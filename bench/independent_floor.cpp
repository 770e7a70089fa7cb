#include "independent_floor.h"

#include <boost/make_shared.hpp>

namespace independent_floor {

connection::~connection() {
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}

handle open(const char* path, const char* setup, const char* fill, const char* sql) {
  auto h = boost::make_shared<connection>();
  sqlite3_open_v2(path, &h->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  sqlite3_exec(h->db, setup, nullptr, nullptr, nullptr);
  if (fill != nullptr) sqlite3_exec(h->db, fill, nullptr, nullptr, nullptr);
  sqlite3_prepare_v2(h->db, sql, -1, &h->stmt, nullptr);
  return h;
}

__attribute__((noipa)) void hand_over(handle h) { static_cast<void>(h); }

}  // namespace independent_floor
