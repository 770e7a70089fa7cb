// The four state checks. They run on nearly every exported call, so each
// builds its three strings in place: `flatten` makes the compiler copy the
// texts, whose lengths it knows, straight into the new strings, instead of
// calling a general string constructor (and memcpy) three times per check.
#include "state_checks.h"

#include <string>

namespace kel_checks {
namespace {

template <std::size_t C, std::size_t M>
inline bool report(bool ok, const char (&condition)[C], const char (&message)[M], int at) {
  // Fresh strings for every call: the routine takes them by value.
  kel_assertion_faild(ok, std::string(condition, C - 1), std::string(message, M - 1),
                      std::string(kModule, sizeof kModule - 1), at);
  return ok;
}

}  // namespace

__attribute__((flatten)) bool db_open(const sqlite3* db, int at) {
  return report(db != nullptr, "db!=nullptr", "database must be opened", at);
}

__attribute__((flatten)) bool db_closed(const sqlite3* db, int at) {
  return report(db == nullptr, "db==nullptr", "Trying to open already opened database object", at);
}

__attribute__((flatten)) bool stmt_open(const sqlite3_stmt* stmt, int at) {
  return report(stmt != nullptr, "stmt!=nullptr", "database statement must be opened", at);
}

__attribute__((flatten)) bool stmt_closed(const sqlite3_stmt* stmt, int at) {
  return report(stmt == nullptr, "stmt==nullptr", "database statement must not be opened already", at);
}

}  // namespace kel_checks
