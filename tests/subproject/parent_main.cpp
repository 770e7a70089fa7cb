// A framework program built in the same build as kel_database: a database
// file in the directory given, a table, a query, a clean shutdown. It prints
// the query's result and succeeds only when the result is right.
#include <kel_database/kel_database.h>

#include <sqlite3.h>

#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " DIRECTORY\n";
    return 2;
  }
  const std::string path = std::string(argv[1]) + "/parent.sqlite";
  kel_database_init();
  boost::shared_ptr<_kel_sqlite> db = kel_sqlite_new(path, "parent");

  long long total = -1;
  std::string name;
  int rows = 0;
  if (kel_sqlite_open(db) == SQLITE_OK &&
      kel_sqlite_sql_stmt(db,
                          "CREATE TABLE IF NOT EXISTS parts(name TEXT, count INTEGER);"
                          "DELETE FROM parts;"
                          "INSERT INTO parts VALUES ('a', 19), ('b', 23);",
                          nullptr) == SQLITE_OK &&
      kel_sqlite_prepare(db, "SELECT sum(count), (SELECT name FROM parts WHERE count = 23), count(*) FROM parts") ==
          SQLITE_OK &&
      kel_sqlite_step(db) == SQLITE_ROW) {
    total = kel_sqlite_column_int64(db, 0);
    name = kel_sqlite_column_text(db, 1);
    rows = kel_sqlite_column_int(db, 2);
  }
  kel_sqlite_finalize(db);
  kel_sqlite_close(db);

  kel_sqlite_destroy(db, __FILE__, __LINE__);
  db.reset();
  kel_system_shutdown();

  std::cout << "parent result: " << total << " " << name << " " << rows << std::endl;
  return total == 42 && name == "b" && rows == 2 ? 0 : 1;
}
