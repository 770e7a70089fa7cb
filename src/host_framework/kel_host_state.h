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
  std::unordered_map<_kel_object*, boost::shared_ptr<_kel_object>> held;

  /// Drops every reference the framework still holds. The objects are
  /// destroyed without the registry lock held.
  void release_all();
};

struct service_entry {
  explicit service_entry(boost::shared_ptr<_kel_thread_service> s) : service(std::move(s)) {}
  boost::shared_ptr<_kel_thread_service> service;
  std::thread thread;
  bool finished = false;
};

struct service_registry {
  std::mutex mutex;
  std::condition_variable changed;
  std::list<service_entry> entries;
  // Set once the process is exiting: services that end from then on skip
  // their handlers, whose owners may already be gone.
  bool exiting = false;

  /// Stops every service and joins its thread without calling any of its
  /// handlers. Safe to call more than once.
  void stop_all_at_exit();
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
