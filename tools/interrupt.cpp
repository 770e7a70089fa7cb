#include "interrupt.h"

#include <sqlite3.h>

#include <atomic>
#include <csignal>

namespace kel_sql {
namespace {

volatile std::sig_atomic_t g_pending = 0;
// Read in the signal handler: only a lock-free atomic is safe there.
std::atomic<sqlite3*> g_connection{nullptr};
static_assert(std::atomic<sqlite3*>::is_always_lock_free, "the handler reads the handle without a lock");

extern "C" void on_interrupt(int signal_number) {
  if (g_pending != 0) {
    // The first one is still pending: end the process as SIGINT would.
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
    return;
  }
  g_pending = 1;
  sqlite3* const db = g_connection.load();
  if (db != nullptr) sqlite3_interrupt(db);
}

// How many virtual machine instructions SQLite runs between two calls of
// the progress handler: often enough that an interrupt is seen at once, and
// few enough calls to cost nothing measurable.
constexpr int kProgressInstructions = 1000;

// sqlite3_interrupt alone can be lost: SQLite clears its interrupt flag when
// a statement starts while no other one runs, so a SIGINT that comes after
// the flag was last checked and before the statement's first step (or while
// the statement's prepare waits for a lock, and loads the schema with a
// statement of its own) would let the statement run to its end. The
// progress handler asks the pending flag itself, which only dealing with
// the SIGINT clears.
extern "C" int stop_if_interrupted(void* /*unused*/) { return g_pending != 0 ? 1 : 0; }

extern "C" int remember_connection(sqlite3* db, char** /*error*/, const sqlite3_api_routines* /*api*/) {
  sqlite3_progress_handler(db, kProgressInstructions, stop_if_interrupted, nullptr);
  g_connection.store(db);
  return SQLITE_OK;
}

// sqlite3_auto_extension takes the entry point as a plain function pointer.
using entry_point = void (*)();

entry_point remember_connection_entry() { return reinterpret_cast<entry_point>(&remember_connection); }

}  // namespace

void watch_for_interrupts() {
  sqlite3_auto_extension(remember_connection_entry());
  // A SIGINT ignored from the start stays ignored: a shell without job
  // control starts its background jobs so, to keep the terminal's Ctrl-C
  // from reaching them.
  struct sigaction inherited {};
  if (sigaction(SIGINT, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) return;
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  // Writes and reads in progress go on; waiting for input (ppoll, pselect) is still
  // cut short, which is what the line reader relies on.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
}

void connection_opened(bool opened) {
  sqlite3_cancel_auto_extension(remember_connection_entry());
  if (!opened) g_connection.store(nullptr);
}

void connection_closing() { g_connection.store(nullptr); }

sqlite3* watched_connection() { return g_connection.load(); }

bool interrupt_pending() { return g_pending != 0; }

void clear_interrupt() { g_pending = 0; }

}  // namespace kel_sql
