// The smallest complete program: one database, one query, a clean shutdown.
#include <kel_database/kel_database.h>

#include <iostream>
#include <string>

int main() {
  kel_database_init();  // starts the "database" service thread
  boost::shared_ptr<_kel_sqlite> db = kel_sqlite_new(":memory:", "main");

  // Work on a connection is queued on the service thread, which keeps it
  // away from other threads.
  kel_database_exec(
      [db] {
        kel_sqlite_open(db);
        kel_sqlite_sql_stmt(db,
                            "CREATE TABLE greetings(lang TEXT, text TEXT);"
                            "INSERT INTO greetings VALUES ('en', 'hello'), ('fr', 'bonjour');",
                            nullptr);
        kel_sqlite_prepare(db, "SELECT text FROM greetings WHERE lang = ?1");
        kel_sqlite_bind_text(db, 1, "fr", 2);
        kel_sqlite_rows_each(db, [](boost::shared_ptr<_kel_sqlite> row, unsigned long index) {
          // One insertion: the shutdown line, printed by another thread,
          // cannot land inside the row.
          std::cout << "row " + std::to_string(index) + ": " + kel_sqlite_column_text(row, 0) + "\n" << std::flush;
          return true;
        });
        kel_sqlite_finalize(db);
        // Its last use: the release is queued behind this job. A destroyed
        // object never opens again, so it is destroyed here, not by main.
        kel_sqlite_destroy(db, __FILE__, __LINE__);
      },
      __FILE__, __LINE__);

  kel_system_shutdown();  // returns once every object is released
}
