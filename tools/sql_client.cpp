#include "sql_client.h"

#include "interrupt.h"
#include "sql_text.h"

#include <sqlite3.h>

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

void print_list_line(const std::vector<std::string>& values) {
  std::string line;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) line += '|';
    line += values[i];
  }
  line += '\n';
  std::cout << line;
}

void print_table_line(const std::vector<std::string>& values, const std::vector<std::size_t>& widths) {
  std::string line;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) line += "  ";
    line += values[i];
    if (i + 1 < values.size()) line.append(widths[i] - code_points(values[i]), ' ');
  }
  line += '\n';
  std::cout << line;
}

void print_table(const std::vector<std::string>& names, const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths;
  widths.reserve(names.size());
  for (const auto& name : names) widths.push_back(code_points(name));
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], code_points(row[i]));
  }
  std::vector<std::string> rule;
  rule.reserve(widths.size());
  for (const std::size_t width : widths) rule.emplace_back(width, '-');
  print_table_line(names, widths);
  print_table_line(rule, widths);
  for (const auto& row : rows) print_table_line(row, widths);
}

}  // namespace

client::client(boost::shared_ptr<_kel_sqlite> db, layout mode) : db_(std::move(db)), mode_(mode) {}

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
      line += static_cast<unsigned long>(std::count(sql.begin() + counted, sql.begin() + start, '\n'));
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
      if (mode_ == layout::list) print_list_line(names);
    }
    std::vector<std::string> row;
    row.reserve(static_cast<std::size_t>(columns));
    for (int i = 0; i < columns; ++i) row.push_back(cell(i));
    if (mode_ == layout::list) {
      print_list_line(row);
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
  std::cerr << text + ": " + message + "\n" << std::flush;
  return false;
}

bool client::fail_interrupted(unsigned long line) { return fail(SQLITE_INTERRUPT, sqlite3_errstr(SQLITE_INTERRUPT), line); }

}  // namespace kel_sql
