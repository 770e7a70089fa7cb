#include "sql_text.h"

#include <sqlite3.h>

#include <cctype>

namespace kel_sql {

std::size_t statement_start(const std::string& sql, std::size_t from) {
  std::size_t i = from;
  const std::size_t n = sql.size();
  while (i < n) {
    const char c = sql[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == ';') {
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

std::size_t statement_end(const std::string& sql, std::size_t start) {
  const std::size_t n = sql.size();
  bool asked = false;
  // The last word outside quotes and comments, while nothing else followed
  // it: a trigger ends only at a ';' right after END, so only there (and at
  // the first ';') is SQLite asked again.
  std::size_t word_begin = 0, word_end = 0;
  bool word_last = false;
  std::size_t i = start;
  while (i < n) {
    const char c = sql[i];
    const char next = i + 1 < n ? sql[i + 1] : '\0';
    if (c == ';') {
      if (!asked || (word_last && is_end_keyword(sql, word_begin, word_end))) {
        asked = true;
        if (sqlite3_complete(sql.substr(start, i + 1 - start).c_str()) != 0) return i + 1;
      }
      word_last = false;
      ++i;
    } else if (c == '-' && next == '-') {
      const std::size_t line_end = sql.find('\n', i);
      if (line_end == std::string::npos) return std::string::npos;
      i = line_end + 1;
    } else if (c == '/' && next == '*') {
      const std::size_t comment_end = sql.find("*/", i + 2);
      if (comment_end == std::string::npos) return std::string::npos;
      i = comment_end + 2;
    } else if (c == '\'' || c == '"' || c == '`' || c == '[') {
      // A doubled quote inside a string closes and reopens it: same result.
      const std::size_t close = sql.find(c == '[' ? ']' : c, i + 1);
      if (close == std::string::npos) return std::string::npos;
      word_last = false;
      i = close + 1;
    } else if (is_word_char(c)) {
      word_begin = i;
      while (i < n && is_word_char(sql[i])) ++i;
      word_end = i;
      word_last = true;
    } else {
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\f') word_last = false;
      ++i;
    }
  }
  return std::string::npos;
}

}  // namespace kel_sql
