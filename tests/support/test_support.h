// Helpers shared by the test programs.
#pragma once

#include <kel_database/kel_database.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kel_test {

using namespace std::chrono_literals;

/// One call of the host's assertion routine.
///
/// Every test program defines kel_assertion_faild itself, with the host's
/// signature: the library reaches the host through the dynamic linker, so it
/// calls this definition, which records the call for the newest live
/// assertion_log and otherwise passes it on to the runtime's own. That holds
/// for any runtime, the bundled one or a framework's.
struct assertion_call {
  bool ok;
  std::string condition;
  std::string message;
  std::string file;
  int line;
};

bool operator==(const assertion_call& a, const assertion_call& b);
std::ostream& operator<<(std::ostream& out, const assertion_call& call);

/// Records every assertion call while it lives; the runtime sees none of
/// them, so failed ones are not printed either.
class assertion_log {
 public:
  assertion_log();
  ~assertion_log();
  assertion_log(const assertion_log&) = delete;
  assertion_log& operator=(const assertion_log&) = delete;
  std::vector<assertion_call> calls() const;
  /// Returns the calls recorded so far and forgets them.
  std::vector<assertion_call> take();
  void clear();
  void record(assertion_call call);

 private:
  mutable std::mutex mutex_;
  std::vector<assertion_call> calls_;
  assertion_log* outer_;  // the log this one hides while it lives
};

/// While it lives, assertion calls that no assertion_log records are dropped
/// instead of reaching the runtime (nothing printed, nothing kept).
class silent_assertions {
 public:
  silent_assertions();
  ~silent_assertions();
  silent_assertions(const silent_assertions&) = delete;
  silent_assertions& operator=(const silent_assertions&) = delete;
};

/// The definition of a function that this program also defines itself (to
/// stand in for the host's) which the next library in the search order
/// provides: the runtime's. Looked up by the symbol name of `own` as the
/// compiler mangled it, so whatever the C++ library; aborts when there is none.
void* next_definition(void* own);
template <typename Function>
Function* next_definition(Function* own) {
  return reinterpret_cast<Function*>(next_definition(reinterpret_cast<void*>(own)));
}

/// Checks the count of running thread services that the bundled runtime
/// keeps for tests. A framework's runtime has no such count: built against
/// one, the check is left out (the rest of the test still runs).
#ifdef KEL_SYSTEM_EXTERNAL
#define EXPECT_RUNNING_SERVICES(count) static_cast<void>(count)
#else
#define EXPECT_RUNNING_SERVICES(count) EXPECT_EQ(kel_system_running_services(), count)
#endif

/// The module path the library reports its checks under.
inline const std::string kModule = "src/kel_database/kel_sqlite.cpp";

/// Shorthands for the four state checks.
assertion_call db_open(bool ok, int line);
assertion_call db_closed(bool ok, int line);
assertion_call stmt_open(bool ok, int line);
assertion_call stmt_closed(bool ok, int line);

/// Captures everything written to standard output while it lives.
class stdout_capture {
 public:
  stdout_capture();
  ~stdout_capture();
  /// Stops capturing and returns what was written.
  std::string finish();

 private:
  bool active_ = true;
};

/// The warning line the library writes for an empty handle.
std::string null_object_line(const std::string& function);

// The waits below have no deadline of their own: a job that never runs or a
// shutdown that never returns hangs the test, and the test's own timeout in
// CTest reports it as the hang it is.

/// Polls `done` until it holds.
void wait_until(const std::function<bool()>& done);

/// Runs `job` on the database service thread and waits for it to finish.
void run_on_service(std::function<void()> job);

/// Waits until every job queued on the database service so far has run.
void drain_service();

/// A fresh directory for database files, removed with its files afterwards.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  std::string path(const std::string& file) const;
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

}  // namespace kel_test
