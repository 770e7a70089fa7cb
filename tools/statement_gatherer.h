// Gathers lines of SQL text until they end with a complete statement.
#pragma once

#include <string>

namespace kel_sql {

// Text taken from the gatherer and the input line (from 1) of its first byte.
struct gathered_text {
  std::string text;
  unsigned long first_line = 0;
};

// Lines go in one at a time; the gatherer says when the text gathered so far
// ends with a complete statement (SQLite's sqlite3_complete decides), which
// then may hold several statements, spread over any number of lines.
class statement_gatherer {
 public:
  // Adds one line, given without its line break. A trailing CR (a CRLF line)
  // is dropped, and so is the rest of the line after a NUL character, which
  // SQLite would take as the end of the text. True when the gathered text now
  // ends with a complete statement: take() it and run it.
  bool add_line(std::string line);

  // The gathered text, which the gatherer forgets.
  gathered_text take();

  // True when the gathered text holds more than whitespace, ';' and closed
  // comments (an unclosed one counts), so that the next line continues it.
  bool pending() const;

  // For the end of input: true when the pending text lacks at most a final
  // ';' (a last statement written without one). False when a quote, a block
  // comment or a trigger body is still open.
  bool completes_with_semicolon() const;

 private:
  // Follows quotes and comments through `line`, so that SQLite is asked only
  // when the text may have become complete: at the end of a line outside any
  // quote or comment, with a ';' seen outside them since it was last asked.
  // Asking at every line would cost time in the square of the text's length
  // when a quote is left open early in a long script.
  void follow(const std::string& line);

  enum class context { code, quote, block_comment };

  std::string text_;
  unsigned long first_line_ = 0;
  unsigned long lines_read_ = 0;
  context context_ = context::code;
  char closing_quote_ = '\0';
  bool semicolon_seen_ = false;
};

}  // namespace kel_sql
