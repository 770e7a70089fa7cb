// Gathers lines of SQL text until they end with a complete statement.
#pragma once

#include "sql_text.h"

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

  // For the end of input: true when the pending text can run as it is: it
  // lacks at most a final ';' (a last statement written without one), and a
  // /* comment still open there ends with the text, as SQLite's tokenizer
  // ends it. False when a quote or a trigger body is still open.
  bool completes_at_end() const;

  // The lines added or skipped so far.
  unsigned long lines_read() const { return lines_read_; }

  // Forgets the gathered text; the lines read stay counted.
  void drop();

  // Counts a line that is not added (kel_sql refuses a line holding a NUL),
  // and forgets the gathered text, which that line was to continue.
  void skip_line();

 private:
  std::string text_;
  unsigned long first_line_ = 0;
  unsigned long lines_read_ = 0;
  statement_scanner scanner_;
  bool statement_ended_ = false;  // since the last take()
};

}  // namespace kel_sql
