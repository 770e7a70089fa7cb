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
  follow(line);
  if (context_ != context::code || !semicolon_seen_) return false;
  semicolon_seen_ = false;
  return sqlite3_complete(text_.c_str()) != 0;
}

gathered_text statement_gatherer::take() {
  gathered_text taken{std::move(text_), first_line_};
  text_.clear();
  context_ = context::code;
  semicolon_seen_ = false;
  return taken;
}

bool statement_gatherer::pending() const { return statement_start(text_, 0) != text_.size(); }

bool statement_gatherer::completes_with_semicolon() const {
  // The text ends with a line break, so the ';' cannot fall into a '--' comment.
  return sqlite3_complete((text_ + ";").c_str()) != 0;
}

void statement_gatherer::follow(const std::string& line) {
  const std::size_t n = line.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char c = line[i];
    const char next = i + 1 < n ? line[i + 1] : '\0';
    switch (context_) {
      case context::block_comment:
        if (c == '*' && next == '/') {
          context_ = context::code;
          ++i;
        }
        break;
      case context::quote:
        // A doubled quote inside a string closes and reopens it: same result.
        if (c == closing_quote_) context_ = context::code;
        break;
      case context::code:
        if (c == ';') {
          semicolon_seen_ = true;
        } else if (c == '-' && next == '-') {
          return;  // a comment to the end of the line
        } else if (c == '/' && next == '*') {
          context_ = context::block_comment;
          ++i;
        } else if (c == '\'' || c == '"' || c == '`' || c == '[') {
          context_ = context::quote;
          closing_quote_ = c == '[' ? ']' : c;
        }
        break;
    }
  }
}

}  // namespace kel_sql
