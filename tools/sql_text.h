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

}  // namespace kel_sql
