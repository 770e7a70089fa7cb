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

// One past the ';' that ends the statement starting at `start`: the first ';'
// outside quotes and comments after which sql[start...] is complete, as
// sqlite3_complete decides (a trigger body holds ';' of its own).
// std::string::npos when the text ends first. Looks only at the statement's
// own text: splitting a text into its statements takes time in proportion to
// its length.
std::size_t statement_end(const std::string& sql, std::size_t start);

}  // namespace kel_sql
