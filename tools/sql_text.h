// Small facts about SQL text that the client needs before handing it to SQLite.
#pragma once

#include <cstddef>
#include <string>

namespace kel_sql {

// The position of the first statement in sql[from...]: the first byte that is
// not whitespace, ';' or part of a closed comment. An unclosed block comment
// stops the scan at its "/*"; sql.size() when nothing is left.
std::size_t statement_start(const std::string& sql, std::size_t from);

// True when statement_start found an unclosed block comment at `pos`.
bool is_unclosed_comment(const std::string& sql, std::size_t pos);

// Past a UTF-8 byte-order mark at `from`, if there is one there.
std::size_t skip_byte_order_mark(const std::string& text, std::size_t from);

// Follows SQL text from `from` on and finds where each statement ends: at
// the first ';' outside quotes and comments after which the statement is
// complete, as sqlite3_complete decides (a trigger body holds ';' of its
// own). SQLite is asked only at a statement's first ';' and at a ';' that
// can end a trigger (right after END, which itself follows a ';'), and only
// about that statement's text, so splitting a text takes time in proportion
// to its length. The text may grow between calls (it must not change
// otherwise); scanning goes on where it stopped.
class statement_scanner {
 public:
  explicit statement_scanner(std::size_t from = 0) : pos_(from) {}

  // A scanner for which a statement begins at `start` itself, whatever
  // stands there.
  static statement_scanner statement_at(std::size_t start) {
    statement_scanner scanner(start);
    scanner.start_ = start;
    return scanner;
  }

  // One past the ';' that ends the next statement, scanning from where the
  // last call stopped; std::string::npos when the text ends first.
  std::size_t next_end(const std::string& text);

  // A statement has begun and not ended yet.
  bool in_statement() const { return start_ != std::string::npos; }
  // The text scanned so far ends inside a /* comment.
  bool in_block_comment() const { return context_ == context::block_comment; }

 private:
  enum class context { code, quote, line_comment, block_comment };

  std::size_t pos_;
  std::size_t start_ = std::string::npos;  // of the current statement
  context context_ = context::code;
  char closing_quote_ = '\0';
  bool asked_ = false;                // SQLite was asked about this statement
  bool after_semicolon_ = false;      // its last token is ';'
  bool end_after_semicolon_ = false;  // its last token is END, right after a ';'
};

// One past the ';' that ends the statement starting at `start`;
// std::string::npos when the text ends first.
std::size_t statement_end(const std::string& sql, std::size_t start);

}  // namespace kel_sql
