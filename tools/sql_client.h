// Runs SQL text on an open connection through the kel_database API and prints
// the rows of each statement on standard output.
#pragma once

#include <kel_database/kel_database.h>

#include <string>

namespace kel_sql {

enum class layout { table, list };

class client {
 public:
  client(boost::shared_ptr<_kel_sqlite> db, layout mode);

  // Runs every statement of `text` in turn; false (after reporting the error)
  // when one fails, and the statements after it are not run. A pending
  // SIGINT fails the statement that would start next. `first_line` is
  // the input line on which `text` starts, named in an error message; 0 when
  // the text did not come from standard input. A UTF-8 byte-order mark at the
  // start is skipped. With `unfinished_line`, text that ends before its last
  // statement does (an open quote, comment or trigger body) is not run: the
  // complete statements before it are, and the line on which it starts is
  // stored there (0 when there is none). Without it, the last statement may
  // lack its ';' and SQLite judges whatever is left.
  bool run(const std::string& text, unsigned long first_line, unsigned long* unfinished_line = nullptr);

  // Writes "kel_sql: error CODE: MESSAGE" to standard error, with
  // " (line N)" after the code when `line` is not 0, after the rows printed so
  // far. Returns false.
  static bool fail(int code, const std::string& message, unsigned long line = 0);

  // Reports a SIGINT as SQLite reports an interrupted statement: "kel_sql:
  // error 9 (line N): interrupted". Returns false.
  static bool fail_interrupted(unsigned long line = 0);

 private:
  // Steps the prepared statement to its end, printing its rows.
  bool print_rows(unsigned long line);
  std::string cell(int column);
  std::string last_message();

  boost::shared_ptr<_kel_sqlite> db_;
  layout mode_;
};

}  // namespace kel_sql
