// kel_database: SQLite connections for programs of the kel framework.
//
// A Connection object wraps one SQLite connection and at most one prepared
// statement. It is driven through the free functions kel_sqlite_*, which take
// the object's handle by value. An empty handle never reaches the object: the
// function writes a warning line naming itself and returns a fixed default
// (-1, -1.0, false, null, an empty string or an empty pointer).
//
// The process-wide "database" service is a worker thread on which any thread
// queues jobs, timers and intervals (kel_database_*). Connection objects are
// released on it after kel_sqlite_destroy, and a shutdown of the framework
// waits until every Connection object has been released. version.h gives the
// version of these headers.
#pragma once

#include <kel_database/version.h>
#include <kel_system.h>

#include <boost/shared_ptr.hpp>

#include <functional>
#include <string>

#define KEL_DATABASE_API __attribute__((visibility("default")))

/// The Connection object; callers only ever hold handles to it.
class _kel_sqlite;

/// Row callback of kel_sqlite_rows_each: receives the object and the row's
/// index (from 0); returns true to go on, false to stop after this row.
using kel_sqlite_row_callback = std::function<bool(boost::shared_ptr<_kel_sqlite>, unsigned long)>;

// ---- Creation, conversion, name -------------------------------------------

/// Creates a closed Connection object for the database file `path`, findable
/// by `name` once open. The framework and the database service hold it until
/// it is destroyed and released.
KEL_DATABASE_API boost::shared_ptr<_kel_sqlite> kel_sqlite_new(std::string path, std::string name);
/// True when `obj` is a Connection object (false for an empty pointer).
KEL_DATABASE_API bool kel_is_sqlite(boost::shared_ptr<_kel_object> obj);
KEL_DATABASE_API boost::shared_ptr<_kel_object> kel_sqlite_to_object(boost::shared_ptr<_kel_sqlite> obj);
/// Empty when `obj` is not a Connection object.
KEL_DATABASE_API boost::shared_ptr<_kel_sqlite> kel_sqlite_from_object(boost::shared_ptr<_kel_object> obj);
KEL_DATABASE_API std::string kel_sqlite_get_name(boost::shared_ptr<_kel_sqlite> obj);

// ---- Life cycle ----------------------------------------------------------

/// Marks the object destroyed and queues its release (finalize, close, drop
/// the framework's reference) on the database service. A second destroy is
/// refused with a warning line naming `file`:`line`. True unless `obj` is empty.
KEL_DATABASE_API bool kel_sqlite_destroy(boost::shared_ptr<_kel_sqlite> obj, std::string file, int line);

// ---- Opening, closing, direct SQL, errors --------------------------------

/// Opens an existing database file; SQLite's result code (0 on success).
KEL_DATABASE_API int kel_sqlite_try_open(boost::shared_ptr<_kel_sqlite> obj);
/// Opens the database file, creating it when missing; SQLite's result code.
KEL_DATABASE_API int kel_sqlite_open(boost::shared_ptr<_kel_sqlite> obj);
KEL_DATABASE_API bool kel_sqlite_is_opened(boost::shared_ptr<_kel_sqlite> obj);
/// Closes the connection (a prepared statement keeps it alive until it is
/// finalized) and removes the object from the name registry.
KEL_DATABASE_API bool kel_sqlite_close(boost::shared_ptr<_kel_sqlite> obj);
/// Runs every statement of `sql`, discarding rows. An error message stored in
/// `*errmsg` is released with kel_sqlite_free.
KEL_DATABASE_API int kel_sqlite_sql_stmt(boost::shared_ptr<_kel_sqlite> obj, const char* sql, char** errmsg);
KEL_DATABASE_API bool kel_sqlite_free(boost::shared_ptr<_kel_sqlite> obj, char*& message);
/// The text of a result code; 1001 is "Prepared statement missing bind parameters".
KEL_DATABASE_API const char* kel_sqlite_errstr(boost::shared_ptr<_kel_sqlite> obj, int code);
KEL_DATABASE_API int kel_sqlite_last_error_code(boost::shared_ptr<_kel_sqlite> obj);
KEL_DATABASE_API const char* kel_sqlite_last_error_message(boost::shared_ptr<_kel_sqlite> obj);

// ---- Prepared statement and binding --------------------------------------

/// Compiles the first statement of `sql`; finalize the previous one first.
KEL_DATABASE_API int kel_sqlite_prepare(boost::shared_ptr<_kel_sqlite> obj, std::string sql);
KEL_DATABASE_API int kel_sqlite_bind_int(boost::shared_ptr<_kel_sqlite> obj, int index, int value);
KEL_DATABASE_API int kel_sqlite_bind_int64(boost::shared_ptr<_kel_sqlite> obj, int index, long long value);
KEL_DATABASE_API int kel_sqlite_bind_double(boost::shared_ptr<_kel_sqlite> obj, int index, double value);
/// Copies `size` bytes. Sizes above INT_MAX are refused with SQLITE_TOOBIG.
KEL_DATABASE_API int kel_sqlite_bind_blob(boost::shared_ptr<_kel_sqlite> obj, int index, const unsigned char* data,
                                          unsigned long size);
/// Binds the caller's buffer in place; it must stay valid and unchanged until
/// the statement is finalized, rebound or cleared.
KEL_DATABASE_API int kel_sqlite_bind_blob_static(boost::shared_ptr<_kel_sqlite> obj, int index,
                                                 const unsigned char* data, unsigned long size);
/// Copies `size` bytes of UTF-8 text; the largest unsigned long means "up to
/// the NUL". Other sizes above INT_MAX are refused with SQLITE_TOOBIG.
KEL_DATABASE_API int kel_sqlite_bind_text(boost::shared_ptr<_kel_sqlite> obj, int index, const char* text,
                                          unsigned long size);
/// As kel_sqlite_bind_text, but binds the caller's buffer in place.
KEL_DATABASE_API int kel_sqlite_bind_text_static(boost::shared_ptr<_kel_sqlite> obj, int index, const char* text,
                                                 unsigned long size);
KEL_DATABASE_API int kel_sqlite_bind_parameter_count(boost::shared_ptr<_kel_sqlite> obj);
KEL_DATABASE_API const char* kel_sqlite_bind_parameter_name(boost::shared_ptr<_kel_sqlite> obj, int index);
/// 0 when the statement has no parameter of that name.
KEL_DATABASE_API int kel_sqlite_bind_parameter_index(boost::shared_ptr<_kel_sqlite> obj, const char* name);
KEL_DATABASE_API int kel_sqlite_bind_clear(boost::shared_ptr<_kel_sqlite> obj);
/// SQLITE_ROW (100), SQLITE_DONE (101) or an error code.
KEL_DATABASE_API int kel_sqlite_step(boost::shared_ptr<_kel_sqlite> obj);
/// Rewinds the statement, keeping its bindings; 0 when there is no statement.
KEL_DATABASE_API int kel_sqlite_reset(boost::shared_ptr<_kel_sqlite> obj);
KEL_DATABASE_API bool kel_sqlite_finalize(boost::shared_ptr<_kel_sqlite> obj);
KEL_DATABASE_API const char* kel_sqlite_sql(boost::shared_ptr<_kel_sqlite> obj);

// ---- Row iteration -------------------------------------------------------

/// Steps the statement and hands each row to `callback`. Returns 101 after
/// the last row, 100 when the callback stopped, or the failed step's error
/// code (the statement is then reset).
KEL_DATABASE_API int kel_sqlite_rows_each(boost::shared_ptr<_kel_sqlite> obj, kel_sqlite_row_callback callback);
/// As above; `count` is set to the number of rows delivered.
KEL_DATABASE_API int kel_sqlite_rows_each(boost::shared_ptr<_kel_sqlite> obj, unsigned long& count,
                                          kel_sqlite_row_callback callback);

// ---- Result columns and counters -----------------------------------------

KEL_DATABASE_API int kel_sqlite_data_count(boost::shared_ptr<_kel_sqlite> obj);
KEL_DATABASE_API int kel_sqlite_column_count(boost::shared_ptr<_kel_sqlite> obj);
KEL_DATABASE_API long long kel_sqlite_last_insert_rowid(boost::shared_ptr<_kel_sqlite> obj);
KEL_DATABASE_API int kel_sqlite_affected_rows_count(boost::shared_ptr<_kel_sqlite> obj);
/// Copies the column's bytes into a buffer from malloc that the caller
/// releases with free. False (data null, size 0) when no buffer could be had.
KEL_DATABASE_API bool kel_sqlite_column_blob(boost::shared_ptr<_kel_sqlite> obj, int column, unsigned char*& data,
                                             int& size);
/// The column's text up to its first NUL; empty for NULL.
KEL_DATABASE_API std::string kel_sqlite_column_text(boost::shared_ptr<_kel_sqlite> obj, int column);
KEL_DATABASE_API int kel_sqlite_column_int(boost::shared_ptr<_kel_sqlite> obj, int column);
KEL_DATABASE_API long long kel_sqlite_column_int64(boost::shared_ptr<_kel_sqlite> obj, int column);
KEL_DATABASE_API double kel_sqlite_column_double(boost::shared_ptr<_kel_sqlite> obj, int column);
/// SQLITE_INTEGER 1, SQLITE_FLOAT 2, SQLITE_TEXT 3, SQLITE_BLOB 4, SQLITE_NULL 5.
KEL_DATABASE_API int kel_sqlite_column_type(boost::shared_ptr<_kel_sqlite> obj, int column);
KEL_DATABASE_API const char* kel_sqlite_column_decltype(boost::shared_ptr<_kel_sqlite> obj, int column);
KEL_DATABASE_API const char* kel_sqlite_column_name(boost::shared_ptr<_kel_sqlite> obj, int column);
KEL_DATABASE_API bool kel_sqlite_is_column_null(boost::shared_ptr<_kel_sqlite> obj, int column);
KEL_DATABASE_API bool kel_sqlite_is_column_text(boost::shared_ptr<_kel_sqlite> obj, int column);
KEL_DATABASE_API bool kel_sqlite_is_column_blob(boost::shared_ptr<_kel_sqlite> obj, int column);
KEL_DATABASE_API bool kel_sqlite_is_column_int(boost::shared_ptr<_kel_sqlite> obj, int column);
KEL_DATABASE_API bool kel_sqlite_is_column_double(boost::shared_ptr<_kel_sqlite> obj, int column);

// ---- The database service ------------------------------------------------

/// Starts the process-wide "database" service; does nothing while one runs.
KEL_DATABASE_API void kel_database_init();
/// Queues `job` on the service thread; `file` and `line` name the caller.
KEL_DATABASE_API void kel_database_exec(std::function<void()> job, std::string file, int line);
/// Runs `job` once on the service thread after `delay` ms; returns its id.
KEL_DATABASE_API unsigned long long kel_database_set_timeout(std::function<void()> job, unsigned long long delay,
                                                             std::string file, int line);
/// Runs `job` every `interval` ms until it returns false or is cleared.
KEL_DATABASE_API unsigned long long kel_database_set_interval(std::function<bool()> job, unsigned long long interval,
                                                              std::string file, int line);
KEL_DATABASE_API void kel_database_clear_timeout(unsigned long long id);
KEL_DATABASE_API void kel_database_clear_interval(unsigned long long id);
/// Forwards to the host's run-once of the service (see kel_thread_service_run_once).
KEL_DATABASE_API int kel_database_run_once();
/// The open Connection object registered under `name`, with any prepared
/// statement finalized; empty when there is none.
KEL_DATABASE_API boost::shared_ptr<_kel_sqlite> kel_database_get_sqlite(std::string name);
