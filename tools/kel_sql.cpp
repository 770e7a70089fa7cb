// kel_sql: a command-line client for SQLite database files, built on the
// public kel_database API. SQLite itself is called only for what the API
// does not offer: sqlite3_complete, to tell when text read from standard
// input holds complete statements, the version string of the SQLite library
// in use, and for Ctrl-C sqlite3_interrupt and sqlite3_get_autocommit on the
// connection's handle, which an auto-extension learns (interrupt.h).
//
//   kel_sql [--list] [--key-file FILE] DB [SQL ...]
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
// library's static destructors, which print nothing. On a terminal, the
// banner and the prompts go to standard error for the same reason.
#include "interrupt.h"
#include "key_file.h"
#include "line_reader.h"
#include "sql_client.h"
#include "statement_gatherer.h"

#include <kel_database/kel_database.h>
#include <sqlite3.h>
#include <unistd.h>

#include <iostream>
#include <string>

namespace {

using kel_sql::client;
using kel_sql::layout;

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitSqlError = 1;
constexpr int kExitUsage = 2;

constexpr int kSqliteError = 1;  // SQLITE_ERROR, as SQLite gives for text it cannot compile
constexpr char kIncomplete[] = "incomplete SQL: the input ends in an unclosed quote or trigger body";
constexpr char kNulByte[] = "the line holds a NUL byte";
constexpr char kPrompt[] = "kel_sql> ";
constexpr char kContinuation[] = "   ...> ";

constexpr char kUsage[] =
    R"(Usage: kel_sql [--list] [--key-file FILE] DB [SQL ...]
       kel_sql --help | --version

Opens the SQLite database file DB (creating it when missing; ":memory:" is an
in-memory database) and runs each SQL argument in turn. An argument may hold
several statements separated by ';'; text that holds only blanks, comments or
';' is skipped. --help prints this text; --version prints the versions of
kel_database and of the SQLite library in use (and of SQLCipher, when
kel_database is built on it).

--key-file FILE keys an encrypted (SQLCipher) database: the key is the first
line of FILE, without its line end, and is given to the database right after
it is opened, before the first statement. The key is never taken from the
command line and never printed. A wrong key (or an unencrypted file) fails at
the first statement that reads the database, with SQLite's code 26: "file is
encrypted or is not a database". A new database given a key is created
encrypted. A first line longer than 4096 bytes (or a file that never ends a
line) is refused after that much is read: "cannot read the key file FILE:
its first line is longer than 4096 bytes". Only a kel_sql built on SQLCipher
has this option; elsewhere it is an error, and nothing is opened or written.

Without SQL arguments it runs the SQL text on standard input, written as in
any script file: a statement may span lines, several may share a line, and
comments, blank lines and strings with line breaks may come anywhere. Text is
run as soon as it ends with a complete statement (as SQLite's sqlite3_complete
decides). At the end of the input a last statement that lacks only its ';' is
run, and a /* comment still open there ends with the input, as SQLite's
tokenizer ends it ("VALUES(42) /* note" prints 42, as in the sqlite3 shell). A
quote or a trigger body still open there is not run and is an error, after the
complete statements before it have run: "incomplete SQL: the input ends in an
unclosed quote or trigger body". A UTF-8 byte-order mark at the start of the
input (or of an argument) is skipped.

A line holding a NUL byte is refused with the error "the line holds a NUL
byte" (code 1, naming that line): in a script nothing from that line on is
run, nor the unfinished statement that the line continues; on a terminal that
text is dropped and the session goes on. (The sqlite3 shell reads such a line
up to the NUL and joins the next line on, so it runs text the input does not
hold.)

When standard input is a terminal, kel_sql shows a banner, then prompts on
standard error with "kel_sql> " for a new statement and "   ...> " for a
continuation line. It ends at the end of the input (Ctrl-D).

Ctrl-C (SIGINT) interrupts the running statement with SQLite's
sqlite3_interrupt; between statements it keeps the next one from starting.
In a script (standard input that is not a terminal, or SQL arguments) it is
an error like any other, "kel_sql: error 9 (line N): interrupted", N being
the line of the interrupted statement or, while input is awaited, of the
line being read. On a terminal it cancels the statement, or the text being
entered, and prompts again; a transaction the user began stays open. A
second Ctrl-C while the first is still pending ends kel_sql at once, as
SIGINT does by default; SQLite rolls back what was left unfinished when the
database is next opened.

Output (standard output), for each statement that returns at least one row:
  default   an aligned table: the column names, a line of '-' under each,
            then one line per row. Columns are separated by two spaces and
            padded to the widest value or name (counted in Unicode code
            points); no line ends in padding. Every value is left aligned.
            A line break (LF or CRLF) or any other control character (C0,
            DEL, C1, or a byte 0x80 to 0x9F outside UTF-8) in a value ends
            a line of its cell and is not shown; a
            tab moves on to the cell's next multiple of 8 columns. A row is
            as tall as its tallest cell; when a cell has several lines, a
            blank line separates the rows. A column name shows its first
            line only.
  --list    no alignment: the column names, then one line per row, the
            values separated by '|'. Into a pipe or a file values are
            written byte for byte; on a terminal each byte of a control
            character (tab and line break too) is shown as \xHH.
Statements that return no row print nothing. Values are shown as follows:
  NULL      NULL
  integer   in decimal, e.g. -42
  real      as SQLite converts it to text, e.g. 0.1, 1.0e+300, 3.0
  text      as stored (UTF-8), up to its first NUL character
  blob      as an SQL literal in upper-case hex, e.g. X'01FF' (empty: X'')
So no control character of a value ever reaches a terminal. Both layouts
are those of the sqlite3 shell's "-header -column" and "-header -list" with
"-nullvalue NULL", except that blobs are shown in hex, no line of the table
ends in padding, and the shell writes DEL and C1 characters raw in its table
(and every control character raw in its list on a terminal) and breaks a
cell's line after 1,000,000 characters.

Errors: the first failing statement stops the run. Its SQLite result code and
message go to standard error as "kel_sql: error CODE: MESSAGE"; for standard
input, as "kel_sql: error CODE (line N): MESSAGE", N being the input line on
which the failing statement (or the unfinished text) starts. The message may
hold text from the database: on a terminal its control characters are shown
as \xHH, as in --list; into a pipe or a file it is written byte for byte.
Unfinished text has code 1. Rows the statement produced before failing are
printed; statements after it are not run, and a transaction left open is
rolled back before kel_sql ends. On a terminal an error only drops the rest of the text
entered with the failing statement, and the session goes on.

Exit status: 0 success, 1 an SQLite error (opening the file, keying it or
running a statement), unfinished input, a NUL byte or Ctrl-C, 2 a usage
error (a key file that cannot be read, holds no key or too long a first line
included). On a terminal: 0 when the last statement run succeeded, else 1.
)";

int usage_error(const std::string& problem) {
  std::cerr << "kel_sql: " << problem << "\n" << kUsage;
  return kExitUsage;
}

// Runs the SQL text of standard input. True when the last statement run
// succeeded (when none failed, unless interactive).
bool run_standard_input(client& session, bool interactive, const std::string& path) {
  if (interactive) {
    // Standard error is unbuffered: one write, so that nothing (the
    // terminal's echo of typed-ahead input, say) lands inside the banner.
    std::cerr << std::string("kel_sql ") + KEL_DATABASE_VERSION_STRING + " (SQLite " + sqlite3_libversion() +
                     "): " + path + "\nEnd each statement with ';'. Ctrl-D quits.\n";
  }
  kel_sql::line_reader reader(STDIN_FILENO);
  kel_sql::statement_gatherer input;
  bool ok = true;
  std::string line;
  for (;;) {
    if (interactive) {
      std::cout.flush();
      std::cerr << (input.pending() ? kContinuation : kPrompt) << std::flush;
    }
    const kel_sql::line_reader::result got = reader.next(line);
    if (got == kel_sql::line_reader::result::end) break;
    if (got == kel_sql::line_reader::result::interrupted) {
      // Ctrl-C while waiting for input: a script stops there; on a terminal
      // the text being entered is dropped, as the terminal drops its line.
      if (!interactive) return client::fail_interrupted(input.lines_read() + 1);
      reader.discard();
      input.drop();
      kel_sql::clear_interrupt();
      std::cerr << '\n';
      continue;
    }
    if (line.find('\0') != std::string::npos) {
      // SQLite reads text up to a NUL, and the shell joins the next line on
      // where the NUL cut this one: neither runs what the input says, so
      // the line is refused, with the unfinished text it was to continue.
      client::fail(kSqliteError, kNulByte, input.lines_read() + 1);
      if (!interactive) return false;
      input.skip_line();
      continue;
    }
    if (!input.add_line(line)) continue;
    const kel_sql::gathered_text text = input.take();
    ok = session.run(text.text, text.first_line);
    if (interactive && kel_sql::interrupt_pending()) {
      // The statement was cut short (and reported) or had just ended: the
      // text typed ahead goes with it.
      reader.discard();
      kel_sql::clear_interrupt();
    }
    if (!ok && !interactive) return false;
  }
  if (interactive) std::cerr << '\n';
  if (!input.pending()) return ok;
  const bool runnable = input.completes_at_end();
  const kel_sql::gathered_text text = input.take();
  if (runnable) return session.run(text.text, text.first_line);
  // The statements complete before the unfinished text still run.
  unsigned long unfinished = 0;
  if (!session.run(text.text, text.first_line, &unfinished)) return false;
  return client::fail(kSqliteError, kIncomplete, unfinished);
}

// A script that failed leaves no transaction open: it is rolled back here
// rather than left to the close, so that its journal is gone before kel_sql
// ends. On a terminal the transaction stays, as the user left it.
void roll_back_open_transaction(const boost::shared_ptr<_kel_sqlite>& db) {
  sqlite3* const connection = kel_sql::watched_connection();
  if (connection == nullptr || sqlite3_get_autocommit(connection) != 0) return;
  // A Ctrl-C that stopped the script has been reported; left pending, it
  // would stop the rollback too.
  kel_sql::clear_interrupt();
  kel_sqlite_sql_stmt(db, "ROLLBACK", nullptr);
}

// Every close goes through here: the SIGINT handler must forget the handle
// before SQLite frees it, or a Ctrl-C in between would interrupt a freed
// connection.
void close_connection(const boost::shared_ptr<_kel_sqlite>& db) {
  kel_sql::connection_closing();
  kel_sqlite_close(db);
}

int run(int argc, char** argv) {
  layout mode = layout::table;
  bool keyed = false;
  std::string key_file;
  int next = 1;
  for (; next < argc; ++next) {
    const std::string option = argv[next];
    if (option == "--help" || option == "-h") {
      std::cout << kUsage;
      return kExitOk;
    }
    if (option == "--version") {
      std::cout << "kel_database " << KEL_DATABASE_VERSION_STRING << "\nSQLite " << sqlite3_libversion()
                << kel_sql::sqlite_library_note() << "\n";
      return kExitOk;
    }
    if (option == "--list") {
      mode = layout::list;
    } else if (option == "--key-file" || option.rfind("--key-file=", 0) == 0) {
      if (option == "--key-file") {
        if (++next >= argc) return usage_error("--key-file needs the name of the file holding the key");
        key_file = argv[next];
      } else {
        key_file = option.substr(std::string("--key-file=").size());
      }
      keyed = true;
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

  // The key is read before the database is opened, so that a key file that
  // fails leaves no new database behind.
  std::string key;
  if (keyed) {
    if (!kel_sql::encryption_available()) {
      std::cerr << "kel_sql: --key-file: this kel_sql has no encryption (kel_database is built on SQLite, not "
                   "SQLCipher); nothing was opened\n";
      return kExitUsage;
    }
    std::string problem;
    if (!kel_sql::read_key_file(key_file, key, problem)) {
      std::cerr << "kel_sql: " + problem + "\n";
      return kExitUsage;
    }
  }

  boost::shared_ptr<_kel_sqlite> db = kel_sqlite_new(path, "kel_sql");
  kel_sql::watch_for_interrupts();
  const int opened = kel_sqlite_open(db);
  kel_sql::connection_opened(opened == 0);
  if (opened != 0) {
    // No connection is left to ask for a message: use the code's text.
    const char* text = kel_sqlite_errstr(db, opened);
    client::fail(opened, text == nullptr ? "" : text);
    return kExitSqlError;
  }

  if (keyed) {
    // Before any statement: the first read of the file must already use it.
    std::string message;
    const int rc = kel_sql::apply_key(db, key, message);
    kel_sql::wipe(key);
    if (rc != 0) {
      client::fail(rc, message);
      close_connection(db);
      return kExitSqlError;
    }
  }

  client session(db, mode, isatty(STDOUT_FILENO) == 1);
  bool ok = true;
  const bool interactive = next >= argc && isatty(STDIN_FILENO) == 1;
  if (next < argc) {
    for (; ok && next < argc; ++next) ok = session.run(argv[next], 0);
  } else {
    ok = run_standard_input(session, interactive, path);
  }
  std::cout.flush();

  kel_sqlite_finalize(db);
  if (!ok && !interactive) roll_back_open_transaction(db);
  close_connection(db);
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
