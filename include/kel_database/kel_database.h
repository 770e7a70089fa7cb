/**
 * @file
 * @brief kel_database: SQLite connections for programs of the kel framework.
 *
 * A Connection object (`_kel_sqlite`) stands for one SQLite database file:
 * at most one open connection to it and at most one prepared statement on
 * that connection. Programs hold it through handles,
 * `boost::shared_ptr<_kel_sqlite>`, and drive it with the free functions
 * `kel_sqlite_*`, which take the handle by value. The process-wide
 * "database" service is a worker thread on which any thread queues jobs,
 * timers and intervals (`kel_database_*`); a shutdown of the framework waits
 * until every Connection object has been released.
 *
 * @par Empty handles
 * A function given an empty handle does nothing but write one line to
 * standard output, `KEL-SYSTEM**WARNING**: null object supplied: <function>`
 * (in colour), and return a fixed default: -1, -1.0, false, null, an empty
 * string or an empty pointer. Its other arguments, references included, are
 * left alone. kel_sqlite_new takes no handle; kel_is_sqlite writes nothing.
 * A default may also be a real answer (a column holding -1): test the
 * handle itself where that matters.
 *
 * @par State checks
 * Before its SQLite call an operation reports each of its checks to the
 * framework's `kel_assertion_faild`, on every call, whether the check holds
 * or not: the condition (`db!=nullptr`: the object is open, `db==nullptr`:
 * it is not, `stmt!=nullptr`: a statement is prepared, `stmt==nullptr`:
 * none is), a message, the module path `src/kel_database/kel_sqlite.cpp`
 * and the fixed line given with each function. The framework decides what is
 * shown. When a check fails, SQLite is not called and the function returns
 * what its documentation says for that case, mostly the empty-handle
 * default.
 *
 * @par Results
 * SQLite's result codes are returned unchanged (`SQLITE_OK` 0, `SQLITE_ROW`
 * 100, `SQLITE_DONE` 101, ...; `<sqlite3.h>` comes with the kel_database
 * target and the pkg-config flags). -1 is no SQLite code: it means an empty
 * handle or a failed check. 1001 is the library's own code, "Prepared
 * statement missing bind parameters" (see kel_sqlite_errstr).
 *
 * @par Ownership
 * A returned `const char*` belongs to SQLite or is static: never free it; each
 * function says until when it is valid. The two exceptions are the error
 * message of kel_sqlite_sql_stmt (released with kel_sqlite_free) and the
 * buffer of kel_sqlite_column_blob (released with `free`). Nothing is thrown
 * for misuse; exceptions of allocations and of row callbacks pass through to
 * the caller. An exception that a queued job, timer or interval throws is
 * the framework runtime's to handle, on the service thread (see
 * kel_database_exec for what the bundled runtime does).
 *
 * @par Threads
 * The `kel_sqlite_*` functions run on the caller's thread and do not lock the
 * connection or the statement: work on one object must not run on two threads
 * at once. Queue it on the service thread with kel_database_exec to keep it
 * there. The service functions may be called from any thread, except
 * kel_database_get_sqlite, which belongs in a job on the service thread.
 */
#pragma once

#include <kel_database/version.h>
#include <kel_system.h>

#include <boost/shared_ptr.hpp>

#include <functional>
#include <string>

/// Marks the functions that libkel_database exports (default visibility; the
/// library hides everything else).
#define KEL_DATABASE_API __attribute__((visibility("default")))

/// The Connection object; callers only ever hold handles to it. It is a
/// framework object (`_kel_object`): kel_sqlite_to_object and
/// kel_sqlite_from_object convert the handles.
class _kel_sqlite;

/// Row callback of kel_sqlite_rows_each: receives a handle to the object
/// (sharing ownership; it may be kept) and the row's index, counted from 0 in
/// the current walk; returns true to go on, false to stop after this row.
using kel_sqlite_row_callback = std::function<bool(boost::shared_ptr<_kel_sqlite>, unsigned long)>;

// ---- Creation, conversion, name -------------------------------------------

/**
 * @defgroup kel_creation Creation, conversion, name
 * @brief Making Connection objects and converting their handles.
 *
 * Thread safety: any thread; the name is read under the object's own mutex.
 * @{
 */

/// Creates a closed Connection object for the database file `path`. The
/// framework (kel_object_ref) and the database service's list of live objects
/// each hold it from now on, so dropping the handles does not free it: only
/// kel_sqlite_destroy ends its life. No SQLite call is made.
/// @param path The database file opened by kel_sqlite_open and
///        kel_sqlite_try_open, always a file name and never a URI, whatever
///        the SQLite build: a relative path beginning with `file:` names a
///        file of exactly that name in the working directory. `:memory:`
///        gives an in-memory database, an empty path a temporary one.
/// @param name The name under which kel_database_get_sqlite finds the object
///        while it is open; never changes.
/// @return A handle to the new object; never empty (an allocation failure
///         throws `std::bad_alloc`).
KEL_DATABASE_API boost::shared_ptr<_kel_sqlite> kel_sqlite_new(std::string path, std::string name);
/// Tells whether a framework object is a Connection object. Writes nothing,
/// also for an empty pointer.
/// @param obj Any framework object, or an empty pointer.
/// @return True when `obj` is a Connection object; false otherwise and for an
///         empty pointer.
KEL_DATABASE_API bool kel_is_sqlite(boost::shared_ptr<_kel_object> obj);
/// The object as a framework object.
/// @param obj The Connection object.
/// @return A handle to the same object as `_kel_object`, sharing ownership;
///         empty for an empty handle (with the warning line).
KEL_DATABASE_API boost::shared_ptr<_kel_object> kel_sqlite_to_object(boost::shared_ptr<_kel_sqlite> obj);
/// A framework object as a Connection object.
/// @param obj Any framework object.
/// @return A handle to the same object, sharing ownership; empty when `obj` is
///         not a Connection object (no line) and for an empty pointer (with
///         the warning line).
KEL_DATABASE_API boost::shared_ptr<_kel_sqlite> kel_sqlite_from_object(boost::shared_ptr<_kel_object> obj);
/// The object's name, as given to kel_sqlite_new.
/// @param obj The Connection object.
/// @return A copy of the name; empty for an empty handle.
KEL_DATABASE_API std::string kel_sqlite_get_name(boost::shared_ptr<_kel_sqlite> obj);

/** @} */

// ---- Life cycle ----------------------------------------------------------

/**
 * @defgroup kel_life Life cycle
 * @brief The explicit end of a Connection object.
 *
 * Thread safety: any thread. The destroy check and mark are made under the
 * object's own mutex, so of two destroys of one object at the same time
 * exactly one releases it. Once it is destroyed, no other thread may use the
 * object's connection or statement.
 * @{
 */

/// Destroys the object: marks its property "object-destroyed" true, then
/// releases it, open or not. The release closes an open object (finalizing
/// its statement; the close check, line 324, is reported) so that it leaves
/// the name registry, drops the framework's reference and takes the object
/// off the live-object list, printing
/// `left objects in database reference count: N`; when a shutdown is waiting
/// and the list is now empty, it stops the service. With the database service
/// running the release is queued on it (naming
/// `src/kel_database/kel_sqlite.cpp` line 44) and this call returns at once;
/// with no service running the object is released at once on the caller's
/// thread; while the service is stopping (its queued work may never run) the
/// release waits and runs once the service has finished. The object itself
/// is freed when its last handle goes; a destroyed object opens nothing again.
///
/// A second destroy changes nothing: it writes
/// `KEL-SYSTEM**WARNING**: CALLING DESTROY MULTIPLE TIMES IS NOT AN OPTION [kel_sqlite]-<file>:<line>`
/// and describes the object. An "object-destroyed" property that holds no
/// `bool` is reported with `KEL-SYSTEM**ERROR**: bad cast destroy any: ...`;
/// the destroy then goes on as a first one: the property becomes `true` and
/// the object is released. No state check.
/// @param obj The Connection object.
/// @param file The caller's source file, printed by a second destroy.
/// @param line The caller's source line, printed by a second destroy.
/// @return True, whatever the destroy did; false for an empty handle.
KEL_DATABASE_API bool kel_sqlite_destroy(boost::shared_ptr<_kel_sqlite> obj, std::string file, int line);

/** @} */

// ---- Opening, closing, direct SQL, errors --------------------------------

/**
 * @defgroup kel_connection Opening, closing, direct SQL, errors
 * @brief The object's SQLite connection.
 *
 * Thread safety: one object on one thread at a time. Opening and closing
 * change the name registry, which has its own lock.
 * @{
 */

/// Opens the existing database file of the object:
/// `sqlite3_open_v2(path, SQLITE_OPEN_READWRITE)`; a missing file is not
/// created. On success the object is open and entered in the name registry,
/// unless another object is registered under its name. On failure the handle
/// SQLite made is closed, the object stays closed, and the result is the only
/// report of the error (kel_sqlite_errstr gives its text).
/// Check: not open (`db==nullptr`, line 65).
/// @param obj The Connection object.
/// @return SQLite's result code: 0 when open; `SQLITE_CANTOPEN` (14) when
///         the file is missing or cannot be opened and for a path holding a
///         NUL byte (nothing is opened then); `SQLITE_MISUSE` (21) for a
///         destroyed object, which opens nothing; -1 when the object is open
///         already (the check failed; its connection stays as it was) and for
///         an empty handle.
KEL_DATABASE_API int kel_sqlite_try_open(boost::shared_ptr<_kel_sqlite> obj);
/// Opens the database file of the object, creating it when it is missing:
/// `sqlite3_open_v2(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)`;
/// otherwise as kel_sqlite_try_open.
/// Check: not open (`db==nullptr`, line 83).
/// @param obj The Connection object.
/// @return SQLite's result code: 0 when open; `SQLITE_CANTOPEN` (14) when the
///         file can be neither opened nor created and for a path holding a NUL
///         byte (nothing is opened or created then); `SQLITE_MISUSE` (21) for
///         a destroyed object, which opens nothing; -1 when the object is
///         open already (the check failed; its connection stays as it was)
///         and for an empty handle.
KEL_DATABASE_API int kel_sqlite_open(boost::shared_ptr<_kel_sqlite> obj);
/// Tells whether the object is open (its opened flag, read under its mutex).
/// No state check, no SQLite call.
/// @param obj The Connection object.
/// @return True between a successful open and the close; false otherwise and
///         for an empty handle.
KEL_DATABASE_API bool kel_sqlite_is_opened(boost::shared_ptr<_kel_sqlite> obj);
/// Finalizes the statement, if one is still prepared, then closes the
/// connection (`sqlite3_close_v2`, whose answer is not returned): a closed
/// object holds no statement, no lock and no transaction (one left open is
/// rolled back). The object leaves the name registry, unless the entry under
/// its name holds another object. It may be opened again, and then starts
/// without a statement. Check: open (`db!=nullptr`, line 324); when it fails
/// there is nothing to close and the rest is done all the same.
/// @param obj The Connection object.
/// @return True, also when the object was not open; false for an empty
///         handle.
KEL_DATABASE_API bool kel_sqlite_close(boost::shared_ptr<_kel_sqlite> obj);
/// Runs every statement of `sql` with `sqlite3_exec`, discarding result
/// rows. The prepared statement is neither used nor changed. No state check.
/// @param obj The Connection object.
/// @param sql UTF-8 SQL text, NUL-terminated; one or more statements.
/// @param[out] errmsg Null, or where SQLite stores null or an error message
///        that it allocated; the caller releases the message with
///        kel_sqlite_free. Left alone for an empty handle.
/// @return SQLite's result code (0 when every statement ran);
///         `SQLITE_MISUSE` (21) without calling SQLite when the object is not
///         open (`*errmsg` is then set to null); -1 for an empty handle.
KEL_DATABASE_API int kel_sqlite_sql_stmt(boost::shared_ptr<_kel_sqlite> obj, const char* sql, char** errmsg);
/// Releases an error message of kel_sqlite_sql_stmt with `sqlite3_free` and
/// sets the pointer to null. The object need not be open; no state check.
/// Not for the buffers of kel_sqlite_column_blob, which go back with `free`.
/// @param obj Any Connection object.
/// @param[in,out] message The message, or null (then nothing is freed).
/// @return True; false for an empty handle, which leaves `message` alone.
KEL_DATABASE_API bool kel_sqlite_free(boost::shared_ptr<_kel_sqlite> obj, char*& message);
/// The English text of a result code: the library's own text for 1001,
/// otherwise `sqlite3_errstr(code)`. The connection is not used; no state
/// check.
/// @param obj Any Connection object.
/// @param code A result code.
/// @return A static text, valid for the life of the process; never free it.
///         Null for an empty handle.
KEL_DATABASE_API const char* kel_sqlite_errstr(boost::shared_ptr<_kel_sqlite> obj, int code);
/// The result code of the connection's most recent failed SQLite call:
/// `sqlite3_errcode`. A failed open leaves no connection to ask: use its
/// result instead.
/// Check: open (`db!=nullptr`, line 359).
/// @param obj The Connection object.
/// @return SQLite's error code, meaningful right after a call that failed
///         (SQLite leaves it undefined after a success); -1 when the object
///         is not open (the check failed) and for an empty handle.
KEL_DATABASE_API int kel_sqlite_last_error_code(boost::shared_ptr<_kel_sqlite> obj);
/// The English text of the connection's most recent error: `sqlite3_errmsg`.
/// Check: open (`db!=nullptr`, line 364).
/// @param obj The Connection object.
/// @return SQLite's text, owned by SQLite: valid until the next function that
///         reaches SQLite on this object (a step, reset, finalize or close
///         among them); copy it to keep it. Null when the object is not open
///         (the check failed) and for an empty handle.
KEL_DATABASE_API const char* kel_sqlite_last_error_message(boost::shared_ptr<_kel_sqlite> obj);

/** @} */

// ---- Prepared statement and binding --------------------------------------

/**
 * @defgroup kel_statement Prepared statement and binding
 * @brief The object's one prepared statement.
 *
 * Order: kel_sqlite_prepare, binds, kel_sqlite_step until it returns
 * `SQLITE_DONE` or an error (reading columns after each `SQLITE_ROW`),
 * optionally kel_sqlite_reset and step again, then kel_sqlite_finalize
 * before the next prepare. Parameter indexes count from 1, as in SQLite.
 *
 * Thread safety: one object on one thread at a time; nothing here locks.
 * @{
 */

/// Compiles the first statement of `sql` into the object's statement:
/// `sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr)`. SQLite reads the text
/// up to its first NUL; whatever follows the first statement is ignored
/// without notice. Text without a statement (blanks, comments) gives 0 and
/// prepares nothing. Checks, both reported: open (`db!=nullptr`, line 98)
/// and no statement (`stmt==nullptr`, line 99).
/// @param obj The Connection object.
/// @param sql UTF-8 SQL text.
/// @return SQLite's result code (0 when compiled; on an error no statement is
///         prepared); -1 when the object is not open or a statement is
///         prepared already (that statement stays prepared and usable), and
///         for an empty handle.
KEL_DATABASE_API int kel_sqlite_prepare(boost::shared_ptr<_kel_sqlite> obj, std::string sql);
/// Binds a 32-bit integer: `sqlite3_bind_int`.
/// Check: a statement (`stmt!=nullptr`, line 105).
/// @param obj The Connection object.
/// @param index The parameter's index, from 1.
/// @param value The value.
/// @return SQLite's result code (`SQLITE_RANGE` for an index the statement
///         does not have, `SQLITE_MISUSE` after a step without a reset); -1
///         when no statement is prepared and for an empty handle.
KEL_DATABASE_API int kel_sqlite_bind_int(boost::shared_ptr<_kel_sqlite> obj, int index, int value);
/// Binds a 64-bit integer: `sqlite3_bind_int64`.
/// Check: a statement (`stmt!=nullptr`, line 110).
/// @param obj The Connection object.
/// @param index The parameter's index, from 1.
/// @param value The value.
/// @return As kel_sqlite_bind_int.
KEL_DATABASE_API int kel_sqlite_bind_int64(boost::shared_ptr<_kel_sqlite> obj, int index, long long value);
/// Binds a floating-point value: `sqlite3_bind_double`.
/// Check: a statement (`stmt!=nullptr`, line 115).
/// @param obj The Connection object.
/// @param index The parameter's index, from 1.
/// @param value The value.
/// @return As kel_sqlite_bind_int.
KEL_DATABASE_API int kel_sqlite_bind_double(boost::shared_ptr<_kel_sqlite> obj, int index, double value);
/// Binds a copy of `size` bytes: `sqlite3_bind_blob(..., SQLITE_TRANSIENT)`;
/// the caller's buffer may change or go as soon as this returns.
/// Check: a statement (`stmt!=nullptr`, line 124).
/// @param obj The Connection object.
/// @param index The parameter's index, from 1.
/// @param data The bytes (null binds NULL, as in SQLite).
/// @param size Their number. SQLite takes an `int`: a size above `INT_MAX` is
///        refused rather than cut.
/// @return SQLite's result code, as kel_sqlite_bind_int; `SQLITE_TOOBIG`
///         (18) without calling SQLite for a size above `INT_MAX`; -1 when no
///         statement is prepared and for an empty handle.
KEL_DATABASE_API int kel_sqlite_bind_blob(boost::shared_ptr<_kel_sqlite> obj, int index, const unsigned char* data,
                                          unsigned long size);
/// Binds the caller's bytes in place: `sqlite3_bind_blob(..., SQLITE_STATIC)`.
/// The buffer stays the caller's and must stay valid and unchanged until the
/// statement is finalized, the parameter is bound again or the bindings are
/// cleared. Check: a statement (`stmt!=nullptr`, line 135).
/// @param obj The Connection object.
/// @param index The parameter's index, from 1.
/// @param data The bytes (null binds NULL, as in SQLite).
/// @param size Their number; above `INT_MAX` refused.
/// @return As kel_sqlite_bind_blob.
KEL_DATABASE_API int kel_sqlite_bind_blob_static(boost::shared_ptr<_kel_sqlite> obj, int index,
                                                 const unsigned char* data, unsigned long size);
/// Binds a copy of UTF-8 text: `sqlite3_bind_text(..., SQLITE_TRANSIENT)`;
/// the caller's buffer may change or go as soon as this returns.
/// Check: a statement (`stmt!=nullptr`, line 147).
/// @param obj The Connection object.
/// @param index The parameter's index, from 1.
/// @param text The text (null binds NULL, as in SQLite).
/// @param size Its length in bytes; the largest `unsigned long` (`ULONG_MAX`)
///        means "up to the first NUL". Any other size above `INT_MAX` is
///        refused rather than cut.
/// @return SQLite's result code, as kel_sqlite_bind_int; `SQLITE_TOOBIG`
///         (18) without calling SQLite for a refused size; -1 when no
///         statement is prepared and for an empty handle.
KEL_DATABASE_API int kel_sqlite_bind_text(boost::shared_ptr<_kel_sqlite> obj, int index, const char* text,
                                          unsigned long size);
/// Binds the caller's UTF-8 text in place:
/// `sqlite3_bind_text(..., SQLITE_STATIC)`. The buffer stays the caller's and
/// must stay valid and unchanged until the statement is finalized, the
/// parameter is bound again or the bindings are cleared. Check: a statement
/// (`stmt!=nullptr`, line 158).
/// @param obj The Connection object.
/// @param index The parameter's index, from 1.
/// @param text The text (null binds NULL, as in SQLite).
/// @param size Its length in bytes, or `ULONG_MAX` for "up to the first NUL";
///        other sizes above `INT_MAX` refused.
/// @return As kel_sqlite_bind_text.
KEL_DATABASE_API int kel_sqlite_bind_text_static(boost::shared_ptr<_kel_sqlite> obj, int index, const char* text,
                                                 unsigned long size);
/// The number of parameters: `sqlite3_bind_parameter_count`.
/// Check: a statement (`stmt!=nullptr`, line 171).
/// @param obj The Connection object.
/// @return The largest parameter index of the statement (0 for none); -1
///         when no statement is prepared and for an empty handle.
KEL_DATABASE_API int kel_sqlite_bind_parameter_count(boost::shared_ptr<_kel_sqlite> obj);
/// The name of a parameter: `sqlite3_bind_parameter_name`.
/// Check: a statement (`stmt!=nullptr`, line 176).
/// @param obj The Connection object.
/// @param index The parameter's index, from 1.
/// @return The name with its prefix (`:id`, `@id`, `$id`, `?2`), owned by
///         SQLite and valid until the statement is finalized; null for a
///         nameless `?` or an index out of range, when no statement is
///         prepared, and for an empty handle.
KEL_DATABASE_API const char* kel_sqlite_bind_parameter_name(boost::shared_ptr<_kel_sqlite> obj, int index);
/// The index of a named parameter: `sqlite3_bind_parameter_index`.
/// Check: a statement (`stmt!=nullptr`, line 181).
/// @param obj The Connection object.
/// @param name The name with its prefix (`:id`), UTF-8; null gives 0 without
///        calling SQLite.
/// @return The index (from 1); 0 when the statement has no parameter of that
///         name; -1 when no statement is prepared and for an empty handle.
KEL_DATABASE_API int kel_sqlite_bind_parameter_index(boost::shared_ptr<_kel_sqlite> obj, const char* name);
/// Sets every parameter to NULL: `sqlite3_clear_bindings`. Buffers bound in
/// place are no longer used afterwards.
/// Check: a statement (`stmt!=nullptr`, line 186).
/// @param obj The Connection object.
/// @return SQLite's result code (0); -1 when no statement is prepared and for
///         an empty handle.
KEL_DATABASE_API int kel_sqlite_bind_clear(boost::shared_ptr<_kel_sqlite> obj);
/// Runs the statement to its next row: `sqlite3_step`. After `SQLITE_DONE`
/// a further step starts the statement over, as SQLite does. Checks, both
/// reported: open (`db!=nullptr`, line 192) and a statement
/// (`stmt!=nullptr`, line 193).
/// @param obj The Connection object.
/// @return SQLite's result code: `SQLITE_ROW` (100) with a row to read,
///         `SQLITE_DONE` (101) at the end, or an error code (kel_sqlite_reset
///         then returns it too); -1 when the object is not open or no
///         statement is prepared, and for an empty handle.
KEL_DATABASE_API int kel_sqlite_step(boost::shared_ptr<_kel_sqlite> obj);
/// Rewinds the statement to before its first row, keeping its bindings:
/// `sqlite3_reset`. No state check: without a statement SQLite is not called.
/// @param obj The Connection object.
/// @return SQLite's result code: 0, or the error code of the last step when
///         it failed; 0 when no statement is prepared; -1 for an empty
///         handle.
KEL_DATABASE_API int kel_sqlite_reset(boost::shared_ptr<_kel_sqlite> obj);
/// Finalizes the statement, if there is one: `sqlite3_finalize`, whose answer
/// is dropped. Texts that came from the statement (kel_sqlite_sql, names,
/// declared types) are invalid afterwards. No state check.
/// @param obj The Connection object.
/// @return True, also when no statement was prepared; false for an empty
///         handle.
KEL_DATABASE_API bool kel_sqlite_finalize(boost::shared_ptr<_kel_sqlite> obj);
/// The SQL text of the statement: `sqlite3_sql`.
/// Check: a statement (`stmt!=nullptr`, line 344).
/// @param obj The Connection object.
/// @return The text as prepared (the first statement only), owned by SQLite
///         and valid until the statement is finalized; null when no statement
///         is prepared and for an empty handle.
KEL_DATABASE_API const char* kel_sqlite_sql(boost::shared_ptr<_kel_sqlite> obj);

/** @} */

// ---- Row iteration -------------------------------------------------------

/**
 * @defgroup kel_rows Row iteration
 * @brief Stepping through the rows of the statement with a callback.
 *
 * The walk starts at the statement's current position (it is not reset
 * first) and steps it as kel_sqlite_step does, reporting the two checks of a
 * step (lines 192, 193) each time. Each row goes to the callback while the
 * statement stands on it. A walk never starts its statement over and never
 * goes on with another one. What a callback that returns true may do to the
 * object, and what it does to the walk:
 * - read the row's columns, or call anything that leaves the statement
 *   where it stands (SQLite refuses binds while it runs): the walk goes on
 *   with the next row;
 * - kel_sqlite_step onto a further row (taking rows in pairs, say), or a
 *   walk of its own that stops on a row: the walk goes on from that row;
 * - kel_sqlite_step, or a walk of its own, to the statement's end: the walk
 *   ends and returns `SQLITE_DONE` (101);
 * - kel_sqlite_step into an error: the walk ends and returns `SQLITE_MISUSE`
 *   (21); the statement stays as the step left it (kel_sqlite_reset gives
 *   the error);
 * - kel_sqlite_reset, kel_sqlite_finalize then kel_sqlite_prepare (another
 *   statement, or the same text again), or a step after the end (SQLite
 *   would start the statement over): the walk ends and returns
 *   `SQLITE_MISUSE` (21), leaving the statement as the callback left it;
 * - kel_sqlite_finalize alone, kel_sqlite_close, or kel_database_get_sqlite
 *   of the object's name (which finalizes): the next step reports the
 *   missing statement (line 193) and the walk returns 0.
 * A callback that returns false ends the walk with `SQLITE_ROW` (100)
 * whatever it did. The counter counts the rows delivered. Exceptions of the
 * callback pass through (the statement stays on that row); an empty callback
 * throws `std::bad_function_call` at the first row.
 *
 * Thread safety: one object on one thread at a time; the callback runs on
 * the calling thread, with no lock held.
 * @{
 */

/// Steps the statement and hands each row to `callback`.
/// Checks, both reported first: open (`db!=nullptr`, line 219) and a
/// statement (`stmt!=nullptr`, line 220).
/// @param obj The Connection object.
/// @param callback Called once per row with a handle to the object and the
///        row's index; true goes on, false stops after that row.
/// @return `SQLITE_DONE` (101) after the last row (the statement is left done,
///         not reset); `SQLITE_ROW` (100) when the callback returned false
///         (the statement stays on that row, whose columns can still be read);
///         the error code of a failed step (the statement is then reset, with
///         `sqlite3_reset`); 0 when a step could not be made because its
///         checks failed: no connection or no statement from the start, or
///         the callback finalized the statement or closed the object;
///         `SQLITE_MISUSE` (21) when the callback reset, replaced or
///         restarted the statement or stepped it into an error (see the
///         group's description); -1 for an empty handle (the callback is not
///         called).
KEL_DATABASE_API int kel_sqlite_rows_each(boost::shared_ptr<_kel_sqlite> obj, kel_sqlite_row_callback callback);
/// Steps the statement and hands each row to `callback`, counting the rows.
/// Checks, both reported first: open (`db!=nullptr`, line 219) and a
/// statement (`stmt!=nullptr`, line 220).
/// @param obj The Connection object.
/// @param[out] count Set to 0 first, then raised by one before each callback
///        call: the rows delivered, including one at which the callback
///        stopped or threw. Left alone for an empty handle.
/// @param callback Called once per row with a handle to the object and the
///        row's index; true goes on, false stops after that row.
/// @return As the overload without a count: 101, 100, a step's error code,
///         0 when a step's checks failed, -1 for an empty handle.
KEL_DATABASE_API int kel_sqlite_rows_each(boost::shared_ptr<_kel_sqlite> obj, unsigned long& count,
                                          kel_sqlite_row_callback callback);

/** @} */

// ---- Result columns and counters -----------------------------------------

/**
 * @defgroup kel_columns Result columns and counters
 * @brief The current row of the statement and the connection's counters.
 *
 * Columns count from 0, as in SQLite, and are read from the row of the last
 * step that returned `SQLITE_ROW`. The value getters apply SQLite's own
 * conversions (an integer read as text gives its decimal text, NULL read as a
 * number 0). Apart from kel_sqlite_column_blob, a column outside the row is
 * passed to SQLite unchanged, and SQLite leaves its answer undefined: keep to
 * the columns of a current row.
 *
 * Thread safety: one object on one thread at a time; nothing here locks.
 * @{
 */

/// The number of columns of the current row: `sqlite3_data_count`.
/// Check: a statement (`stmt!=nullptr`, line 199).
/// @param obj The Connection object.
/// @return The number of columns, 0 when the last step gave no row; 0 also
///         when no statement is prepared; -1 for an empty handle.
KEL_DATABASE_API int kel_sqlite_data_count(boost::shared_ptr<_kel_sqlite> obj);
/// The number of result columns of the statement, known from the prepare on:
/// `sqlite3_column_count`.
/// Check: a statement (`stmt!=nullptr`, line 204).
/// @param obj The Connection object.
/// @return The number of columns (0 for a statement without results); -1
///         when no statement is prepared and for an empty handle.
KEL_DATABASE_API int kel_sqlite_column_count(boost::shared_ptr<_kel_sqlite> obj);
/// The rowid of the connection's most recent successful insert:
/// `sqlite3_last_insert_rowid`. Needs no statement (also counts inserts run
/// with kel_sqlite_sql_stmt).
/// Check: open (`db!=nullptr`, line 209).
/// @param obj The Connection object.
/// @return The rowid (0 when there was none); -1 when the object is not open
///         and for an empty handle.
KEL_DATABASE_API long long kel_sqlite_last_insert_rowid(boost::shared_ptr<_kel_sqlite> obj);
/// The number of rows changed by the connection's most recent INSERT, UPDATE
/// or DELETE: `sqlite3_changes`. Needs no statement.
/// Check: open (`db!=nullptr`, line 303).
/// @param obj The Connection object.
/// @return The number of rows; -1 when the object is not open and for an
///         empty handle.
KEL_DATABASE_API int kel_sqlite_affected_rows_count(boost::shared_ptr<_kel_sqlite> obj);
/// Copies a column's bytes into a new buffer: for a blob
/// `sqlite3_column_bytes`, then `sqlite3_column_blob`; for any other value
/// `sqlite3_column_text`, then `sqlite3_column_bytes`. A blob gives its
/// bytes, text its UTF-8 bytes without a terminating NUL (whatever the
/// database's encoding), a number its text form, NULL a size of 0. The
/// previous contents of `data` are not freed.
/// Check: a statement (`stmt!=nullptr`, line 240).
/// @param obj The Connection object.
/// @param column The column, from 0.
/// @param[out] data On true, a buffer from `malloc` holding the bytes: the
///        caller's, to release with `free` (also when `size` is 0). On
///        false, null. Left alone for an empty handle and when no statement
///        is prepared.
/// @param[out] size On true, the number of bytes; on false, 0. Left alone
///        for an empty handle and when no statement is prepared.
/// @return True with the copy; false (data null, size 0) for a column outside
///         the row (negative, at or past the column count, or no current row),
///         when SQLite reports an error producing the bytes (`SQLITE_RANGE`,
///         `SQLITE_NOMEM`) and when no buffer can be had; false, with `data`
///         and `size` left alone, when no statement is prepared and for an
///         empty handle.
KEL_DATABASE_API bool kel_sqlite_column_blob(boost::shared_ptr<_kel_sqlite> obj, int column, unsigned char*& data,
                                             int& size);
/// A column's value as text: `sqlite3_column_text`, copied up to its first
/// NUL. Check: a statement (`stmt!=nullptr`, line 247).
/// @param obj The Connection object.
/// @param column The column, from 0.
/// @return The caller's copy of the text; empty for NULL and when SQLite
///         gives no text (out of memory), when no statement is prepared and
///         for an empty handle.
KEL_DATABASE_API std::string kel_sqlite_column_text(boost::shared_ptr<_kel_sqlite> obj, int column);
/// A column's value as a 32-bit integer: `sqlite3_column_int`.
/// Check: a statement (`stmt!=nullptr`, line 252).
/// @param obj The Connection object.
/// @param column The column, from 0.
/// @return SQLite's answer; -1 when no statement is prepared and for an empty
///         handle.
KEL_DATABASE_API int kel_sqlite_column_int(boost::shared_ptr<_kel_sqlite> obj, int column);
/// A column's value as a 64-bit integer: `sqlite3_column_int64`.
/// Check: a statement (`stmt!=nullptr`, line 257).
/// @param obj The Connection object.
/// @param column The column, from 0.
/// @return SQLite's answer; -1 when no statement is prepared and for an empty
///         handle.
KEL_DATABASE_API long long kel_sqlite_column_int64(boost::shared_ptr<_kel_sqlite> obj, int column);
/// A column's value as a double: `sqlite3_column_double`.
/// Check: a statement (`stmt!=nullptr`, line 262).
/// @param obj The Connection object.
/// @param column The column, from 0.
/// @return SQLite's answer; -1.0 when no statement is prepared and for an
///         empty handle.
KEL_DATABASE_API double kel_sqlite_column_double(boost::shared_ptr<_kel_sqlite> obj, int column);
/// The type of a column's value in the current row: `sqlite3_column_type`.
/// Check: a statement (`stmt!=nullptr`, line 268).
/// @param obj The Connection object.
/// @param column The column, from 0.
/// @return `SQLITE_INTEGER` 1, `SQLITE_FLOAT` 2, `SQLITE_TEXT` 3,
///         `SQLITE_BLOB` 4 or `SQLITE_NULL` 5; -1 when no statement is
///         prepared and for an empty handle.
KEL_DATABASE_API int kel_sqlite_column_type(boost::shared_ptr<_kel_sqlite> obj, int column);
/// The declared type of a result column's table column:
/// `sqlite3_column_decltype`.
/// Check: a statement (`stmt!=nullptr`, line 273).
/// @param obj The Connection object.
/// @param column The column, from 0.
/// @return The type as written in the table's definition, owned by SQLite:
///         valid until the next step or the finalize (copy it to keep it).
///         Null for an expression or a column without a declared type, when
///         no statement is prepared and for an empty handle.
KEL_DATABASE_API const char* kel_sqlite_column_decltype(boost::shared_ptr<_kel_sqlite> obj, int column);
/// The name of a result column (its `AS` name, if any):
/// `sqlite3_column_name`.
/// Check: a statement (`stmt!=nullptr`, line 298).
/// @param obj The Connection object.
/// @param column The column, from 0.
/// @return The name, owned by SQLite: valid until the next step, the
///         finalize or the next name asked of the same column (copy it to
///         keep it). Null for a column out of range,
///         when no statement is prepared and for an empty handle.
KEL_DATABASE_API const char* kel_sqlite_column_name(boost::shared_ptr<_kel_sqlite> obj, int column);
/// Tells whether a column's value is NULL (kel_sqlite_column_type 5).
/// Check: that of kel_sqlite_column_type (`stmt!=nullptr`, line 268).
/// @param obj The Connection object.
/// @param column The column, from 0.
/// @return True for NULL; false otherwise, when no statement is prepared and
///         for an empty handle.
KEL_DATABASE_API bool kel_sqlite_is_column_null(boost::shared_ptr<_kel_sqlite> obj, int column);
/// Tells whether a column's value is text (kel_sqlite_column_type 3).
/// Check: that of kel_sqlite_column_type (`stmt!=nullptr`, line 268).
/// @param obj The Connection object.
/// @param column The column, from 0.
/// @return True for text; false otherwise, when no statement is prepared and
///         for an empty handle.
KEL_DATABASE_API bool kel_sqlite_is_column_text(boost::shared_ptr<_kel_sqlite> obj, int column);
/// Tells whether a column's value is a blob (kel_sqlite_column_type 4).
/// Check: that of kel_sqlite_column_type (`stmt!=nullptr`, line 268).
/// @param obj The Connection object.
/// @param column The column, from 0.
/// @return True for a blob; false otherwise, when no statement is prepared
///         and for an empty handle.
KEL_DATABASE_API bool kel_sqlite_is_column_blob(boost::shared_ptr<_kel_sqlite> obj, int column);
/// Tells whether a column's value is an integer (kel_sqlite_column_type 1).
/// Check: that of kel_sqlite_column_type (`stmt!=nullptr`, line 268).
/// @param obj The Connection object.
/// @param column The column, from 0.
/// @return True for an integer; false otherwise, when no statement is
///         prepared and for an empty handle.
KEL_DATABASE_API bool kel_sqlite_is_column_int(boost::shared_ptr<_kel_sqlite> obj, int column);
/// Tells whether a column's value is a floating-point number
/// (kel_sqlite_column_type 2).
/// Check: that of kel_sqlite_column_type (`stmt!=nullptr`, line 268).
/// @param obj The Connection object.
/// @param column The column, from 0.
/// @return True for a floating-point number; false otherwise, when no
///         statement is prepared and for an empty handle.
KEL_DATABASE_API bool kel_sqlite_is_column_double(boost::shared_ptr<_kel_sqlite> obj, int column);

/** @} */

// ---- The database service ------------------------------------------------

/**
 * @defgroup kel_service The database service
 * @brief The process-wide "database" worker thread of the framework.
 *
 * The forwarding functions hand their arguments to the framework's
 * thread-service operation of the same name (`kel_thread_service_*`) and
 * return its answer; the framework queues and runs the work, its unit for
 * delays and intervals applies (milliseconds in the bundled runtime).
 * Before kel_database_init, and after the service has finished, they pass
 * the framework an empty service handle (the bundled runtime then queues and
 * runs nothing).
 * Queued work runs on the service thread, one job at a time, jobs in the
 * order queued; a job may queue further work.
 *
 * Thread safety: kel_database_init and the forwarding functions may be
 * called from any thread (they are serialised under the service mutex);
 * kel_database_get_sqlite belongs in a job on the service thread (see there).
 * @{
 */

/// Starts the service: `kel_thread_service_new("database")`, then registers
/// its finished handler (prints `DATABASE SERVICE DONE`) and its join handler
/// (prints `DATABASE SERVICE SHOT DONW REQUEST`; stops the service once every
/// Connection object has been released, printing
/// `DATABASE THREAD SERVICE STOPPED`). Does nothing while a service runs;
/// after one has finished, starts a new one.
KEL_DATABASE_API void kel_database_init();
/// Queues a job on the service thread: `kel_thread_service_exec`.
///
/// What becomes of an exception that a job, a timer or an interval throws is
/// the framework runtime's. The bundled runtime catches it on the service
/// thread and writes one line to standard error,
/// `KEL-SYSTEM**ERROR**: thread service "database": job queued at <file>:<line> threw: <what>`
/// (in colour; `threw a non-standard exception` for one that is no
/// `std::exception`), then goes on with the next job; an interval whose job
/// throws ends for good and is not run again. Nothing reaches the caller.
/// @param job Runs once on the service thread.
/// @param file The caller's source file, for the framework's diagnostics.
/// @param line The caller's source line, for the framework's diagnostics.
KEL_DATABASE_API void kel_database_exec(std::function<void()> job, std::string file, int line);
/// Runs a job once on the service thread after a delay:
/// `kel_thread_service_set_timeout`.
/// @param job Runs once, unless cleared first.
/// @param delay The delay, in the framework's unit (milliseconds in the
///        bundled runtime).
/// @param file The caller's source file, for the framework's diagnostics.
/// @param line The caller's source line, for the framework's diagnostics.
/// @return The framework's timer id, for kel_database_clear_timeout (0 from
///         the bundled runtime when no service runs).
KEL_DATABASE_API unsigned long long kel_database_set_timeout(std::function<void()> job, unsigned long long delay,
                                                             std::string file, int line);
/// Runs a job on the service thread at every interval until it returns false
/// or is cleared: `kel_thread_service_set_interval`.
/// @param job Runs at each interval; false ends the interval.
/// @param interval The interval, in the framework's unit (milliseconds in the
///        bundled runtime).
/// @param file The caller's source file, for the framework's diagnostics.
/// @param line The caller's source line, for the framework's diagnostics.
/// @return The framework's interval id, for kel_database_clear_interval (0
///         from the bundled runtime when no service runs).
KEL_DATABASE_API unsigned long long kel_database_set_interval(std::function<bool()> job, unsigned long long interval,
                                                              std::string file, int line);
/// Cancels a timer that has not run yet: `kel_thread_service_clear_timeout`.
/// @param id An id returned by kel_database_set_timeout.
KEL_DATABASE_API void kel_database_clear_timeout(unsigned long long id);
/// Ends an interval: `kel_thread_service_clear_interval`.
/// @param id An id returned by kel_database_set_interval.
KEL_DATABASE_API void kel_database_clear_interval(unsigned long long id);
/// Lets the service run one ready job, nested, when called from a job on the
/// service thread: `kel_thread_service_run_once`. The service mutex is not
/// held during the call.
/// @return The framework's answer; the bundled runtime gives the number of
///         jobs run (0 or 1), and -1 on any other thread or when no service
///         runs.
KEL_DATABASE_API int kel_database_run_once();
/// Finds the open Connection object registered under `name` and finalizes
/// its prepared statement, if any, so that it is handed out with no statement
/// in progress. No SQLite call but that `sqlite3_finalize`. Call it from a job
/// on the service thread: it changes the object's statement, which must not
/// happen while another thread works on the object, and releases run there.
/// The registry itself has its own lock.
/// @param name The name given to kel_sqlite_new. An object enters the
///        registry when it opens and the name is free, and leaves it when it
///        closes.
/// @return A handle to the object, sharing ownership; empty when no open
///         object is registered under that name.
KEL_DATABASE_API boost::shared_ptr<_kel_sqlite> kel_database_get_sqlite(std::string name);

/** @} */
