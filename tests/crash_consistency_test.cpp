// What a process killed at any moment leaves behind. A child process writes
// batches of rows through the library, one transaction per batch, and reports
// each batch number on a pipe once its COMMIT has returned; it is killed with
// SIGKILL at a random moment, again and again. After every kill the database
// is reopened through the library: its integrity check says "ok", every batch
// reported committed is there in full (every row, every byte), at most the one
// batch after it is there too (committed, killed before it could report), and
// no batch is there in part. With the rollback journal and with WAL.
//
// The parent starts no thread before its last fork (the database service is
// started only at the end), so the children are forked from a process with
// one thread.
#include "test_support.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace kel_test;

namespace {

using handle = boost::shared_ptr<_kel_sqlite>;

constexpr int kRowsPerBatch = 40;
constexpr int kKills = 24;

// The bytes of one row: their length and content follow from its place, so
// that a torn or misplaced page shows.
std::vector<unsigned char> payload(long long batch, int row) {
  std::vector<unsigned char> bytes(static_cast<size_t>(100 + (batch * 7 + row * 131) % 1900));
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(batch * 31 + row * 17 + i);
  return bytes;
}

// Exit codes of a child that stopped on its own: each names the call that
// failed (a child only ever ends by the parent's SIGKILL otherwise).
enum child_failure { kOpen = 10, kJournal, kCreate, kResume, kPrepare, kBegin, kInsert, kCommit, kReport };

constexpr char kCreateTable[] =
    "CREATE TABLE IF NOT EXISTS rows(batch INTEGER NOT NULL, row INTEGER NOT NULL, payload BLOB NOT NULL, "
    "PRIMARY KEY(batch, row))";

std::string journal_pragma(const char* journal_mode) { return std::string("PRAGMA journal_mode=") + journal_mode; }

[[noreturn]] void writer(const std::string& path, const char* journal_mode, int report_fd) {
  handle db = kel_sqlite_new(path, "writer");
  if (kel_sqlite_open(db) != SQLITE_OK) _exit(kOpen);
  if (kel_sqlite_sql_stmt(db, journal_pragma(journal_mode).c_str(), nullptr) != SQLITE_OK) _exit(kJournal);
  if (kel_sqlite_sql_stmt(db, kCreateTable, nullptr) != SQLITE_OK) _exit(kCreate);
  // Resume after the last batch on disk: an earlier child may have committed
  // one that it never reported.
  if (kel_sqlite_prepare(db, "SELECT coalesce(max(batch), 0) FROM rows") != SQLITE_OK ||
      kel_sqlite_step(db) != SQLITE_ROW)
    _exit(kResume);
  const long long first = kel_sqlite_column_int64(db, 0) + 1;
  kel_sqlite_finalize(db);
  if (kel_sqlite_prepare(db, "INSERT INTO rows(batch, row, payload) VALUES(?1, ?2, ?3)") != SQLITE_OK) _exit(kPrepare);
  for (long long batch = first;; ++batch) {
    if (kel_sqlite_sql_stmt(db, "BEGIN", nullptr) != SQLITE_OK) _exit(kBegin);
    for (int row = 0; row < kRowsPerBatch; ++row) {
      const std::vector<unsigned char> bytes = payload(batch, row);
      if (kel_sqlite_bind_int64(db, 1, batch) != SQLITE_OK || kel_sqlite_bind_int(db, 2, row) != SQLITE_OK ||
          kel_sqlite_bind_blob(db, 3, bytes.data(), bytes.size()) != SQLITE_OK || kel_sqlite_step(db) != SQLITE_DONE ||
          kel_sqlite_reset(db) != SQLITE_OK)
        _exit(kInsert);
    }
    if (kel_sqlite_sql_stmt(db, "COMMIT", nullptr) != SQLITE_OK) _exit(kCommit);
    // 8 bytes: a pipe write that small is never split.
    if (write(report_fd, &batch, sizeof batch) != static_cast<ssize_t>(sizeof batch)) _exit(kReport);
  }
}

// Reads the child's reports (each must be the batch after `last`) into `last` until `enough` holds, the pipe
// closes or `deadline` passes; returns whether the pipe is still open.
bool read_reports(int fd, long long& last, std::string& pending, std::chrono::steady_clock::time_point deadline,
                  const std::function<bool()>& enough) {
  while (!enough()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    pollfd ready{fd, POLLIN, 0};
    const int n = poll(&ready, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;
    char buffer[256];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    pending.append(buffer, static_cast<size_t>(got));
    while (pending.size() >= sizeof(long long)) {
      long long batch;
      std::memcpy(&batch, pending.data(), sizeof batch);
      pending.erase(0, sizeof batch);
      EXPECT_EQ(batch, last + 1) << "reports out of order";
      last = batch;
    }
  }
  return true;
}

long long file_size(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : 0;
}

struct verdict {
  long long batches = -1;  // complete batches found, numbered 1..batches
};

// Reopens the database through the library and checks it.
verdict verify(const handle& db, long long reported) {
  verdict result;
  EXPECT_EQ(kel_sqlite_open(db), SQLITE_OK);

  std::vector<std::string> integrity;
  EXPECT_EQ(kel_sqlite_prepare(db, "PRAGMA integrity_check"), SQLITE_OK);
  EXPECT_EQ(kel_sqlite_rows_each(db,
                                 [&integrity](handle row, unsigned long) {
                                   integrity.push_back(kel_sqlite_column_text(row, 0));
                                   return true;
                                 }),
            SQLITE_DONE);
  kel_sqlite_finalize(db);
  EXPECT_EQ(integrity, std::vector<std::string>{"ok"});

  // Batch by batch: numbered without gaps from 1, each complete.
  EXPECT_EQ(
      kel_sqlite_prepare(db, "SELECT batch, count(*), min(row), max(row) FROM rows GROUP BY batch ORDER BY batch"),
      SQLITE_OK);
  long long expected_batch = 1;
  EXPECT_EQ(kel_sqlite_rows_each(db,
                                 [&](handle row, unsigned long) {
                                   const long long batch = kel_sqlite_column_int64(row, 0);
                                   EXPECT_EQ(batch, expected_batch) << "a batch is missing";
                                   EXPECT_EQ(kel_sqlite_column_int(row, 1), kRowsPerBatch)
                                       << "batch " << batch << " is there in part";
                                   EXPECT_EQ(kel_sqlite_column_int(row, 2), 0);
                                   EXPECT_EQ(kel_sqlite_column_int(row, 3), kRowsPerBatch - 1);
                                   expected_batch = batch + 1;
                                   return true;
                                 }),
            SQLITE_DONE);
  kel_sqlite_finalize(db);
  result.batches = expected_batch - 1;

  // Every byte of every row.
  EXPECT_EQ(kel_sqlite_prepare(db, "SELECT batch, row, payload FROM rows"), SQLITE_OK);
  long long wrong = 0;
  unsigned long rows = 0;
  EXPECT_EQ(kel_sqlite_rows_each(db, rows,
                                 [&wrong](handle row, unsigned long) {
                                   unsigned char* data = nullptr;
                                   int size = 0;
                                   kel_sqlite_column_blob(row, 2, data, size);
                                   const auto expected =
                                       payload(kel_sqlite_column_int64(row, 0), kel_sqlite_column_int(row, 1));
                                   if (size != static_cast<int>(expected.size()) ||
                                       (size > 0 && std::memcmp(data, expected.data(), expected.size()) != 0))
                                     ++wrong;
                                   std::free(data);
                                   return true;
                                 }),
            SQLITE_DONE);
  kel_sqlite_finalize(db);
  EXPECT_EQ(wrong, 0) << "rows whose payload changed";
  EXPECT_EQ(rows, static_cast<unsigned long>(result.batches * kRowsPerBatch));

  kel_sqlite_close(db);
  // Reported means committed; at most one more committed without its report.
  EXPECT_GE(result.batches, reported) << "a batch whose COMMIT returned is gone";
  EXPECT_LE(result.batches, reported + 1) << "batches appeared that the child cannot have committed";
  return result;
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

  handle db = kel_sqlite_new(path, "verifier");
  // The file and its table exist before the first child: a child killed
  // while it opens the file finds nothing half-created.
  ASSERT_EQ(kel_sqlite_open(db), SQLITE_OK);
  ASSERT_EQ(kel_sqlite_sql_stmt(db, journal_pragma(journal_mode).c_str(), nullptr), SQLITE_OK);
  ASSERT_EQ(kel_sqlite_sql_stmt(db, kCreateTable, nullptr), SQLITE_OK);
  kel_sqlite_close(db);
  long long durable = 0;   // complete batches found by the last check
  long long reported = 0;  // reports received, over all children
  int kills = 0;
  int unreported_commits = 0;
  int with_leftover = 0;
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

    // Mostly after the child has committed one batch of its own, then at a
    // random moment; sometimes early, while it opens or recovers the file.
    // The child resumes after the batches on disk and reports each commit.
    std::string pending;
    long long last = durable;
    const bool early = std::uniform_int_distribution<int>(0, 4)(random) == 0;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    if (!early) {
      read_reports(fds[0], last, pending, deadline, [&] { return last > durable; });
      EXPECT_GT(last, durable) << "the child committed nothing within 30 s";
    }
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 30000)(random)));
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (WIFEXITED(status)) {
      ADD_FAILURE() << "the child stopped by itself with code " << WEXITSTATUS(status);
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
      ++kills;
    }
    // What it reported before it died; the pipe then closes.
    EXPECT_FALSE(read_reports(fds[0], last, pending, std::chrono::steady_clock::now() + 10s, [] { return false; }));
    EXPECT_EQ(pending.size(), 0u) << "a torn report";
    close(fds[0]);

    if (file_size(leftover) > 0) ++with_leftover;
    reported += last - durable;
    const verdict found = verify(db, last);
    if (found.batches == last + 1) ++unreported_commits;
    durable = found.batches;
  }
  EXPECT_EQ(kills, kKills);
  std::printf(
      "%s: %d kills survived, %lld batches on disk, %lld reported committed, %d committed but unreported, "
      "%d kills left a %s behind\n",
      journal_mode, kills, durable, reported, unreported_commits, with_leftover,
      leftover.substr(path.size() + 1).c_str());

  // No more forks from here on: the service may start.
  kel_database_init();
  kel_sqlite_destroy(db, __FILE__, __LINE__);
  EXPECT_TRUE(drain_service());
  EXPECT_TRUE(shutdown_within(10s));
}

INSTANTIATE_TEST_SUITE_P(JournalModes, CrashConsistency, testing::Values("DELETE", "WAL"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param) == "WAL" ? std::string("Wal")
                                                                   : std::string("RollbackJournal");
                         });

}  // namespace
