// kel_sql's --key-file: the key of an encrypted database (SQLCipher), read
// from the first line of a file so that it never appears on the command line,
// where other users (ps, /proc) and the shell's history would see it, and
// given to the connection before the first statement reads the file.
#pragma once

#include <kel_database/kel_database.h>

#include <cstddef>
#include <string>

namespace kel_sql {

// True when the library was built on SQLCipher and can key a database; on
// plain SQLite a key would be ignored and the file written unencrypted.
bool encryption_available();

// What --version adds after the SQLite version: " (SQLCipher X.Y.Z)" on
// SQLCipher, nothing on plain SQLite.
std::string sqlite_library_note();

// The longest key, in bytes: no passphrase needs more, and a file without
// a line end (/dev/zero, say) is refused after reading this much.
constexpr std::size_t kMaxKeyLength = 4096;

// Reads the key: the first line of the file at `path`, without its line end
// ("\n", or "\r\n" as an editor on Windows writes it). False, with `problem`
// set, when the file cannot be read, its first line is empty or longer than
// kMaxKeyLength bytes. `problem` never holds any part of the key.
bool read_key_file(const std::string& path, std::string& key, std::string& problem);

// The statement that keys a connection with `key` as its passphrase. The key's
// bytes go in as hex (PRAGMA hexkey), so no byte of it, a quote included,
// needs escaping and none can end the string early; SQLCipher derives the
// same encryption key from it as from PRAGMA key with the same passphrase.
std::string key_statement(const std::string& key);

// Keys the open connection `db` with `key` (key_statement). Returns SQLite's
// result code; `message` gets SQLite's message when it is not SQLITE_OK. A
// wrong key is not noticed here: SQLCipher reports it at the first statement
// that reads the file, as SQLITE_NOTADB (26).
int apply_key(const boost::shared_ptr<_kel_sqlite>& db, const std::string& key, std::string& message);

// Overwrites the text's bytes before it is released (a key in memory).
void wipe(std::string& text);

}  // namespace kel_sql
