// What a process killed at any moment leaves behind. A child writes batches of
// rows, one transaction each, and reports each batch on a pipe once its COMMIT
// has returned; it is killed with SIGKILL at random moments, again and again.
// Each reopen must pass the integrity check and hold every reported batch in
// full (every byte), at most one more, and none in part; in rollback and WAL
// mode. The service starts only after the last fork: children have one thread.
#include "test_support.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace kel_test;

namespace {

using handle = boost::shared_ptr<_kel_sqlite>;

constexpr int kRowsPerBatch = 40;
constexpr int kKills = 24;

// Length and content follow from the row's place, so that a torn or misplaced
// page shows.
std::vector<unsigned char> payload(long long batch, int row) {
  std::vector<unsigned char> bytes(static_cast<size_t>(100 + (batch * 7 + row * 131) % 1900));
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(batch * 31 + row * 17 + i);
  return bytes;
}

// Exit codes of a child that stopped on its own, naming the call that failed;
// otherwise a child only ends by the parent's SIGKILL.
enum child_failure { kOpen = 10, kResume, kPrepare, kBegin, kInsert, kCommit, kReport };

void or_exit(bool ok, child_failure code) {
  if (!ok) _exit(code);
}

// Opens `path` through `db` with the journal mode and the table in place.
bool open_database(const handle& db, const char* journal_mode) {
  return kel_sqlite_open(db) == SQLITE_OK &&
         kel_sqlite_sql_stmt(db, (std::string("PRAGMA journal_mode=") + journal_mode).c_str(), nullptr) == SQLITE_OK &&
         kel_sqlite_sql_stmt(db,
                             "CREATE TABLE IF NOT EXISTS rows(batch INTEGER NOT NULL, row INTEGER NOT NULL, "
                             "payload BLOB NOT NULL, PRIMARY KEY(batch, row))",
                             nullptr) == SQLITE_OK;
}

[[noreturn]] void writer(const std::string& path, const char* journal_mode, int report_fd) {
  handle db = kel_sqlite_new(path, "writer");
  or_exit(open_database(db, journal_mode), kOpen);
  // Resume after the last batch on disk: an earlier child may have committed
  // one that it never reported.
  or_exit(kel_sqlite_prepare(db, "SELECT coalesce(max(batch), 0) FROM rows") == SQLITE_OK &&
              kel_sqlite_step(db) == SQLITE_ROW,
          kResume);
  const long long first = kel_sqlite_column_int64(db, 0) + 1;
  kel_sqlite_finalize(db);
  or_exit(kel_sqlite_prepare(db, "INSERT INTO rows(batch, row, payload) VALUES(?1, ?2, ?3)") == SQLITE_OK, kPrepare);
  for (long long batch = first;; ++batch) {
    or_exit(kel_sqlite_sql_stmt(db, "BEGIN", nullptr) == SQLITE_OK, kBegin);
    for (int row = 0; row < kRowsPerBatch; ++row) {
      const std::vector<unsigned char> bytes = payload(batch, row);
      or_exit(kel_sqlite_bind_int64(db, 1, batch) == SQLITE_OK && kel_sqlite_bind_int(db, 2, row) == SQLITE_OK &&
                  kel_sqlite_bind_blob(db, 3, bytes.data(), bytes.size()) == SQLITE_OK &&
                  kel_sqlite_step(db) == SQLITE_DONE && kel_sqlite_reset(db) == SQLITE_OK,
              kInsert);
    }
    or_exit(kel_sqlite_sql_stmt(db, "COMMIT", nullptr) == SQLITE_OK, kCommit);
    // 8 bytes: a pipe write that small is never split.
    or_exit(write(report_fd, &batch, sizeof batch) == static_cast<ssize_t>(sizeof batch), kReport);
  }
}

// Reads the child's reports (each the batch after `last`) into `last` until it
// reaches `until`, the pipe closes or `deadline` passes; returns whether the
// pipe is still open.
bool read_reports(int fd, long long& last, long long until, std::chrono::steady_clock::time_point deadline) {
  while (last < until) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ready{fd, POLLIN, 0};
    const int n = left.count() > 0 ? poll(&ready, 1, static_cast<int>(left.count())) : 0;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;
    long long reports[32];
    const ssize_t got = read(fd, reports, sizeof reports);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    // Each report is one write below the pipe's atomic size: reads get whole ones.
    EXPECT_EQ(got % sizeof *reports, 0u) << "a torn report";
    for (ssize_t i = 0; i < got / static_cast<ssize_t>(sizeof *reports); ++i) {
      EXPECT_EQ(reports[i], last + 1) << "reports out of order";
      last = reports[i];
    }
  }
  return true;
}

// Hands every row of `sql` to `each`, through the library.
void each_row(const handle& db, const char* sql, const std::function<void(const handle&)>& each) {
  EXPECT_EQ(kel_sqlite_prepare(db, sql), SQLITE_OK) << sql;
  const kel_sqlite_row_callback every_row = [&each](handle row, unsigned long) { return each(row), true; };
  EXPECT_EQ(kel_sqlite_rows_each(db, every_row), SQLITE_DONE) << sql;
  kel_sqlite_finalize(db);
}

// Reopens the database through the library, checks it against the `reported`
// batches, and returns the number of complete batches found.
long long verify(const handle& db, long long reported) {
  EXPECT_EQ(kel_sqlite_open(db), SQLITE_OK);
  std::vector<std::string> integrity;
  each_row(db, "PRAGMA integrity_check",
           [&](const handle& row) { integrity.push_back(kel_sqlite_column_text(row, 0)); });
  EXPECT_EQ(integrity, std::vector<std::string>{"ok"});

  // Numbered without gaps from 1, each batch with every row.
  long long batches = 0;
  each_row(db, "SELECT batch, count(*), min(row), max(row) FROM rows GROUP BY batch ORDER BY batch",
           [&](const handle& row) {
             const long long batch = kel_sqlite_column_int64(row, 0);
             EXPECT_EQ(batch, batches + 1) << "a batch is missing";
             EXPECT_EQ(std::make_tuple(kel_sqlite_column_int(row, 1), kel_sqlite_column_int(row, 2),
                                       kel_sqlite_column_int(row, 3)),
                       std::make_tuple(kRowsPerBatch, 0, kRowsPerBatch - 1))
                 << "batch " << batch << " is there in part";
             batches = batch;
           });
  // Every byte of every row.
  long long wrong = 0;
  each_row(db, "SELECT batch, row, payload FROM rows", [&wrong](const handle& row) {
    unsigned char* data = nullptr;
    int size = 0;
    kel_sqlite_column_blob(row, 2, data, size);
    const auto expected = payload(kel_sqlite_column_int64(row, 0), kel_sqlite_column_int(row, 1));
    wrong += size != static_cast<int>(expected.size()) || (size > 0 && std::memcmp(data, expected.data(), size) != 0);
    std::free(data);
  });
  EXPECT_EQ(wrong, 0) << "rows whose payload changed";
  kel_sqlite_close(db);
  EXPECT_GE(batches, reported) << "a batch whose COMMIT returned is gone";
  EXPECT_LE(batches, reported + 1) << "batches appeared that the child cannot have committed";
  return batches;
}

class CrashConsistency : public testing::TestWithParam<const char*> {};

TEST_P(CrashConsistency, KilledWritersLoseNoCommittedBatchAndLeaveNoneInPart) {
  const char* journal_mode = GetParam();
  temp_dir dir;
  const std::string path = dir.path("batches.db");
  const std::string leftover = path + (std::string(journal_mode) == "WAL" ? "-wal" : "-journal");
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);

  // The file and its table exist before the first child: a child killed while
  // it opens the file finds nothing half-created.
  handle db = kel_sqlite_new(path, "verifier");
  ASSERT_TRUE(open_database(db, journal_mode));
  kel_sqlite_close(db);
  long long durable = 0;  // complete batches found by the last check
  int kills = 0, unreported_commits = 0, with_leftover = 0;
  for (int round = 0; round < kKills && !testing::Test::HasFailure(); ++round) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::fflush(nullptr);  // nothing buffered is written twice
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(fds[0]);
      writer(path, journal_mode, fds[1]);
    }
    close(fds[1]);

    // Mostly after the child has committed a batch of its own, then at a
    // random moment; sometimes early, while it opens or recovers the file.
    long long last = durable;
    if (std::uniform_int_distribution<int>(0, 4)(random) != 0) {
      read_reports(fds[0], last, durable + 1, std::chrono::steady_clock::now() + 30s);
      EXPECT_GT(last, durable) << "the child committed nothing within 30 s";
    }
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 30000)(random)));
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (WIFEXITED(status)) ADD_FAILURE() << "the child stopped by itself with code " << WEXITSTATUS(status);
    kills += WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    // What it reported before it died; the pipe then closes.
    EXPECT_FALSE(read_reports(fds[0], last, LLONG_MAX, std::chrono::steady_clock::now() + 10s));
    close(fds[0]);

    struct stat info {};
    with_leftover += stat(leftover.c_str(), &info) == 0 && info.st_size > 0;
    const long long found = verify(db, last);
    unreported_commits += found == last + 1;
    durable = found;
  }
  EXPECT_EQ(kills, kKills);
  std::printf("%s: %d kills, %lld batches on disk, %d committed but unreported, %d kills left a %s behind\n",
              journal_mode, kills, durable, unreported_commits, with_leftover,
              leftover.substr(path.size() + 1).c_str());

  // No more forks from here on: the service may start.
  kel_database_init();
  kel_sqlite_destroy(db, __FILE__, __LINE__);
  EXPECT_TRUE(drain_service());
  EXPECT_TRUE(shutdown_within(10s));
}

INSTANTIATE_TEST_SUITE_P(JournalModes, CrashConsistency, testing::Values("DELETE", "WAL"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param) == "WAL" ? "Wal" : "RollbackJournal";
                         });

}  // namespace
