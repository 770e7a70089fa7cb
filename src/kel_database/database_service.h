// The process-wide database service: its state, in one object, and the
// library's side of it, the functions the Connection object uses (none of
// them is exported).
#pragma once

#include "checked_mutex.h"
#include "live_object_list.h"
#include "name_registry.h"
#include "thread_annotations.h"

#include <kel_system.h>

#include <boost/shared_ptr.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class _kel_sqlite;

/// The service handle, the service mutex and everything it guards, the
/// name registry, and the rules that tie them together. There is one, built
/// when the library is loaded and destroyed when it is unloaded (see
/// database_service.cpp); the exported kel_database_* functions, the
/// functions below and the handlers given to the host work on it.
///
/// Lock order: the service mutex is never held together with an object's
/// mutex or the registry's. Host calls made under it never run anything on
/// the calling thread, which is what keeps the non-recursive mutex safe.
class database_service {
 public:
  using service_ptr = boost::shared_ptr<_kel_thread_service>;

  // Every member can be built at compile time: the one instance is
  // constant-initialised, usable before any constructor has run.
  constexpr database_service() = default;
  database_service(const database_service&) = delete;
  database_service& operator=(const database_service&) = delete;

  /// kel_database_init: creates the service unless it exists.
  void init() KEL_EXCLUDES(service_mutex);

  // The forwarding functions, with the arguments of their kel_database_*.
  void exec(std::function<void()> job, std::string file, int line) KEL_EXCLUDES(service_mutex);
  unsigned long long set_timeout(std::function<void()> job, unsigned long long delay, std::string file, int line)
      KEL_EXCLUDES(service_mutex);
  unsigned long long set_interval(std::function<bool()> job, unsigned long long interval, std::string file, int line)
      KEL_EXCLUDES(service_mutex);
  void clear_timeout(unsigned long long id) KEL_EXCLUDES(service_mutex);
  void clear_interval(unsigned long long id) KEL_EXCLUDES(service_mutex);
  int run_once() KEL_EXCLUDES(service_mutex);

  /// See kel_database_queue_release.
  void queue_release(std::function<void()> release, std::string file, int line) KEL_EXCLUDES(service_mutex);
  /// See kel_database_ref and kel_database_unref.
  void ref(const boost::shared_ptr<_kel_object>& object) KEL_EXCLUDES(service_mutex);
  void unref(const boost::shared_ptr<_kel_object>& object) KEL_EXCLUDES(service_mutex);
  bool mutex_held() const { return service_mutex.held_here(); }

  /// The name registry (kel_database_add_sqlite and its kin). It has a
  /// lock of its own, never taken together with the service mutex.
  void add_sqlite(const boost::shared_ptr<_kel_sqlite>& object) KEL_EXCLUDES(service_mutex) { registry.add(object); }
  void remove_sqlite(const boost::shared_ptr<_kel_sqlite>& object) KEL_EXCLUDES(service_mutex) {
    registry.remove(object);
  }
  boost::shared_ptr<_kel_sqlite> get_sqlite(const std::string& name) KEL_EXCLUDES(service_mutex) {
    return registry.get(name);
  }

  /// What the finished and join handlers given to the host do.
  void handle_finished() KEL_EXCLUDES(service_mutex);
  void handle_join() KEL_EXCLUDES(service_mutex);

 private:
  /// A release held back while a stop this library sent is under way.
  struct held_release {
    std::function<void()> run;
  };

  void create_service() KEL_REQUIRES(service_mutex);
  void request_stop() KEL_REQUIRES(service_mutex);
  bool has_held_releases() const KEL_REQUIRES(service_mutex) { return held_releases && !held_releases->empty(); }
  /// Asserts the rules the members keep between any two locked sections.
  void check_invariants() const KEL_REQUIRES(service_mutex);

  // Constructed in this order, destroyed in the reverse one. (The containers
  // of the live-object list and the registry, and the held releases, are
  // built on first use: that is what lets all of it be built at compile
  // time.)

  // Set by create_service; emptied by the finished handler once no release
  // is held any more.
  service_ptr service KEL_GUARDED_BY(service_mutex);
  checked_mutex service_mutex;
  live_object_list live_objects KEL_GUARDED_BY(service_mutex);
  name_registry registry;
  // Set by the join handler; belongs to the current service (see
  // create_service).
  bool stop_requested KEL_GUARDED_BY(service_mutex) = false;
  // Set once this library has asked the current service to stop: from then
  // on work queued on it may be discarded unrun, so releases wait in
  // held_releases for the finished handler instead.
  bool stop_sent KEL_GUARDED_BY(service_mutex) = false;
  std::optional<std::vector<held_release>> held_releases KEL_GUARDED_BY(service_mutex);
};

/// Queues a Connection object's release on the service. With no service to
/// queue it on, the release runs at once on the calling thread; while a stop
/// that this library asked for is under way (queued work may never run then),
/// it is held back and run by the finished handler. Either way it is never
/// lost: an object left on the live-object list would keep every later
/// shutdown waiting.
void kel_database_queue_release(std::function<void()> release, std::string file, int line);

/// Enters a new object in the live-object list (once).
void kel_database_ref(boost::shared_ptr<_kel_object> object);
/// Takes a released object off the live-object list, prints the count left
/// and, once a shutdown was requested and the list is empty, stops the service.
void kel_database_unref(boost::shared_ptr<_kel_object> object);

/// Whether this thread holds the service mutex. Known only in builds that
/// check the internal invariants (kel_assert.h); false in the others.
bool kel_database_service_mutex_held();

/// The name registry of open Connection objects.
void kel_database_add_sqlite(boost::shared_ptr<_kel_sqlite> object);
void kel_database_remove_sqlite(boost::shared_ptr<_kel_sqlite> object);
