// Process-wide state of the runtime, shared by its translation units.
//
// All of it lives in one object with static storage duration that is built
// when libkel_system is loaded. Libraries and programs that use the runtime
// are loaded after it, so their static objects are destroyed before it: a
// connection object released by another library's static destructor can
// still report an assertion or drop its framework reference. The members are
// declared in the order they may be needed during teardown (the assertion
// routine outlives the objects, the objects outlive the services).
#pragma once

#include "kel_system.h"
#include "thread_annotations.h"

#include <boost/shared_ptr.hpp>

#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

// Internal to the runtime: none of it is exported.
#pragma GCC visibility push(hidden)
namespace kel_host {

struct object_registry {
  std::mutex mutex;
  std::unordered_map<_kel_object*, boost::shared_ptr<_kel_object>> held KEL_GUARDED_BY(mutex);

  /// Drops every reference the framework still holds. The objects are
  /// destroyed without the registry lock held.
  void release_all() KEL_EXCLUDES(mutex);
};

struct service_entry {
  explicit service_entry(boost::shared_ptr<_kel_thread_service> s) : service(std::move(s)) {}
  boost::shared_ptr<_kel_thread_service> service;
  std::thread thread;
  // Guarded by the mutex of the registry whose list holds the entry (which
  // the attributes cannot name from here): every entry is reached through
  // that list, which is.
  bool finished = false;
};

struct service_registry {
  std::mutex mutex;
  std::condition_variable changed;  // an entry finished, or the process is exiting
  std::list<service_entry> entries KEL_GUARDED_BY(mutex);
  // Set once the process is exiting: services that end from then on skip
  // their handlers, whose owners may already be gone.
  bool exiting KEL_GUARDED_BY(mutex) = false;

  /// Stops every service and joins its thread without calling any of its
  /// handlers. Safe to call more than once.
  void stop_all_at_exit() KEL_EXCLUDES(mutex);
};

/// A std::unique_lock for waiting on a condition variable, annotated as a
/// scoped lock so that the analysis knows the mutex is held in its scope
/// (libc++ annotates std::lock_guard but not std::unique_lock). The wait
/// gives the mutex back meanwhile and has it again when it returns.
class KEL_SCOPED_CAPABILITY waiting_lock {
 public:
  explicit waiting_lock(std::mutex& mutex) KEL_ACQUIRE(mutex) : lock_(mutex) {}
  ~waiting_lock() KEL_RELEASE() = default;
  waiting_lock(const waiting_lock&) = delete;
  waiting_lock& operator=(const waiting_lock&) = delete;

  void wait(std::condition_variable& condition) { condition.wait(lock_); }

 private:
  std::unique_lock<std::mutex> lock_;
};

struct host_state {
  ~host_state();
  object_registry objects;
  service_registry services;
};

extern host_state state;

/// Makes sure that, when the process exits, services are stopped and held
/// objects released before the static objects of the runtime's users go.
void ensure_exit_hook();

}  // namespace kel_host
#pragma GCC visibility pop
