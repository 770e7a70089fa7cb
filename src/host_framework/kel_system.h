// The host framework runtime interface (libkel_system).
//
// Everything the database library needs from the framework it runs in: the
// object base class with its property map and framework reference, the
// assertion routine, and the named thread services. Programs of the framework
// and libkel_database link against libkel_system and call these functions
// through the dynamic linker, so a program may substitute any of them.
#pragma once

#include <boost/any.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#define KEL_SYSTEM_API __attribute__((visibility("default")))

/// Base of every framework object. Objects live only in boost::shared_ptr.
///
/// The virtual slots are in a fixed order that framework programs rely on:
/// destructor, (deleting destructor), to_object, object_tag, destroy, describe.
class KEL_SYSTEM_API _kel_object : public boost::enable_shared_from_this<_kel_object> {
 public:
  /// Every new object carries the property "object-destroyed" holding false.
  _kel_object();
  virtual ~_kel_object();

  /// A pointer to this object that shares ownership with its owners.
  virtual boost::shared_ptr<_kel_object> to_object();
  /// A short constant tag naming the object's class, e.g. "[kel_object]".
  virtual std::string object_tag();
  /// Ends the object's life in the framework: marks it destroyed and drops
  /// the framework's reference. Classes override it with their own protocol.
  virtual void destroy(std::string file, int line);
  /// Writes a one-line description of the object to standard output. Never
  /// locks `mutex` (callers may hold it).
  virtual void describe();

  /// True while the framework holds the reference taken by kel_object_ref.
  bool is_reffed();

  std::map<std::string, boost::any> properties;
  std::mutex mutex;

  _kel_object(const _kel_object&) = delete;
  _kel_object& operator=(const _kel_object&) = delete;

 private:
  friend void kel_object_ref(boost::shared_ptr<_kel_object> obj);
  friend void kel_object_unref_real(boost::shared_ptr<_kel_object> obj);
  std::atomic<bool> reffed_{false};
};

/// A named worker thread of the framework (opaque to its users).
class _kel_thread_service;

/// The framework keeps a strong reference to `obj` until kel_object_unref_real.
KEL_SYSTEM_API void kel_object_ref(boost::shared_ptr<_kel_object> obj);
/// Drops the framework's reference taken by kel_object_ref (no-op otherwise).
KEL_SYSTEM_API void kel_object_unref_real(boost::shared_ptr<_kel_object> obj);

/// True and a copy of the value in `value` when `key` exists in `properties`.
KEL_SYSTEM_API bool kel_property_get(std::map<std::string, boost::any>& properties, std::string key, boost::any& value);

/// Reports a failed condition (`ok` false) as one line on standard error and
/// returns; the caller carries on.
KEL_SYSTEM_API void kel_assertion_faild(bool ok, std::string condition, std::string message, std::string file,
                                        int line);

/// Thread services. Delays and intervals are milliseconds; timer and interval
/// ids are unique per service and never 0. An empty service handle is accepted
/// everywhere and does nothing (ids 0, run_once -1). No operation runs a job,
/// timer, interval or handler on the calling thread, except run_once.
KEL_SYSTEM_API boost::shared_ptr<_kel_thread_service> kel_thread_service_new(std::string name);
KEL_SYSTEM_API void kel_thread_service_exec(boost::shared_ptr<_kel_thread_service> svc, std::function<void()> job,
                                            std::string file, int line);
KEL_SYSTEM_API unsigned long long kel_thread_service_set_timeout(boost::shared_ptr<_kel_thread_service> svc,
                                                                 std::function<void()> job, unsigned long long delay,
                                                                 std::string file, int line);
/// The interval ends when its job returns false or when it is cleared.
KEL_SYSTEM_API unsigned long long kel_thread_service_set_interval(boost::shared_ptr<_kel_thread_service> svc,
                                                                  std::function<bool()> job,
                                                                  unsigned long long interval, std::string file,
                                                                  int line);
KEL_SYSTEM_API void kel_thread_service_clear_timeout(boost::shared_ptr<_kel_thread_service> svc, unsigned long long id);
KEL_SYSTEM_API void kel_thread_service_clear_interval(boost::shared_ptr<_kel_thread_service> svc,
                                                      unsigned long long id);
/// Lets one ready job of the service run, nested, when called from a job on
/// that service's own thread; returns how many ran (0 or 1). Jobs of a service
/// only ever run on its thread, so called from any other thread it runs
/// nothing and returns -1 (as for an empty handle).
KEL_SYSTEM_API int kel_thread_service_run_once(boost::shared_ptr<_kel_thread_service> svc);
/// `handler(svc, status)` runs on the service thread once it has finished;
/// status is 0, or the number of jobs that ended by throwing.
KEL_SYSTEM_API void kel_thread_service_on_finished(
    boost::shared_ptr<_kel_thread_service> svc,
    std::function<void(boost::shared_ptr<_kel_thread_service>, int)> handler);
/// `handler(svc, 0)` is called by kel_system_shutdown. When it returns false
/// (or no handler is set) the host stops the service itself.
KEL_SYSTEM_API void kel_thread_service_set_join_handler(
    boost::shared_ptr<_kel_thread_service> svc,
    std::function<bool(boost::shared_ptr<_kel_thread_service>, int)> handler);
/// The thread ends after the job in progress; jobs still queued are dropped.
/// Then, on the service thread, the stop callback runs, then the finished
/// handler. A service stops once: a further stop of the same service, from
/// any thread, changes nothing and its callback is never called. Never runs
/// anything from inside this call.
KEL_SYSTEM_API void kel_thread_service_stop(boost::shared_ptr<_kel_thread_service> svc,
                                            std::function<void(boost::shared_ptr<_kel_thread_service>)> callback);

/// The host's end of the program: calls the join handler of every running
/// service and blocks until each has finished (its finished handler has
/// returned). Must not be called from a service thread.
KEL_SYSTEM_API void kel_system_shutdown();

// Extensions of this runtime for tests and tools.

/// Number of thread services whose thread has not finished yet.
KEL_SYSTEM_API int kel_system_running_services();
