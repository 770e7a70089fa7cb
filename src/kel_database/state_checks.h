// State checks of the Connection object. Every check is reported to the host's
// assertion routine on every run, whether it holds or not: the host decides
// what is shown. Host programs match the reports by module path and line, so
// both are fixed values here, independent of where the code stands.
#pragma once

#include <kel_system.h>

#include <sqlite3.h>

namespace kel_checks {

inline constexpr char kModule[] = "src/kel_database/kel_sqlite.cpp";

// The line reported for each check (and for the destroy diagnostics).
namespace line {
inline constexpr int failed_cast = 29;
inline constexpr int release_job = 44;
inline constexpr int try_open = 65;
inline constexpr int open = 83;
inline constexpr int prepare_db = 98;
inline constexpr int prepare_stmt = 99;
inline constexpr int bind_int = 105;
inline constexpr int bind_int64 = 110;
inline constexpr int bind_double = 115;
inline constexpr int bind_blob = 124;
inline constexpr int bind_blob_static = 135;
inline constexpr int bind_text = 147;
inline constexpr int bind_text_static = 158;
inline constexpr int bind_parameter_count = 171;
inline constexpr int bind_parameter_name = 176;
inline constexpr int bind_parameter_index = 181;
inline constexpr int bind_clear = 186;
inline constexpr int step_db = 192;
inline constexpr int step_stmt = 193;
inline constexpr int data_count = 199;
inline constexpr int column_count = 204;
inline constexpr int last_insert_rowid = 209;
inline constexpr int rows_each_db = 219;
inline constexpr int rows_each_stmt = 220;
inline constexpr int column_blob = 240;
inline constexpr int column_text = 247;
inline constexpr int column_int = 252;
inline constexpr int column_int64 = 257;
inline constexpr int column_double = 262;
inline constexpr int column_type = 268;
inline constexpr int column_decltype = 273;
inline constexpr int column_name = 298;
inline constexpr int affected_rows_count = 303;
inline constexpr int close = 324;
inline constexpr int sql = 344;
inline constexpr int last_error_code = 359;
inline constexpr int last_error_message = 364;
}  // namespace line

/// Each reports its check and returns whether it held.
bool db_open(const sqlite3* db, int at);
bool db_closed(const sqlite3* db, int at);
bool stmt_open(const sqlite3_stmt* stmt, int at);
bool stmt_closed(const sqlite3_stmt* stmt, int at);

}  // namespace kel_checks
