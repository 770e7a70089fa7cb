#include "statement_gatherer.h"

#include "sql_text.h"

#include <sqlite3.h>

#include <algorithm>
#include <utility>

namespace kel_sql {

bool statement_gatherer::add_line(std::string line) {
  line.erase(std::min(line.find('\0'), line.size()));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  // The byte-order mark an editor may put at the start of a script.
  if (lines_read_ == 0) line.erase(0, skip_byte_order_mark(line, 0));
  ++lines_read_;
  if (text_.empty()) first_line_ = lines_read_;
  text_ += line;
  text_ += '\n';
  // Only the new line is scanned: a statement spread over many lines (a
  // long trigger, a string with many line breaks) costs its length once.
  while (scanner_.next_end(text_) != std::string::npos) statement_ended_ = true;
  return statement_ended_ && !pending();
}

gathered_text statement_gatherer::take() {
  gathered_text taken{std::move(text_), first_line_};
  text_.clear();
  scanner_ = statement_scanner();
  statement_ended_ = false;
  return taken;
}

bool statement_gatherer::pending() const { return scanner_.in_statement() || scanner_.in_block_comment(); }

bool statement_gatherer::completes_at_end() const {
  // The text ends with a line break, so the ';' cannot fall into a '--' comment.
  return sqlite3_complete((text_ + (scanner_.in_block_comment() ? "*/;" : ";")).c_str()) != 0;
}

void statement_gatherer::drop() {
  text_.clear();
  scanner_ = statement_scanner();
  statement_ended_ = false;
}

void statement_gatherer::skip_line() {
  drop();
  ++lines_read_;
}

}  // namespace kel_sql
