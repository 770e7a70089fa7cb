#include "sql_client.h"

#include "interrupt.h"
#include "sql_text.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <utility>
#include <vector>

namespace kel_sql {
namespace {

// Result codes and column types as the public header documents them.
constexpr int kOk = 0;
constexpr int kRow = 100;
constexpr int kDone = 101;
constexpr int kBlob = 4;
constexpr int kNull = 5;

// The width of UTF-8 text in code points: every byte but continuation bytes.
std::size_t code_points(const std::string& text) {
  std::size_t count = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0U) != 0x80U) ++count;
  }
  return count;
}

std::string hex_literal(const unsigned char* data, int size) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text = "X'";
  text.reserve(3 + 2 * static_cast<std::size_t>(size));
  for (int i = 0; i < size; ++i) {
    text += kDigits[data[i] >> 4U];
    text += kDigits[data[i] & 0x0FU];
  }
  text += '\'';
  return text;
}

struct free_deleter {
  void operator()(unsigned char* data) const { std::free(data); }
};

// The length of the well-formed UTF-8 character at text[i], 0 when the bytes
// there are not one (a stray continuation byte, a lead byte without its
// continuation, an overlong form, a surrogate, beyond U+10FFFF).
std::size_t utf8_length(const std::string& text, std::size_t i) {
  const auto byte = [&text](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80U) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80U;  // the range of the second byte
  unsigned char high = 0xBFU;
  if (c >= 0xC2U && c <= 0xDFU) {
    length = 2;
  } else if (c >= 0xE0U && c <= 0xEFU) {
    length = 3;
    if (c == 0xE0U) low = 0xA0U;
    if (c == 0xEDU) high = 0x9FU;
  } else if (c >= 0xF0U && c <= 0xF4U) {
    length = 4;
    if (c == 0xF0U) low = 0x90U;
    if (c == 0xF4U) high = 0x8FU;
  } else {
    return 0;
  }
  if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if ((byte(i + k) & 0xC0U) != 0x80U) return 0;
  }
  return length;
}

// The length of the control character at text[i], 0 when there is none
// there: C0 and DEL are one byte, C1 (U+0080 to U+009F) two in UTF-8, and a
// byte 0x80 to 0x9F that is not part of a UTF-8 character is one too, as a
// terminal that takes 8-bit controls reads it (0x9B is CSI there).
std::size_t control_length(const std::string& text, std::size_t i) {
  const auto c = static_cast<unsigned char>(text[i]);
  if (c < 0x20U || c == 0x7FU) return 1;
  if (c < 0x80U) return 0;
  const std::size_t length = utf8_length(text, i);
  if (length == 2 && c == 0xC2U && static_cast<unsigned char>(text[i + 1]) <= 0x9FU) return 2;
  if (length == 0 && c <= 0x9FU) return 1;
  return 0;
}

// The bytes from text[i] that are written together when they hold no
// control character: a UTF-8 character, or a single byte that is none.
std::size_t character_length(const std::string& text, std::size_t i) {
  return std::max<std::size_t>(1, utf8_length(text, i));
}

void print_list_line(const std::vector<std::string>& values, bool terminal) {
  std::string line;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) line += '|';
    line += terminal ? visible_controls(values[i]) : values[i];
  }
  line += '\n';
  std::cout << line;
}

// One line of the table. No line ends in padding: the last column is not
// padded, and the padding after the last value shown is left off.
void print_table_line(const std::vector<const std::string*>& values, const std::vector<std::size_t>& widths) {
  std::string line;
  std::size_t shown = 0;  // the line up to the end of its last value
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) line += "  ";
    line += *values[i];
    if (!values[i]->empty()) shown = line.size();
    if (i + 1 < values.size()) line.append(widths[i] - code_points(*values[i]), ' ');
  }
  line.resize(shown);
  line += '\n';
  std::cout << line;
}

// Rows laid out as the shell's column layout lays them out: every cell a
// stack of lines (cell_lines), a row as many lines as its tallest cell, and,
// when any cell has more than one line, a blank line between rows.
void print_table(const std::vector<std::string>& names, const std::vector<std::vector<std::string>>& rows) {
  const std::string nothing;
  std::vector<std::string> heads;
  heads.reserve(names.size());
  // A column name shows its first line only, as in the shell.
  for (const auto& name : names) heads.push_back(cell_lines(name).front());
  std::vector<std::size_t> widths;
  widths.reserve(heads.size());
  for (const auto& head : heads) widths.push_back(code_points(head));
  std::vector<std::vector<std::vector<std::string>>> cells(rows.size());
  bool tall = false;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    cells[r].reserve(rows[r].size());
    for (std::size_t i = 0; i < rows[r].size(); ++i) {
      cells[r].push_back(cell_lines(rows[r][i]));
      tall = tall || cells[r][i].size() > 1;
      for (const auto& part : cells[r][i]) widths[i] = std::max(widths[i], code_points(part));
    }
  }
  std::vector<std::string> rule;
  rule.reserve(widths.size());
  for (const std::size_t width : widths) rule.emplace_back(width, '-');
  std::vector<const std::string*> line(heads.size());
  for (std::size_t i = 0; i < heads.size(); ++i) line[i] = &heads[i];
  print_table_line(line, widths);
  for (std::size_t i = 0; i < rule.size(); ++i) line[i] = &rule[i];
  print_table_line(line, widths);
  for (std::size_t r = 0; r < cells.size(); ++r) {
    if (tall && r > 0) std::cout << '\n';
    std::size_t height = 1;
    for (const auto& cell : cells[r]) height = std::max(height, cell.size());
    for (std::size_t k = 0; k < height; ++k) {
      for (std::size_t i = 0; i < cells[r].size(); ++i) line[i] = k < cells[r][i].size() ? &cells[r][i][k] : &nothing;
      print_table_line(line, widths);
    }
  }
}

}  // namespace

std::vector<std::string> cell_lines(const std::string& value) {
  std::vector<std::string> lines(1);
  std::size_t column = 0;  // in code points, on the current line
  for (std::size_t i = 0; i < value.size();) {
    if (value[i] == '\t') {
      do {
        lines.back() += ' ';
        ++column;
      } while (column % 8 != 0);
      ++i;
      continue;
    }
    std::size_t length = control_length(value, i);
    if (length == 0) {
      // Counted as code_points counts the widths: every byte but
      // continuation bytes.
      if ((static_cast<unsigned char>(value[i]) & 0xC0U) != 0x80U) ++column;
      length = character_length(value, i);
      lines.back().append(value, i, length);
      i += length;
      continue;
    }
    if (value[i] == '\r' && i + 1 < value.size() && value[i + 1] == '\n') length = 2;
    i += length;
    // A control character at the very end starts no line.
    if (i < value.size()) {
      lines.emplace_back();
      column = 0;
    }
  }
  return lines;
}

std::string visible_controls(const std::string& value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string shown;
  shown.reserve(value.size());
  for (std::size_t i = 0; i < value.size();) {
    const std::size_t length = control_length(value, i);
    if (length == 0) {
      const std::size_t character = character_length(value, i);
      shown.append(value, i, character);
      i += character;
      continue;
    }
    for (const std::size_t end = i + length; i < end; ++i) {
      const auto c = static_cast<unsigned char>(value[i]);
      shown += "\\x";
      shown += kDigits[c >> 4U];
      shown += kDigits[c & 0x0FU];
    }
  }
  return shown;
}

client::client(boost::shared_ptr<_kel_sqlite> db, layout mode, bool terminal)
    : db_(std::move(db)), mode_(mode), terminal_(terminal) {}

bool client::run(const std::string& text, unsigned long first_line, unsigned long* unfinished_line) {
  if (unfinished_line != nullptr) *unfinished_line = 0;
  // SQLite reads the text up to a NUL character (an argument may hold one).
  const std::string sql = text.substr(0, text.find('\0'));
  unsigned long line = first_line;
  std::size_t counted = 0;  // line break counted up to here
  std::size_t from = skip_byte_order_mark(sql, 0);
  for (;;) {
    const std::size_t start = statement_start(sql, from);
    if (first_line != 0) {
      const char* text_start = sql.data();
      line += static_cast<unsigned long>(std::count(text_start + counted, text_start + start, '\n'));
      counted = start;
    }
    // Text that compiles to no statement is skipped rather than handed to
    // kel_sqlite_prepare, whose result would then be an empty statement that
    // the library's state checks report as misuse.
    if (start == sql.size()) return true;
    // SQLite forgets an interrupt that comes while no statement runs; the
    // flag does not.
    if (interrupt_pending()) return fail_interrupted(line);
    const std::size_t end = statement_end(sql, start);
    if (unfinished_line != nullptr && end == std::string::npos) {
      *unfinished_line = line;
      return true;
    }
    if (is_unclosed_comment(sql, start)) return true;
    // Only the statement's own text goes to kel_sqlite_prepare: handing it
    // the rest of the text each time would copy that rest once per statement.
    const std::string statement = end == std::string::npos ? sql.substr(start) : sql.substr(start, end - start);
    const int rc = kel_sqlite_prepare(db_, statement);
    if (rc != kOk) return fail(rc, last_message(), line);
    // kel_sqlite_prepare compiles only the first statement. SQLite keeps the
    // exact text it compiled, from the start of `statement` up to and
    // including its ';', so its length is where the next statement starts.
    const char* compiled = kel_sqlite_sql(db_);
    const std::size_t used = compiled == nullptr ? 0 : std::strlen(compiled);
    if (used == 0 || statement.compare(0, used, compiled) != 0) {
      kel_sqlite_finalize(db_);
      return fail(-1,
                  first_line == 0 ? "cannot find the end of the statement; give one statement per argument"
                                  : "cannot find the end of the statement",
                  line);
    }
    const bool ok = print_rows(line);
    kel_sqlite_finalize(db_);
    if (!ok) return false;
    from = start + used;
  }
}

bool client::print_rows(unsigned long line) {
  const int columns = kel_sqlite_column_count(db_);
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> names;
  int rc = kel_sqlite_step(db_);
  for (; rc == kRow; rc = kel_sqlite_step(db_)) {
    if (names.empty()) {
      for (int i = 0; i < columns; ++i) {
        const char* name = kel_sqlite_column_name(db_, i);
        names.emplace_back(name == nullptr ? "" : name);
      }
      if (mode_ == layout::list) print_list_line(names, terminal_);
    }
    std::vector<std::string> row;
    row.reserve(static_cast<std::size_t>(columns));
    for (int i = 0; i < columns; ++i) row.push_back(cell(i));
    if (mode_ == layout::list) {
      print_list_line(row, terminal_);
    } else {
      rows.push_back(std::move(row));
    }
  }
  // Rows that came before an error are still shown, as in list layout.
  if (mode_ == layout::table && !names.empty()) print_table(names, rows);
  if (rc != kDone) return fail(rc, last_message(), line);
  return true;
}

std::string client::cell(int column) {
  // The type first: reading a value as text or bytes may convert it.
  const int type = kel_sqlite_column_type(db_, column);
  if (type == kNull) return "NULL";
  if (type == kBlob) {
    unsigned char* raw = nullptr;
    int size = 0;
    const bool copied = kel_sqlite_column_blob(db_, column, raw, size);
    const std::unique_ptr<unsigned char, free_deleter> bytes(raw);
    if (!copied) return "X''";
    return hex_literal(bytes.get(), size);
  }
  // Integers, reals and text exactly as SQLite renders them as text.
  return kel_sqlite_column_text(db_, column);
}

std::string client::last_message() {
  const char* message = kel_sqlite_last_error_message(db_);
  return message == nullptr ? std::string() : std::string(message);
}

bool client::fail(int code, const std::string& message, unsigned long line) {
  std::cout.flush();  // the rows printed so far come before the error
  // One write: standard error is unbuffered.
  std::string text = "kel_sql: error " + std::to_string(code);
  if (line != 0) text += " (line " + std::to_string(line) + ")";
  // SQLite's message may hold text from the database (a constraint's or a
  // table's name, a trigger's RAISE): on a terminal its control characters
  // are shown as the list layout shows them, never obeyed; into a pipe or a
  // file it stays byte for byte.
  std::cerr << text + ": " + (isatty(STDERR_FILENO) == 1 ? visible_controls(message) : message) + "\n" << std::flush;
  return false;
}

bool client::fail_interrupted(unsigned long line) {
  return fail(SQLITE_INTERRUPT, sqlite3_errstr(SQLITE_INTERRUPT), line);
}

}  // namespace kel_sql
