#include "key_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace kel_sql {
namespace {

constexpr int kOk = 0;     // SQLITE_OK
constexpr int kRow = 100;  // SQLITE_ROW

struct file_closer {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

bool encryption_available() { return KEL_DATABASE_SQLCIPHER == 1; }

std::string sqlite_library_note() {
  if (!encryption_available()) return "";
  // SQLCipher answers PRAGMA cipher_version on any connection; an in-memory
  // one reads no file.
  boost::shared_ptr<_kel_sqlite> probe = kel_sqlite_new(":memory:", "kel_sql_version");
  std::string version;
  if (kel_sqlite_open(probe) == kOk && kel_sqlite_prepare(probe, "PRAGMA cipher_version") == kOk &&
      kel_sqlite_step(probe) == kRow) {
    version = kel_sqlite_column_text(probe, 0);
  }
  kel_sqlite_finalize(probe);
  kel_sqlite_close(probe);
  return " (SQLCipher" + (version.empty() ? std::string() : " " + version) + ")";
}

bool read_key_file(const std::string& path, std::string& key, std::string& problem) {
  key.clear();
  errno = 0;
  const std::unique_ptr<std::FILE, file_closer> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    problem = "cannot read the key file " + path + ": " + std::strerror(errno);
    return false;
  }
  // At most the longest key and its line end are read: a file with no
  // line end (/dev/zero, a binary file given by mistake) costs no more.
  key.reserve(kMaxKeyLength + 2);
  int c = 0;
  while (key.size() <= kMaxKeyLength && (c = std::fgetc(file.get())) != EOF && c != '\n') {
    key += static_cast<char>(c);
  }
  if (std::ferror(file.get()) != 0) {
    wipe(key);
    problem = "cannot read the key file " + path + ": " + std::strerror(errno);
    return false;
  }
  // The one byte past the longest key may be the CR of a CRLF line end.
  if (key.size() > kMaxKeyLength && key.back() == '\r') {
    c = std::fgetc(file.get());
    if (c == '\n' || c == EOF) key.pop_back();
  } else if (!key.empty() && key.back() == '\r') {
    key.pop_back();
  }
  if (key.size() > kMaxKeyLength) {
    wipe(key);
    problem = "cannot read the key file " + path + ": its first line is longer than " + std::to_string(kMaxKeyLength) +
              " bytes";
    return false;
  }
  if (key.empty()) {
    problem = "the key file " + path + " holds no key: its first line is empty";
    return false;
  }
  return true;
}

std::string key_statement(const std::string& key) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string sql = "PRAGMA hexkey = '";
  sql.reserve(sql.size() + 2 * key.size() + 2);
  for (const char c : key) {
    const auto byte = static_cast<unsigned char>(c);
    sql += kDigits[byte >> 4U];
    sql += kDigits[byte & 0x0FU];
  }
  sql += "';";
  return sql;
}

int apply_key(const boost::shared_ptr<_kel_sqlite>& db, const std::string& key, std::string& message) {
  std::string sql = key_statement(key);
  char* error = nullptr;
  const int rc = kel_sqlite_sql_stmt(db, sql.c_str(), &error);
  wipe(sql);
  if (error != nullptr) {
    message = error;
    kel_sqlite_free(db, error);
  }
  return rc;
}

void wipe(std::string& text) {
  // Through a volatile pointer, so that the stores are not dropped as dead.
  volatile char* bytes = text.data();
  for (std::size_t i = 0; i < text.size(); ++i) bytes[i] = 0;
  text.clear();
}

}  // namespace kel_sql
