// A minimal consumer of the installed kel_database package: an in-memory
// database, one query, then the framework's shutdown. It prints the query's
// result on a line of its own and succeeds only when the result is right,
// and prints the version its headers give, for the script to compare with
// the project's, and which SQLite library it was compiled for and runs with:
// the header must be that of the library it links (SQLCipher's, in a build on
// SQLCipher, not the system's SQLite header next to it).
#include <kel_database/kel_database.h>

#include <sqlite3.h>  // comes with kel_database::kel_database

#include <cstring>
#include <iostream>

int main() {
  kel_database_init();
  boost::shared_ptr<_kel_sqlite> db = kel_sqlite_new(":memory:", "consumer");

  long long product = -1;
  std::string text;
  if (kel_sqlite_open(db) == SQLITE_OK && kel_sqlite_prepare(db, "SELECT 6 * 7, 'kel' || '_' || 'sql'") == SQLITE_OK &&
      kel_sqlite_step(db) == SQLITE_ROW) {
    product = kel_sqlite_column_int64(db, 0);
    text = kel_sqlite_column_text(db, 1);
  }
  kel_sqlite_finalize(db);
  // SQLCipher alone answers this pragma.
  std::string cipher;
  if (kel_sqlite_prepare(db, "PRAGMA cipher_version") == SQLITE_OK && kel_sqlite_step(db) == SQLITE_ROW) {
    cipher = kel_sqlite_column_text(db, 0);
  }
  kel_sqlite_finalize(db);

  // The release runs on the database service; the shutdown waits for it.
  kel_sqlite_destroy(db, __FILE__, __LINE__);
  db.reset();
  kel_system_shutdown();

  std::cout << "consumer result: " << product << " " << text << " (SQLite " << sqlite3_libversion() << ")" << std::endl;
  std::cout << "consumer headers: " << KEL_DATABASE_VERSION_STRING << " = " << KEL_DATABASE_VERSION_MAJOR << "."
            << KEL_DATABASE_VERSION_MINOR << "." << KEL_DATABASE_VERSION_PATCH << std::endl;
  const bool same_sqlite =
      SQLITE_VERSION_NUMBER == sqlite3_libversion_number() && std::strcmp(SQLITE_SOURCE_ID, sqlite3_sourceid()) == 0;
  std::cout << "consumer sqlite: " << KEL_DATABASE_SQLITE_LIBRARY << ", header " << SQLITE_VERSION
            << (same_sqlite ? " = library" : std::string(" != library ") + sqlite3_libversion())
            << (cipher.empty() ? "" : ", SQLCipher " + cipher) << std::endl;
  return product == 42 && text == "kel_sql" ? 0 : 1;
}
