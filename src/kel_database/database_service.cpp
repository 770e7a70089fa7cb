// The process-wide "database" service: creation, the handlers registered with
// the host, the forwarding functions, the live-object list and the shutdown
// that waits for it to empty.
//
// Lock order: the service mutex is never held together with an object's
// mutex or the registry's. Host calls made under it never run anything on
// the calling thread, which is what keeps the non-recursive mutex safe.
#include "database_service.h"

#include "console.h"
#include "kel_assert.h"
#include "kel_sqlite.h"
#include "live_object_list.h"
#include "name_registry.h"
#include "spin_pause.h"

#include <atomic>
#include <string>
#include <vector>

namespace {

// A std::mutex that, with the invariants checked, also knows which thread
// holds it: taking it twice on one thread (a host running work on the
// calling thread) stops at once instead of hanging, and code that must or
// must not hold it can say so. Constant-initialised, as std::mutex is.
class checked_mutex {
 public:
  constexpr checked_mutex() = default;
  checked_mutex(const checked_mutex&) = delete;
  checked_mutex& operator=(const checked_mutex&) = delete;

  void lock() {
    KEL_ASSERT(!held_here());
    mutex_.lock();
    mark(this_thread());
  }
  bool try_lock() {
    KEL_ASSERT(!held_here());
    if (!mutex_.try_lock()) return false;
    mark(this_thread());
    return true;
  }
  void unlock() {
    KEL_ASSERT(held_here());
    mark(nullptr);
    mutex_.unlock();
  }
  /// True when this thread holds the mutex; always false with the
  /// invariants unchecked (nothing is recorded then).
  bool held_here() const {
#if KEL_ASSERTS_ON
    return holder_.load(std::memory_order_relaxed) == this_thread();
#else
    return false;
#endif
  }

 private:
#if KEL_ASSERTS_ON
  static const void* this_thread() {
    static thread_local const char tag = 0;
    return &tag;
  }
  void mark(const void* holder) { holder_.store(holder, std::memory_order_relaxed); }
  std::atomic<const void*> holder_{nullptr};
#else
  static const void* this_thread() { return nullptr; }
  static void mark(const void*) {}
#endif
  std::mutex mutex_;
};

// Constructed in this order at load, destroyed in reverse at unload.
boost::shared_ptr<_kel_thread_service> service;
checked_mutex service_mutex;  // constant-initialised: usable before any constructor
live_object_list live_objects;
name_registry registry;

// Set by the join handler; belongs to the current service (see create_service).
bool stop_requested = false;
// Set once this library has asked the current service to stop: from then on
// work queued on it may be discarded unrun, so releases wait here for the
// finished handler instead.
bool stop_sent = false;
// A type of this file's own: the vector code made for it stays out of the
// library's exported symbols.
struct held_release {
  std::function<void()> run;
};
std::vector<held_release> held_releases;

void stop_callback(boost::shared_ptr<_kel_thread_service> /*stopped*/) {
  kel_console::write_line("DATABASE THREAD SERVICE STOPPED");
}

// Runs with the service mutex held.
void request_stop() {
  KEL_ASSERT(service_mutex.held_here());
  // A stop is sent only for a shutdown requested of this service.
  KEL_ASSERT(stop_requested);
  stop_sent = true;
  kel_thread_service_stop(service, stop_callback);
}

void finished_handler(boost::shared_ptr<_kel_thread_service> finished, int /*status*/) {
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
      // Releases are held back only once this library has stopped the service.
      KEL_ASSERT(held_releases.empty() || stop_sent);
      if (held_releases.empty()) {
        service.reset();
        stop_sent = false;
        break;
      }
      releases.swap(held_releases);
    }
    for (auto& release : releases) {
      release.run();
      release.run = nullptr;
    }
  }
  (void)finished;  // held to the end of the handler
}

bool join_handler(boost::shared_ptr<_kel_thread_service> joining, int /*reason*/) {
  kel_console::write_line("DATABASE SERVICE SHOT DONW REQUEST");
  std::lock_guard<checked_mutex> lock(service_mutex);
  stop_requested = true;
  // Otherwise the release that empties the list requests the stop.
  if (live_objects.empty()) request_stop();
  (void)joining;
  return true;
}

// Locks the service mutex for queueing a job, which holds it for well under a
// microsecond: a thread that finds it taken tries again for a moment before
// it sleeps, as glibc's adaptive mutexes do. Sleeping at once costs a futex
// wait here and a futex wake in the holder for nearly every job when several
// threads queue jobs at the same time.
std::unique_lock<checked_mutex> lock_for_queueing() {
  std::unique_lock<checked_mutex> lock(service_mutex, std::try_to_lock);
  for (int attempt = 0; attempt < 200 && !lock.owns_lock(); ++attempt) {
    kel_spin::pause();
    static_cast<void>(lock.try_lock());
  }
  if (!lock.owns_lock()) lock.lock();
  return lock;
}

// Runs with the service mutex held.
void create_service() {
  KEL_ASSERT(service_mutex.held_here());
  if (service) return;
  // The finished handler empties the handle only after the last held
  // release: no release of an earlier service is left for this one.
  KEL_ASSERT(held_releases.empty());
  // A shutdown requested of an earlier service must not stop this one.
  stop_requested = false;
  stop_sent = false;
  service = kel_thread_service_new("database");
  kel_thread_service_on_finished(service, finished_handler);
  kel_thread_service_set_join_handler(service, join_handler);
}

}  // namespace

void kel_database_init() {
  std::lock_guard<checked_mutex> lock(service_mutex);
  create_service();
}

// With no service, the host gets the empty handle all the same, but not
// under the mutex: it has nothing to queue the job on and drops it on this
// thread, and the job's captures may call back into this library as they go.
// There is no handle to serialise then, so nothing needs the mutex.

void kel_database_exec(std::function<void()> job, std::string file, int line) {
  auto lock = lock_for_queueing();
  if (!service) {
    lock.unlock();
    kel_thread_service_exec({}, std::move(job), std::move(file), line);
    return;
  }
  kel_thread_service_exec(service, std::move(job), std::move(file), line);
}

unsigned long long kel_database_set_timeout(std::function<void()> job, unsigned long long delay, std::string file,
                                            int line) {
  std::unique_lock<checked_mutex> lock(service_mutex);
  if (!service) {
    lock.unlock();
    return kel_thread_service_set_timeout({}, std::move(job), delay, std::move(file), line);
  }
  return kel_thread_service_set_timeout(service, std::move(job), delay, std::move(file), line);
}

unsigned long long kel_database_set_interval(std::function<bool()> job, unsigned long long interval, std::string file,
                                             int line) {
  std::unique_lock<checked_mutex> lock(service_mutex);
  if (!service) {
    lock.unlock();
    return kel_thread_service_set_interval({}, std::move(job), interval, std::move(file), line);
  }
  return kel_thread_service_set_interval(service, std::move(job), interval, std::move(file), line);
}

void kel_database_queue_release(std::function<void()> release, std::string file, int line) {
  {
    auto lock = lock_for_queueing();
    if (service && !stop_sent) {
      kel_thread_service_exec(service, std::move(release), std::move(file), line);
      return;
    }
    if (service) {
      held_releases.push_back({std::move(release)});
      return;
    }
  }
  // No service thread exists that could touch the object at this moment.
  release();
}

void kel_database_clear_timeout(unsigned long long id) {
  std::lock_guard<checked_mutex> lock(service_mutex);
  kel_thread_service_clear_timeout(service, id);
}

void kel_database_clear_interval(unsigned long long id) {
  std::lock_guard<checked_mutex> lock(service_mutex);
  kel_thread_service_clear_interval(service, id);
}

int kel_database_run_once() {
  boost::shared_ptr<_kel_thread_service> current;
  {
    // Copied under the mutex, called without it: the host may run a job here.
    std::lock_guard<checked_mutex> lock(service_mutex);
    current = service;
  }
  return kel_thread_service_run_once(current);
}

void kel_database_ref(boost::shared_ptr<_kel_object> object) {
  std::lock_guard<checked_mutex> lock(service_mutex);
  live_objects.add(object);
}

void kel_database_unref(boost::shared_ptr<_kel_object> object) {
  boost::shared_ptr<_kel_object> released;  // dropped after the lock
  std::lock_guard<checked_mutex> lock(service_mutex);
  released = live_objects.remove(object.get());
  if (!released) return;
  KEL_ASSERT(!stop_sent || stop_requested);
  // In decimal whatever format flags the program left on std::cout.
  kel_console::write_line("left objects in database reference count: " + std::to_string(live_objects.size()));
  if (stop_requested && live_objects.empty()) request_stop();
}

bool kel_database_service_mutex_held() { return service_mutex.held_here(); }

void kel_database_add_sqlite(boost::shared_ptr<_kel_sqlite> object) { registry.add(object); }

void kel_database_remove_sqlite(boost::shared_ptr<_kel_sqlite> object) { registry.remove(object); }

boost::shared_ptr<_kel_sqlite> kel_database_get_sqlite(std::string name) { return registry.get(name); }
