// Ctrl-C (SIGINT) stops the statement that is running, not the program.
//
// The handler only sets a flag and calls sqlite3_interrupt on the connection,
// both safe in a signal handler; everything else (reporting, rolling back,
// prompting again) is done by the main loop when it sees the flag. A second
// SIGINT while the first is still pending ends the process as SIGINT does by
// default: a user who presses it twice wants out, and SQLite rolls back what
// was left open when the database is next opened.
#pragma once

struct sqlite3;

namespace kel_sql {

// Installs the SIGINT handler (unless SIGINT is ignored, as it was given to
// kel_sql) and starts watching for the connection that
// the library opens next: SQLite hands every connection opened from then on
// to an auto-extension, which is how kel_sql learns the handle without the
// library having to give it out.
void watch_for_interrupts();

// Stops watching for new connections. When `opened` is false (the open
// failed and SQLite's handle is gone), forgets the handle too.
void connection_opened(bool opened);

// Forgets the handle: to be called before the connection is closed, so the
// handler never interrupts a closed connection.
void connection_closing();

// The connection kel_sql opened, or null.
sqlite3* watched_connection();

// A SIGINT came and has not been dealt with yet.
bool interrupt_pending();

// The SIGINT has been dealt with: the next one interrupts again.
void clear_interrupt();

}  // namespace kel_sql
