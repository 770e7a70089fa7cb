// Encrypted databases on SQLCipher, through the library's exported functions
// only: the key is SQL text (PRAGMA key) run with kel_sqlite_sql_stmt as the
// first statement after kel_sqlite_open. Built only with KEL_SQLITE=sqlcipher.
#include <kel_database/kel_database.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using namespace kel_test;
using handle = boost::shared_ptr<_kel_sqlite>;

static_assert(KEL_DATABASE_SQLCIPHER == 1, "these tests belong to a build on SQLCipher");

// Result codes, as SQLite defines them.
constexpr int kOk = 0;
constexpr int kNotADatabase = 26;  // SQLITE_NOTADB
constexpr int kDone = 101;
constexpr char kNotADatabaseText[] = "file is encrypted or is not a database";

// Text that must never be found in an encrypted file's bytes.
const std::string kMarker = "kel-plaintext-marker";
constexpr int kRows = 300;

// One row of the ledger table, every column type SQLite has.
struct row {
  long long id;
  std::string label;
  double amount;
  std::vector<unsigned char> payload;
  bool note_null;
  std::string note;
  bool operator==(const row& other) const {
    return id == other.id && label == other.label && amount == other.amount && payload == other.payload &&
           note_null == other.note_null && note == other.note;
  }
};

std::ostream& operator<<(std::ostream& out, const row& r) {
  return out << "{" << r.id << ", " << r.label << ", " << r.amount << ", " << r.payload.size() << " bytes, "
             << (r.note_null ? std::string("NULL") : r.note) << "}";
}

std::vector<row> expected_rows() {
  std::vector<row> rows;
  for (int i = 0; i < kRows; ++i) {
    std::vector<unsigned char> payload(static_cast<std::size_t>(i % 17) + 1);
    for (std::size_t b = 0; b < payload.size(); ++b) payload[b] = static_cast<unsigned char>((i * 31 + b * 7) & 0xFF);
    rows.push_back(row{i, kMarker + "-" + std::to_string(i), i * 0.25 - 7.5, payload, i % 3 == 0,
                       i % 3 == 0 ? std::string() : "note " + std::to_string(i)});
  }
  return rows;
}

// Runs SQL text; the message SQLite gave goes to `message`.
int exec(const handle& db, const std::string& sql, std::string* message = nullptr) {
  char* error = nullptr;
  const int rc = kel_sqlite_sql_stmt(db, sql.c_str(), &error);
  if (message != nullptr) *message = error == nullptr ? "" : error;
  if (error != nullptr) kel_sqlite_free(db, error);
  return rc;
}

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

// A Connection object on `path`, opened and, unless `key` is empty, keyed.
handle open_db(const std::string& path, const std::string& key) {
  handle db = kel_sqlite_new(path, "encryption");
  EXPECT_EQ(kel_sqlite_open(db), kOk);
  if (!key.empty()) {
    EXPECT_EQ(exec(db, "PRAGMA key = " + quoted(key)), kOk);
  }
  return db;
}

void close_db(const handle& db) {
  kel_sqlite_finalize(db);
  EXPECT_TRUE(kel_sqlite_close(db));
}

void write_rows(const handle& db) {
  ASSERT_EQ(exec(db, "CREATE TABLE ledger(id INTEGER PRIMARY KEY, label TEXT, amount REAL, payload BLOB, note TEXT)"),
            kOk);
  ASSERT_EQ(exec(db, "BEGIN"), kOk);
  for (const row& r : expected_rows()) {
    ASSERT_EQ(kel_sqlite_prepare(db, "INSERT INTO ledger VALUES (?, ?, ?, ?, ?)"), kOk);
    kel_sqlite_bind_int64(db, 1, r.id);
    kel_sqlite_bind_text(db, 2, r.label.c_str(), static_cast<int>(r.label.size()));
    kel_sqlite_bind_double(db, 3, r.amount);
    kel_sqlite_bind_blob(db, 4, r.payload.data(), static_cast<int>(r.payload.size()));
    if (!r.note_null) kel_sqlite_bind_text(db, 5, r.note.c_str(), static_cast<int>(r.note.size()));
    ASSERT_EQ(kel_sqlite_step(db), kDone);
    kel_sqlite_finalize(db);
  }
  ASSERT_EQ(exec(db, "COMMIT"), kOk);
}

// Every row of the ledger, in id order; `rc` gets the walk's result (or the
// prepare's, when that failed).
std::vector<row> read_rows(const handle& db, int& rc) {
  std::vector<row> rows;
  rc = kel_sqlite_prepare(db, "SELECT id, label, amount, payload, note FROM ledger ORDER BY id");
  if (rc != kOk) return rows;
  rc = kel_sqlite_rows_each(db, [&rows](handle h, unsigned long) {
    row r{kel_sqlite_column_int64(h, 0),   kel_sqlite_column_text(h, 1), kel_sqlite_column_double(h, 2), {},
          kel_sqlite_is_column_null(h, 4), kel_sqlite_column_text(h, 4)};
    unsigned char* data = nullptr;
    int size = 0;
    if (kel_sqlite_column_blob(h, 3, data, size)) r.payload.assign(data, data + size);
    std::free(data);
    rows.push_back(r);
    return true;
  });
  kel_sqlite_finalize(db);
  return rows;
}

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A database written with `key` (none when empty), closed again.
void make_database(const std::string& path, const std::string& key) {
  const handle db = open_db(path, key);
  write_rows(db);
  close_db(db);
}

// The first read of a database opened with `key` (none when empty): the
// error code and message of that read, with no row read.
void expect_first_read_refused(const std::string& path, const std::string& key) {
  const handle db = open_db(path, key);
  int rc = -1;
  EXPECT_TRUE(read_rows(db, rc).empty());
  EXPECT_EQ(rc, kNotADatabase) << "key '" << key << "'";
  EXPECT_EQ(kel_sqlite_last_error_code(db), kNotADatabase);
  const char* message = kel_sqlite_last_error_message(db);
  EXPECT_STREQ(message, kNotADatabaseText);
  // A write is refused the same way.
  EXPECT_EQ(exec(db, "INSERT INTO ledger(id) VALUES (100000)"), kNotADatabase);
  close_db(db);
}

void expect_all_rows(const std::string& path, const std::string& key) {
  const handle db = open_db(path, key);
  int rc = -1;
  EXPECT_EQ(read_rows(db, rc), expected_rows()) << "key '" << key << "'";
  EXPECT_EQ(rc, kDone);
  close_db(db);
}

class Encryption : public testing::Test {
 protected:
  temp_dir dir;
  silent_assertions quiet;  // the state checks all hold; nothing of them is under test here
};

TEST_F(Encryption, KeyedFileHoldsNoPlainTextAndEveryRowComesBack) {
  const std::string plain = dir.path("plain.db");
  const std::string keyed = dir.path("keyed.db");
  make_database(plain, "");
  make_database(keyed, "correct horse");

  // The same rows unencrypted show the marker, the table's name and SQLite's
  // header in the file: the search below can find them.
  const std::string plain_bytes = file_bytes(plain);
  ASSERT_NE(plain_bytes.find(kMarker), std::string::npos);
  ASSERT_NE(plain_bytes.find("ledger"), std::string::npos);
  ASSERT_EQ(plain_bytes.rfind("SQLite format 3", 0), 0U);

  const std::string keyed_bytes = file_bytes(keyed);
  ASSERT_GE(keyed_bytes.size(), 1024U * 2);
  EXPECT_EQ(keyed_bytes.find(kMarker), std::string::npos);
  EXPECT_EQ(keyed_bytes.find("ledger"), std::string::npos);
  EXPECT_EQ(keyed_bytes.find("SQLite format 3"), std::string::npos);
  EXPECT_EQ(keyed_bytes.find("note 1"), std::string::npos);

  expect_all_rows(keyed, "correct horse");
  EXPECT_EQ(file_bytes(keyed), keyed_bytes);  // reading changes nothing
}

TEST_F(Encryption, NoKeyOrWrongKeyFailsWith26AtTheFirstReadAndLeavesTheFileAlone) {
  const std::string path = dir.path("keyed.db");
  make_database(path, "it's a key");
  const std::string before = file_bytes(path);

  // Opening needs no key: SQLCipher reads nothing before the first statement.
  for (const std::string& key : {std::string(), std::string("wrong"), std::string("it's a kez"),
                                 std::string("it's a key "), std::string("It's a key")}) {
    expect_first_read_refused(path, key);
    EXPECT_EQ(file_bytes(path), before) << "key '" << key << "'";
    EXPECT_FALSE(std::filesystem::exists(path + "-journal"));
  }
  // The right key, quote and all, still reads every row.
  expect_all_rows(path, "it's a key");
}

TEST_F(Encryption, RekeyToANewKeyAndBack) {
  const std::string path = dir.path("rekey.db");
  make_database(path, "first");
  const std::string first_bytes = file_bytes(path);

  handle db = open_db(path, "first");
  ASSERT_EQ(exec(db, "PRAGMA rekey = 'second'"), kOk);
  close_db(db);
  const std::string second_bytes = file_bytes(path);
  EXPECT_NE(second_bytes, first_bytes);
  EXPECT_EQ(second_bytes.find(kMarker), std::string::npos);
  expect_first_read_refused(path, "first");
  expect_all_rows(path, "second");

  db = open_db(path, "second");
  ASSERT_EQ(exec(db, "PRAGMA rekey = 'first'"), kOk);
  close_db(db);
  expect_first_read_refused(path, "second");
  expect_all_rows(path, "first");
}

TEST_F(Encryption, PlainDatabaseOpensAndWorksUnkeyed) {
  const std::string path = dir.path("plain.db");
  make_database(path, "");
  ASSERT_EQ(file_bytes(path).rfind("SQLite format 3", 0), 0U);
  expect_all_rows(path, "");

  // Written to without a key, it stays plain.
  handle db = open_db(path, "");
  ASSERT_EQ(exec(db, "UPDATE ledger SET note = 'plain " + kMarker + "' WHERE id = 1"), kOk);
  close_db(db);
  EXPECT_NE(file_bytes(path).find("plain " + kMarker), std::string::npos);

  // PRAGMA rekey on an unkeyed connection answers 0 and leaves the file
  // plain: an existing database is encrypted with sqlcipher_export instead.
  db = open_db(path, "");
  EXPECT_EQ(exec(db, "PRAGMA rekey = 'too late'"), kOk);
  close_db(db);
  EXPECT_EQ(file_bytes(path).rfind("SQLite format 3", 0), 0U);

  // A key given after the file has been read does not apply to what was read
  // in plain: the next read fails. Keys come first.
  db = open_db(path, "");
  int rc = -1;
  EXPECT_EQ(read_rows(db, rc).size(), static_cast<std::size_t>(kRows));
  EXPECT_EQ(exec(db, "PRAGMA key = 'late'"), kOk);
  EXPECT_TRUE(read_rows(db, rc).empty());
  EXPECT_EQ(rc, kNotADatabase);
  close_db(db);
}

TEST_F(Encryption, PlainDatabaseEncryptedWithAttachAndExport) {
  const std::string plain = dir.path("plain.db");
  const std::string encrypted = dir.path("encrypted.db");
  make_database(plain, "");
  const std::string plain_before = file_bytes(plain);

  const handle db = open_db(plain, "");
  ASSERT_EQ(exec(db, "ATTACH DATABASE " + quoted(encrypted) + " AS encrypted KEY 'new key'"), kOk);
  ASSERT_EQ(kel_sqlite_prepare(db, "SELECT sqlcipher_export('encrypted')"), kOk);
  EXPECT_EQ(kel_sqlite_step(db), 100);  // SQLITE_ROW: the function's one result, NULL
  EXPECT_TRUE(kel_sqlite_is_column_null(db, 0));
  EXPECT_EQ(kel_sqlite_step(db), kDone);
  kel_sqlite_finalize(db);
  ASSERT_EQ(exec(db, "DETACH DATABASE encrypted"), kOk);
  close_db(db);

  EXPECT_EQ(file_bytes(plain), plain_before);
  EXPECT_EQ(file_bytes(encrypted).find(kMarker), std::string::npos);
  expect_first_read_refused(encrypted, "");
  expect_all_rows(encrypted, "new key");
}

TEST_F(Encryption, WriteAheadLogIsEncryptedToo) {
  const std::string path = dir.path("wal.db");
  const handle db = open_db(path, "wal key");
  ASSERT_EQ(kel_sqlite_prepare(db, "PRAGMA journal_mode = WAL"), kOk);
  ASSERT_EQ(kel_sqlite_step(db), 100);
  EXPECT_EQ(kel_sqlite_column_text(db, 0), "wal");
  kel_sqlite_finalize(db);
  write_rows(db);
  // Still open: the rows are in the log, not yet checkpointed.
  const std::string log = file_bytes(path + "-wal");
  ASSERT_GE(log.size(), 1024U * 2);
  EXPECT_EQ(log.find(kMarker), std::string::npos);
  EXPECT_EQ(file_bytes(path).find(kMarker), std::string::npos);
  close_db(db);
  EXPECT_EQ(file_bytes(path).find(kMarker), std::string::npos);
  expect_all_rows(path, "wal key");
}

// The file format a new database gets: SQLCipher 3's settings before 4.
TEST_F(Encryption, NewDatabaseGetsTheFormatOfItsSqlcipherVersion) {
  const handle db = open_db(dir.path("format.db"), "k");
  const auto value = [&db](const char* pragma) {
    std::string text;
    if (kel_sqlite_prepare(db, pragma) == kOk && kel_sqlite_step(db) == 100) text = kel_sqlite_column_text(db, 0);
    kel_sqlite_finalize(db);
    return text;
  };
  const std::string version = value("PRAGMA cipher_version");
  ASSERT_FALSE(version.empty());
  if (std::stoi(version) >= 4) {
    close_db(db);
    GTEST_SKIP() << "the file format is pinned for SQLCipher 3 only (the version tested); this is SQLCipher "
                 << version;
  }
  EXPECT_EQ(value("PRAGMA cipher_page_size"), "1024");
  EXPECT_EQ(value("PRAGMA kdf_iter"), "64000");
  EXPECT_EQ(value("PRAGMA cipher"), "AES-256-CBC");
  EXPECT_EQ(value("PRAGMA cipher_use_hmac"), "1");
  close_db(db);
}

}  // namespace
