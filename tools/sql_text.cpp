#include "sql_text.h"

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

}  // namespace kel_sql
