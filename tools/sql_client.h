// Runs SQL text on an open connection through the kel_database API and prints
// the rows of each statement on standard output.
#pragma once

#include <kel_database/kel_database.h>

#include <string>
#include <vector>

namespace kel_sql {

enum class layout { table, list };

// How a value is laid out in the table: the lines of its cell. A line
// break (LF or CRLF) starts a new line, and so does any other control
// character (C0, DEL, C1 U+0080 to U+009F, or a byte 0x80 to 0x9F that is
// not part of a UTF-8 character), which is not shown; a tab
// moves on to the cell's next multiple of 8 columns with blanks. This is the
// sqlite3 shell's column layout, which shows DEL and C1 characters as they
// are; here no control character of a value ever reaches the output.
std::vector<std::string> cell_lines(const std::string& value);

// A value for the list layout on a terminal: each byte of a control
// character (C0, tab and line break among them, DEL, C1, a byte 0x80 to 0x9F
// outside UTF-8) as \xHH.
std::string visible_controls(const std::string& value);

class client {
 public:
  // With `terminal` (standard output is one), the list layout shows control
  // characters as visible escapes; otherwise it writes values byte for byte.
  client(boost::shared_ptr<_kel_sqlite> db, layout mode, bool terminal = false);

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
  // far. When standard error is a terminal, the message's control characters
  // are shown as visible_controls shows them; otherwise it is written byte
  // for byte. Returns false.
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
  bool terminal_;
};

}  // namespace kel_sql
