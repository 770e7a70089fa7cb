// kel_sql: a command-line client for SQLite database files, built on the
// public kel_database API alone.
//
//   kel_sql [--list] DB [SQL ...]
//
// Life cycle. The client never starts the database service (no
// kel_database_init): it runs every statement on its main thread, one after
// the other, and needs no worker thread. This keeps its standard output
// exactly the result rows: the status lines that the library writes while
// releasing objects on the service and during kel_system_shutdown never
// appear, because there is no service to release on or to shut down. What a
// release would do is done here directly: the statement is finalized and the
// connection closed before the program ends, so SQLite's handles and file
// locks are given back explicitly. The Connection object itself (no SQLite
// resources left in it) is dropped at exit by the runtime's exit hook and the
// library's static destructors, which print nothing.
#include <kel_database/kel_database.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

// Result codes and column types as the public header documents them.
constexpr int kOk = 0;
constexpr int kRow = 100;
constexpr int kDone = 101;
constexpr int kBlob = 4;
constexpr int kNull = 5;

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitSqlError = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    R"(Usage: kel_sql [--list] DB [SQL ...]
       kel_sql --help

Opens the SQLite database file DB (creating it when missing; ":memory:" is an
in-memory database) and runs each SQL argument in turn. Without SQL arguments
it reads standard input and runs each line. An argument or line may hold
several statements separated by ';'; a statement cannot span lines. Lines that
hold only blanks, comments or ';' are skipped.

Output (standard output), for each statement that returns at least one row:
  default   an aligned table: the column names, a line of '-' under each,
            then one line per row. Columns are separated by two spaces and
            padded to the widest value or name (counted in Unicode code
            points); the last column is not padded. Every value is left
            aligned.
  --list    no alignment: the column names, then one line per row, the
            values separated by '|'.
Statements that return no row print nothing. Values are shown as follows:
  NULL      NULL
  integer   in decimal, e.g. -42
  real      as SQLite converts it to text, e.g. 0.1, 1.0e+300, 3.0
  text      as stored (UTF-8), up to its first NUL character
  blob      as an SQL literal in upper-case hex, e.g. X'01FF' (empty: X'')
Both layouts are those of the sqlite3 shell's "-header -column" and
"-header -list" with "-nullvalue NULL", except that blobs are shown in hex
and the table's last column carries no trailing blanks.

Errors: the first failing statement stops the run. Its SQLite result code and
message go to standard error as "kel_sql: error CODE: MESSAGE"; rows it
produced before failing are printed. Statements after it are not run.

Exit status: 0 success, 1 an SQLite error (opening the file or running a
statement), 2 a usage error.
)";

enum class layout { table, list };

// True when sql[from...] holds no statement: only whitespace, comments and
// ';', which SQLite compiles to no statement at all. Such text is skipped
// rather than handed to kel_sqlite_prepare, whose result would then be an
// empty statement that the library's state checks report as misuse.
bool holds_no_statement(const std::string& sql, std::size_t from) {
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
      // An unterminated block comment runs to the end of the text.
      const std::size_t end = sql.find("*/", i + 2);
      i = end == std::string::npos ? n : end + 2;
    } else {
      return false;
    }
  }
  return true;
}

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

class client {
 public:
  client(boost::shared_ptr<_kel_sqlite> db, layout mode) : db_(std::move(db)), mode_(mode) {}

  // Runs every statement of `text` in turn; false (after reporting the error)
  // when one fails.
  bool run(const std::string& text) {
    // SQLite reads the text up to a NUL character (standard input may hold one).
    const std::string sql = text.substr(0, text.find('\0'));
    std::size_t from = 0;
    while (!holds_no_statement(sql, from)) {
      const std::string rest = sql.substr(from);
      const int rc = kel_sqlite_prepare(db_, rest);
      if (rc != kOk) return fail(rc, last_message());
      // kel_sqlite_prepare compiles only the first statement. SQLite keeps
      // the exact text it compiled, from the start of `rest` up to and
      // including the statement's ';', so its length is where the next
      // statement starts.
      const char* compiled = kel_sqlite_sql(db_);
      const std::size_t used = compiled == nullptr ? 0 : std::strlen(compiled);
      if (used == 0 || rest.compare(0, used, compiled) != 0) {
        kel_sqlite_finalize(db_);
        return fail(-1, "cannot find the end of the statement; give one statement per argument");
      }
      const bool ok = print_rows();
      kel_sqlite_finalize(db_);
      if (!ok) return false;
      from += used;
    }
    return true;
  }

 private:
  // Steps the prepared statement to its end, printing its rows.
  bool print_rows() {
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
    if (rc != kDone) return fail(rc, last_message());
    return true;
  }

  // The text of column `i` of the current row.
  std::string cell(int i) {
    // The type first: reading a value as text or bytes may convert it.
    const int type = kel_sqlite_column_type(db_, i);
    if (type == kNull) return "NULL";
    if (type == kBlob) {
      unsigned char* raw = nullptr;
      int size = 0;
      const bool copied = kel_sqlite_column_blob(db_, i, raw, size);
      const std::unique_ptr<unsigned char, free_deleter> bytes(raw);
      if (!copied) return "X''";
      return hex_literal(bytes.get(), size);
    }
    // Integers, reals and text exactly as SQLite renders them as text.
    return kel_sqlite_column_text(db_, i);
  }

  static void print_list_line(const std::vector<std::string>& values) {
    std::string line;
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i > 0) line += '|';
      line += values[i];
    }
    line += '\n';
    std::cout << line;
  }

  static void print_table(const std::vector<std::string>& names, const std::vector<std::vector<std::string>>& rows) {
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

  static void print_table_line(const std::vector<std::string>& values, const std::vector<std::size_t>& widths) {
    std::string line;
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i > 0) line += "  ";
      line += values[i];
      if (i + 1 < values.size()) line.append(widths[i] - code_points(values[i]), ' ');
    }
    line += '\n';
    std::cout << line;
  }

  std::string last_message() {
    const char* message = kel_sqlite_last_error_message(db_);
    return message == nullptr ? std::string() : std::string(message);
  }

  static bool fail(int code, const std::string& message) {
    std::cout.flush();  // the rows printed so far come before the error
    std::cerr << "kel_sql: error " << code << ": " << message << std::endl;
    return false;
  }

  boost::shared_ptr<_kel_sqlite> db_;
  layout mode_;
};

int usage_error(const std::string& problem) {
  std::cerr << "kel_sql: " << problem << "\n" << kUsage;
  return kExitUsage;
}

int run(int argc, char** argv) {
  layout mode = layout::table;
  int next = 1;
  for (; next < argc; ++next) {
    const std::string option = argv[next];
    if (option == "--help" || option == "-h") {
      std::cout << kUsage;
      return kExitOk;
    }
    if (option == "--list") {
      mode = layout::list;
    } else if (option == "--") {
      ++next;
      break;
    } else if (option.size() > 1 && option[0] == '-') {
      return usage_error("unknown option " + option);
    } else {
      break;
    }
  }
  if (next >= argc) return usage_error("no database file given");
  const std::string path = argv[next++];

  boost::shared_ptr<_kel_sqlite> db = kel_sqlite_new(path, "kel_sql");
  const int opened = kel_sqlite_open(db);
  if (opened != kOk) {
    // No connection is left to ask for a message: use the code's text.
    const char* text = kel_sqlite_errstr(db, opened);
    std::cerr << "kel_sql: error " << opened << ": " << (text == nullptr ? "" : text) << std::endl;
    return kExitSqlError;
  }

  client session(db, mode);
  bool ok = true;
  if (next < argc) {
    for (; ok && next < argc; ++next) ok = session.run(argv[next]);
  } else {
    std::string line;
    while (ok && std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      ok = session.run(line);
    }
  }
  std::cout.flush();

  kel_sqlite_finalize(db);
  kel_sqlite_close(db);
  return ok ? kExitOk : kExitSqlError;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    // Only the standard library's allocation and length errors end up here.
    std::cerr << "kel_sql: " << error.what() << std::endl;
    return kExitSqlError;
  }
}
