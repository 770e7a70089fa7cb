// The process-wide "database" service: creation, the handlers registered with
// the host, the forwarding functions, the live-object list and the shutdown
// that waits for it to empty. The state and its rules are the class
// database_service (database_service.h); this file holds its one instance.
#include "database_service.h"

#include "console.h"
#include "kel_assert.h"
#include "kel_sqlite.h"

#include <string>

// Makes the compiler check that a static object is constant-initialised:
// GCC's __constinit and clang's attribute work in C++17 too.
#if defined(__clang__)
#define KEL_CONSTINIT [[clang::require_constant_initialization]]
#elif defined(__GNUC__) && __GNUC__ >= 10
#define KEL_CONSTINIT __constinit
#else
#define KEL_CONSTINIT
#endif

namespace {

// The one service. Constant-initialised, so it is complete before any
// constructor runs: the service handle, the service mutex, the live-object
// list and the name registry exist in that order (their declaration order)
// from the moment the library is loaded, and a call that reaches the library
// from another library's static constructor finds them usable. At unload its
// destructor destroys them in the reverse order: the registry and the list
// with the references they hold, then the mutex, then the handle, which
// drops the library's reference to the service if it still holds one.
KEL_CONSTINIT database_service the_service;

void stop_callback(boost::shared_ptr<_kel_thread_service> /*stopped*/) {
  kel_console::write_line("DATABASE THREAD SERVICE STOPPED");
}

void finished_handler(boost::shared_ptr<_kel_thread_service> finished, int /*status*/) {
  the_service.handle_finished();
  (void)finished;  // held to the end of the handler
}

bool join_handler(boost::shared_ptr<_kel_thread_service> joining, int /*reason*/) {
  the_service.handle_join();
  (void)joining;
  return true;
}

}  // namespace

void database_service::check_invariants() const {
  KEL_ASSERT(service_mutex.held_here());
  // A stop is sent only for a shutdown requested of this service, and a new
  // service clears both.
  KEL_ASSERT(!stop_sent || stop_requested);
  // Releases are held back only once this library has stopped the service,
  // and until the finished handler has run them the handle stays set.
  KEL_ASSERT(!has_held_releases() || (stop_sent && service));
}

// Runs with the service mutex held.
void database_service::request_stop() {
  KEL_ASSERT(service_mutex.held_here());
  // A stop is sent only for a shutdown requested of this service.
  KEL_ASSERT(stop_requested);
  stop_sent = true;
  kel_thread_service_stop(service, stop_callback);
}

void database_service::handle_finished() {
  kel_console::write_line("DATABASE SERVICE DONE");
  // The service thread runs no job any more, so nothing else touches the
  // held objects now. The handle is kept until they are released: with it
  // set, kel_database_init creates no new service whose jobs could find one
  // of them by name while its release closes it, and a destroy meanwhile is
  // held too and released here. Run without the mutex, which each release
  // takes itself.
  for (;;) {
    std::vector<held_release> releases;
    {
      std::lock_guard<checked_mutex> lock(service_mutex);
      check_invariants();
      if (!has_held_releases()) {
        service.reset();
        stop_sent = false;
        check_invariants();
        break;
      }
      releases.swap(*held_releases);
    }
    for (auto& release : releases) {
      release.run();
      release.run = nullptr;
    }
  }
}

void database_service::handle_join() {
  kel_console::write_line("DATABASE SERVICE SHOT DONW REQUEST");
  std::lock_guard<checked_mutex> lock(service_mutex);
  stop_requested = true;
  // Otherwise the release that empties the list requests the stop.
  if (live_objects.empty()) request_stop();
  check_invariants();
}

// Runs with the service mutex held.
void database_service::create_service() {
  KEL_ASSERT(service_mutex.held_here());
  check_invariants();
  if (service) return;
  // The finished handler empties the handle only after the last held
  // release: no release of an earlier service is left for this one.
  KEL_ASSERT(!has_held_releases());
  // A shutdown requested of an earlier service must not stop this one.
  stop_requested = false;
  stop_sent = false;
  service = kel_thread_service_new("database");
  kel_thread_service_on_finished(service, finished_handler);
  kel_thread_service_set_join_handler(service, join_handler);
  check_invariants();
}

void database_service::init() {
  std::lock_guard<checked_mutex> lock(service_mutex);
  create_service();
}

// With no service, the host gets the empty handle all the same, but not
// under the mutex: it has nothing to queue the job on and drops it on this
// thread, and the job's captures may call back into this library as they go.
// There is no handle to serialise then, so nothing needs the mutex.

void database_service::exec(std::function<void()> job, std::string file, int line) {
  checked_lock lock(service_mutex, spin_first);
  if (!service) {
    lock.unlock();
    kel_thread_service_exec({}, std::move(job), std::move(file), line);
    return;
  }
  kel_thread_service_exec(service, std::move(job), std::move(file), line);
}

unsigned long long database_service::set_timeout(std::function<void()> job, unsigned long long delay, std::string file,
                                                 int line) {
  checked_lock lock(service_mutex);
  if (!service) {
    lock.unlock();
    return kel_thread_service_set_timeout({}, std::move(job), delay, std::move(file), line);
  }
  return kel_thread_service_set_timeout(service, std::move(job), delay, std::move(file), line);
}

unsigned long long database_service::set_interval(std::function<bool()> job, unsigned long long interval,
                                                  std::string file, int line) {
  checked_lock lock(service_mutex);
  if (!service) {
    lock.unlock();
    return kel_thread_service_set_interval({}, std::move(job), interval, std::move(file), line);
  }
  return kel_thread_service_set_interval(service, std::move(job), interval, std::move(file), line);
}

void database_service::queue_release(std::function<void()> release, std::string file, int line) {
  {
    checked_lock lock(service_mutex, spin_first);
    if (service && !stop_sent) {
      kel_thread_service_exec(service, std::move(release), std::move(file), line);
      return;
    }
    if (service) {
      if (!held_releases) held_releases.emplace();
      held_releases->push_back({std::move(release)});
      check_invariants();
      return;
    }
  }
  // No service thread exists that could touch the object at this moment.
  release();
}

void database_service::clear_timeout(unsigned long long id) {
  std::lock_guard<checked_mutex> lock(service_mutex);
  kel_thread_service_clear_timeout(service, id);
}

void database_service::clear_interval(unsigned long long id) {
  std::lock_guard<checked_mutex> lock(service_mutex);
  kel_thread_service_clear_interval(service, id);
}

int database_service::run_once() {
  service_ptr current;
  {
    // Copied under the mutex, called without it: the host may run a job here.
    std::lock_guard<checked_mutex> lock(service_mutex);
    current = service;
  }
  return kel_thread_service_run_once(current);
}

void database_service::ref(const boost::shared_ptr<_kel_object>& object) {
  std::lock_guard<checked_mutex> lock(service_mutex);
  live_objects.add(object);
}

void database_service::unref(const boost::shared_ptr<_kel_object>& object) {
  boost::shared_ptr<_kel_object> released;  // dropped after the lock
  std::lock_guard<checked_mutex> lock(service_mutex);
  released = live_objects.remove(object.get());
  if (!released) return;
  // In decimal whatever format flags the program left on std::cout.
  kel_console::write_line("left objects in database reference count: " + std::to_string(live_objects.size()));
  if (stop_requested && live_objects.empty()) request_stop();
  check_invariants();
}

// The library's functions, on the one service.

void kel_database_init() { the_service.init(); }

void kel_database_exec(std::function<void()> job, std::string file, int line) {
  the_service.exec(std::move(job), std::move(file), line);
}

unsigned long long kel_database_set_timeout(std::function<void()> job, unsigned long long delay, std::string file,
                                            int line) {
  return the_service.set_timeout(std::move(job), delay, std::move(file), line);
}

unsigned long long kel_database_set_interval(std::function<bool()> job, unsigned long long interval, std::string file,
                                             int line) {
  return the_service.set_interval(std::move(job), interval, std::move(file), line);
}

void kel_database_queue_release(std::function<void()> release, std::string file, int line) {
  the_service.queue_release(std::move(release), std::move(file), line);
}

void kel_database_clear_timeout(unsigned long long id) { the_service.clear_timeout(id); }

void kel_database_clear_interval(unsigned long long id) { the_service.clear_interval(id); }

int kel_database_run_once() { return the_service.run_once(); }

void kel_database_ref(boost::shared_ptr<_kel_object> object) { the_service.ref(object); }

void kel_database_unref(boost::shared_ptr<_kel_object> object) { the_service.unref(object); }

bool kel_database_service_mutex_held() { return the_service.mutex_held(); }

void kel_database_add_sqlite(boost::shared_ptr<_kel_sqlite> object) { the_service.add_sqlite(object); }

void kel_database_remove_sqlite(boost::shared_ptr<_kel_sqlite> object) { the_service.remove_sqlite(object); }

boost::shared_ptr<_kel_sqlite> kel_database_get_sqlite(std::string name) { return the_service.get_sqlite(name); }
