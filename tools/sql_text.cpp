#include "sql_text.h"

#include <sqlite3.h>

#include <cctype>

namespace kel_sql {
namespace {

// SQLite's blanks between tokens.
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

}  // namespace

std::size_t statement_start(const std::string& sql, std::size_t from) {
  std::size_t i = from;
  const std::size_t n = sql.size();
  while (i < n) {
    const char c = sql[i];
    if (is_blank(c) || c == ';') {
      ++i;
    } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      const std::size_t end = sql.find('\n', i);
      i = end == std::string::npos ? n : end + 1;
    } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      const std::size_t end = sql.find("*/", i + 2);
      if (end == std::string::npos) return i;
      i = end + 2;
    } else {
      return i;
    }
  }
  return n;
}

bool is_unclosed_comment(const std::string& sql, std::size_t pos) { return sql.compare(pos, 2, "/*") == 0; }

std::size_t skip_byte_order_mark(const std::string& text, std::size_t from) {
  return text.compare(from, 3, "\xEF\xBB\xBF") == 0 ? from + 3 : from;
}

namespace {

bool is_word_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '$' ||
         static_cast<unsigned char>(c) >= 0x80;
}

bool is_end_keyword(const std::string& sql, std::size_t begin, std::size_t end) {
  if (end - begin != 3) return false;
  static constexpr char kEnd[] = "end";
  for (std::size_t k = 0; k < 3; ++k) {
    if (std::tolower(static_cast<unsigned char>(sql[begin + k])) != kEnd[k]) return false;
  }
  return true;
}

}  // namespace

std::size_t statement_scanner::next_end(const std::string& text) {
  const std::size_t n = text.size();
  while (pos_ < n) {
    const char c = text[pos_];
    const char next = pos_ + 1 < n ? text[pos_ + 1] : '\0';
    switch (context_) {
      case context::line_comment:
        if (c == '\n') context_ = context::code;
        ++pos_;
        continue;
      case context::block_comment:
        if (c == '*' && next == '/') {
          context_ = context::code;
          pos_ += 2;
        } else {
          ++pos_;
        }
        continue;
      case context::quote:
        // A doubled quote inside a string closes and reopens it: same result.
        if (c == closing_quote_) context_ = context::code;
        ++pos_;
        continue;
      case context::code:
        break;
    }
    // Comments change no token of the statement.
    if (c == '-' && next == '-') {
      context_ = context::line_comment;
      pos_ += 2;
      continue;
    }
    if (c == '/' && next == '*') {
      context_ = context::block_comment;
      pos_ += 2;
      continue;
    }
    if (!in_statement()) {
      if (is_blank(c) || c == ';') {
        ++pos_;
        continue;
      }
      start_ = pos_;
      asked_ = after_semicolon_ = end_after_semicolon_ = false;
    }
    if (c == ';') {
      const bool ask = !asked_ || end_after_semicolon_;
      after_semicolon_ = true;
      end_after_semicolon_ = false;
      ++pos_;
      if (ask) {
        asked_ = true;
        if (sqlite3_complete(text.substr(start_, pos_ - start_).c_str()) != 0) {
          start_ = std::string::npos;
          return pos_;
        }
      }
      continue;
    }
    if (is_word_char(c)) {
      const std::size_t word = pos_;
      while (pos_ < n && is_word_char(text[pos_])) ++pos_;
      end_after_semicolon_ = after_semicolon_ && is_end_keyword(text, word, pos_);
      after_semicolon_ = false;
      continue;
    }
    if (c == '\'' || c == '"' || c == '`' || c == '[') {
      context_ = context::quote;
      closing_quote_ = c == '[' ? ']' : c;
    }
    if (!is_blank(c)) after_semicolon_ = end_after_semicolon_ = false;
    ++pos_;
  }
  return std::string::npos;
}

std::size_t statement_end(const std::string& sql, std::size_t start) {
  statement_scanner scanner = statement_scanner::statement_at(start);
  return scanner.next_end(sql);
}

}  // namespace kel_sql
