# The SQLite library the build uses, chosen with KEL_SQLITE:
#   sqlite3    SQLite itself (find_package(SQLite3)), the default;
#   sqlcipher  SQLCipher, SQLite with encrypted database files, found with
#              pkg-config (`sqlcipher`: Debian's libsqlcipher-dev, Homebrew's
#              sqlcipher). Its flags put SQLCipher's own directory
#              (.../include/sqlcipher) on the include path, so every
#              `#include <sqlite3.h>` of the project, and of a program using
#              the installed package, reads SQLCipher's header, the one that
#              matches the library it links.
# Gives KEL_SQLITE_TARGET (what to link), KEL_SQLITE_PC_MODULE (the pkg-config
# module the .pc file requires) and KEL_DATABASE_SQLCIPHER (1 or 0, for the
# version header). The exported functions are the same with either.
if(KEL_SQLITE STREQUAL "sqlite3")
  find_package(SQLite3 REQUIRED)
  set(KEL_SQLITE_TARGET SQLite::SQLite3)
  set(KEL_SQLITE_PC_MODULE sqlite3)
  set(KEL_DATABASE_SQLCIPHER 0)
elseif(KEL_SQLITE STREQUAL "sqlcipher")
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(KEL_SQLCIPHER QUIET IMPORTED_TARGET sqlcipher)
  if(NOT KEL_SQLCIPHER_FOUND)
    message(FATAL_ERROR "KEL_SQLITE=sqlcipher needs SQLCipher, which pkg-config does not find (module sqlcipher): "
      "install the libsqlcipher-dev package (apt-get install libsqlcipher-dev; on a Mac, brew install sqlcipher), "
      "or build on SQLite with -DKEL_SQLITE=sqlite3")
  endif()
  set(KEL_SQLITE_TARGET PkgConfig::KEL_SQLCIPHER)
  set(KEL_SQLITE_PC_MODULE sqlcipher)
  set(KEL_DATABASE_SQLCIPHER 1)
  # The SQLite version SQLCipher is built on, from the header the build reads.
  find_file(KEL_SQLCIPHER_HEADER sqlite3.h PATHS ${KEL_SQLCIPHER_INCLUDE_DIRS} NO_DEFAULT_PATH)
  set(KEL_SQLCIPHER_SQLITE_VERSION "")
  if(KEL_SQLCIPHER_HEADER)
    file(STRINGS "${KEL_SQLCIPHER_HEADER}" _kel_version_line REGEX "^#define SQLITE_VERSION +\"")
    string(REGEX REPLACE "^#define SQLITE_VERSION +\"([^\"]*)\".*" "\\1" KEL_SQLCIPHER_SQLITE_VERSION
      "${_kel_version_line}")
  else()
    message(FATAL_ERROR "SQLCipher's pkg-config flags (${KEL_SQLCIPHER_CFLAGS}) lead to no sqlite3.h: "
      "the build would compile against another SQLite's header than the library it links")
  endif()
  message(STATUS "SQLite library: SQLCipher ${KEL_SQLCIPHER_VERSION} (SQLite ${KEL_SQLCIPHER_SQLITE_VERSION}), "
    "header ${KEL_SQLCIPHER_HEADER}")
  if(KEL_SQLCIPHER_VERSION VERSION_LESS 4)
    message(NOTICE "SQLCipher ${KEL_SQLCIPHER_VERSION} is older than 4: the databases it writes have "
      "SQLCipher 3's older file format (its key derivation, page size and HMAC settings), not the one "
      "SQLCipher 4 writes by default. See docs/encryption.md.")
  endif()
else()
  message(FATAL_ERROR "KEL_SQLITE must be 'sqlite3' or 'sqlcipher', not '${KEL_SQLITE}'")
endif()
