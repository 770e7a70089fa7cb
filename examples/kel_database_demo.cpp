// kel_database demo: a framework program that keeps a small book catalogue in
// a SQLite file, doing all its database work on the database service thread.
//
//   kel_database_demo [DATABASE_FILE]
#include <kel_database/kel_database.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <iomanip>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kBooks = 5000;
constexpr int kSinceYear = 1950;
const std::vector<std::string> kAuthors = {"Achebe", "Borges", "Calvino", "Duras", "Eco", "Flaubert"};

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Runs `job` on the database service thread and waits until it has run.
void on_service(std::function<void()> job) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  kel_database_exec(
      [job = std::move(job), done] {
        job();
        done->set_value();
      },
      __FILE__, __LINE__);
  finished.wait();
}

bool check(int rc, int expected, const char* what, const boost::shared_ptr<_kel_sqlite>& db) {
  if (rc == expected) return true;
  std::cout << what << " failed: " << rc << " " << kel_sqlite_errstr(db, rc) << std::endl;
  return false;
}

// Creates the catalogue and fills it in one transaction through one statement.
bool fill_catalogue(const boost::shared_ptr<_kel_sqlite>& db) {
  if (!check(kel_sqlite_open(db), 0, "open", db)) return false;
  const char* schema =
      "DROP TABLE IF EXISTS books;"
      "CREATE TABLE books(id INTEGER PRIMARY KEY, title TEXT NOT NULL, author TEXT NOT NULL,"
      "                   year INTEGER NOT NULL, pages INTEGER NOT NULL);";
  if (!check(kel_sqlite_sql_stmt(db, schema, nullptr), 0, "create table", db)) return false;

  const auto start = clock_type::now();
  kel_sqlite_sql_stmt(db, "BEGIN", nullptr);
  kel_sqlite_prepare(db, "INSERT INTO books(title, author, year, pages) VALUES (?1, ?2, ?3, ?4)");
  for (int i = 0; i < kBooks; ++i) {
    const std::string title = "Volume " + std::to_string(i + 1);
    const std::string& author = kAuthors[i % kAuthors.size()];
    kel_sqlite_bind_text(db, 1, title.c_str(), title.size());
    kel_sqlite_bind_text_static(db, 2, author.c_str(), author.size());
    kel_sqlite_bind_int(db, 3, 1900 + (i * 7919) % 124);
    kel_sqlite_bind_int(db, 4, 80 + (i * 104729) % 900);
    if (!check(kel_sqlite_step(db), 101, "insert", db)) return false;
    kel_sqlite_reset(db);
  }
  kel_sqlite_finalize(db);
  if (!check(kel_sqlite_sql_stmt(db, "COMMIT", nullptr), 0, "commit", db)) return false;
  const double elapsed = seconds_since(start);
  std::cout << "inserted " << kBooks << " books in one transaction: " << static_cast<long>(kBooks / elapsed)
            << " rows/s" << std::endl;
  return true;
}

// The typical request: find the connection by name, query, walk the rows.
void report_authors() {
  boost::shared_ptr<_kel_sqlite> db = kel_database_get_sqlite("catalogue");
  const auto start = clock_type::now();
  kel_sqlite_prepare(db,
                     "SELECT author, COUNT(*), SUM(pages), MIN(year) FROM books WHERE year >= ?1 "
                     "GROUP BY author ORDER BY author");
  kel_sqlite_bind_int(db, 1, kSinceYear);

  std::cout << "books published since " << kSinceYear << ", by author:" << std::endl;
  std::cout << "  author      books   pages  first" << std::endl;
  unsigned long rows = 0;
  const int rc = kel_sqlite_rows_each(db, rows, [](boost::shared_ptr<_kel_sqlite> row, unsigned long) {
    std::cout << "  " << std::left << std::setw(10) << kel_sqlite_column_text(row, 0) << std::right << std::setw(7)
              << kel_sqlite_column_int64(row, 1) << std::setw(8) << kel_sqlite_column_int64(row, 2) << std::setw(7)
              << kel_sqlite_column_int(row, 3) << std::endl;
    return true;
  });
  kel_sqlite_finalize(db);
  const double elapsed = seconds_since(start);
  std::cout << rows << " rows, rows_each returned " << rc << " (SQLITE_DONE); scanned " << kBooks << " books at "
            << static_cast<long>(kBooks / elapsed) << " rows/s" << std::endl;
}

// A timer, then an interval that ends itself after three ticks.
void timer_and_interval() {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  kel_database_set_timeout(
      [done] {
        std::cout << "timer: fired once after 20 ms" << std::endl;
        auto ticks = std::make_shared<int>(0);
        kel_database_set_interval(
            [done, ticks] {
              std::cout << "interval: tick " << ++*ticks << std::endl;
              if (*ticks < 3) return true;
              done->set_value();
              return false;  // ends the interval
            },
            10, __FILE__, __LINE__);
      },
      20, __FILE__, __LINE__);
  finished.wait();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : KEL_DEMO_DEFAULT_DB;
  std::cout << "kel_database demo on " << path << std::endl;

  kel_database_init();
  boost::shared_ptr<_kel_sqlite> catalogue = kel_sqlite_new(path, "catalogue");

  bool filled = false;
  on_service([&] { filled = fill_catalogue(catalogue); });
  if (filled) on_service(report_authors);
  timer_and_interval();

  // The release runs on the service thread; the job queued after it returns
  // once it has, so the count line comes before the shutdown lines.
  kel_sqlite_destroy(catalogue, __FILE__, __LINE__);
  catalogue.reset();
  on_service([] {});
  kel_system_shutdown();
  return filled ? 0 : 1;
}
