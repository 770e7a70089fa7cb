// Named thread services: one worker thread each, driven by a Boost.Asio
// io_context, with queued jobs, one-shot timers and repeating intervals.
//
// Callers (the database library among them) invoke these operations while
// holding their own non-recursive mutexes, so nothing here runs a job, timer,
// handler or even a dropped job's destructor on the calling thread; all of
// that happens on the service thread.
#include "kel_system.h"

#include "kel_host_state.h"

#include "thread_sanitizer.h"

#if defined(KEL_THREAD_SANITIZER) && !defined(BOOST_ASIO_DISABLE_FENCED_BLOCK)
// ThreadSanitizer does not model standalone fences. Asio's completion fences
// are redundant here: every handler reaches the service thread through the
// scheduler's or the reactor's mutex, which TSan does see.
#define BOOST_ASIO_DISABLE_FENCED_BLOCK
#endif

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/make_shared.hpp>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <list>
#include <map>
#include <vector>

namespace {

using service_ptr = boost::shared_ptr<_kel_thread_service>;
using finished_handler = std::function<void(service_ptr, int)>;
using join_handler = std::function<bool(service_ptr, int)>;
using stop_callback = std::function<void(service_ptr)>;

// The service whose thread this is; null on every other thread.
thread_local _kel_thread_service* current_service = nullptr;

std::chrono::milliseconds to_duration(unsigned long long milliseconds) {
  // A century is later than any real deadline and keeps the expiry
  // arithmetic of steady_clock far from overflowing.
  constexpr unsigned long long longest = 100ULL * 365 * 24 * 60 * 60 * 1000;
  return std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(std::min(milliseconds, longest)));
}

void report_error(const std::string& service, const std::string& what) {
  std::cerr << "\033[1;31mKEL-SYSTEM**ERROR**\033[0;0m: thread service \"" + service + "\": " + what + "\n"
            << std::flush;
}

// Runs a handler supplied by a user of the runtime; what it throws is
// reported instead of ending the service thread (or the process). `what()`
// names the handler and is only called when there is something to report:
// jobs run by the million, and naming each up front cost more than the job.
template <typename Describe, typename Call>
bool call_reporting_as(const std::string& service, const Describe& what, Call&& call) {
  try {
    call();
    return true;
  } catch (const std::exception& e) {
    report_error(service, what() + " threw: " + e.what());
  } catch (...) {
    report_error(service, what() + " threw a non-standard exception");
  }
  return false;
}

template <typename Call>
bool call_reporting(const std::string& service, const char* what, Call&& call) {
  return call_reporting_as(
      service, [what] { return std::string(what); }, std::forward<Call>(call));
}

}  // namespace

class __attribute__((visibility("hidden"))) _kel_thread_service {
 public:
  struct timer_entry {
    boost::shared_ptr<boost::asio::steady_timer> timer;
    std::function<void()> once;                       // a timeout's job
    boost::shared_ptr<std::function<bool()>> repeat;  // an interval's job
    std::chrono::milliseconds interval{0};
    std::string file;
    int line = 0;
  };

  explicit _kel_thread_service(std::string service_name)
      : name(std::move(service_name)), work(boost::asio::make_work_guard(io)) {}

  _kel_thread_service(const _kel_thread_service&) = delete;
  _kel_thread_service& operator=(const _kel_thread_service&) = delete;

  // Runs handlers until the service is stopped; the work guard keeps run()
  // from returning earlier. An idle thread sleeps in Asio's own wait. A
  // watch that kept the thread spinning for the next job was tried: under a
  // steady stream of jobs it made the worker take every job the moment it
  // was queued, so producer and worker traded the queue's cache lines once
  // per job, and one producer's jobs took longer than with a sleeping worker
  // that wakes to a batch.
  void run_handlers() { io.run(); }

  // Service thread only. Jobs are counted and reported here, with the place
  // they were queued from, rather than unwinding through io_context::run.
  void run_job(const std::function<void()>& job, const std::string& file, int line) {
    const auto what = [&] { return "job queued at " + file + ":" + std::to_string(line); };
    if (!call_reporting_as(name, what, job)) ++failures;
  }

  unsigned long long add_timer(timer_entry entry, std::chrono::milliseconds delay) KEL_EXCLUDES(mutex) {
    auto timer = boost::make_shared<boost::asio::steady_timer>(io, delay);
    std::lock_guard<std::mutex> lock(mutex);
    const unsigned long long id = next_id++;
    entry.timer = timer;
    timers.emplace(id, std::move(entry));
    arm(id, *timer);
    return id;
  }

  void clear_timer(unsigned long long id, bool interval) KEL_EXCLUDES(mutex) {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = timers.find(id);
    if (found == timers.end() || static_cast<bool>(found->second.repeat) != interval) return;
    found->second.timer->cancel();
    // The job (and what it captured) is destroyed on the service thread,
    // never on the caller's, which may hold a lock the destructor needs.
    boost::asio::post(io, [cleared = std::move(found->second)] {});
    timers.erase(found);
  }

  // A service stops once: a later request, from whichever thread, changes
  // nothing and its callback is never called. (Two threads shutting down at
  // once each call the join handler, which may request the stop each time.)
  void request_stop(stop_callback callback) KEL_EXCLUDES(mutex) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stop_requested) {
        // Kept unrun and dropped with the service's other callbacks on its
        // thread, not on this one, whose caller may hold a lock its captures
        // need. One refused after the thread has finished is dropped with
        // the service object, wherever its last owner lets it go.
        if (callback) refused_stop_callbacks.push_back(std::move(callback));
        return;
      }
      stop_requested = true;
      if (callback) stop_callbacks.push_back(std::move(callback));
    }
    io.stop();
  }

  // Runs the service until it is stopped, then its stop callbacks and its
  // finished handler. `self` keeps the service alive throughout, also when
  // a handler drops the last outside reference to it. First it joins and
  // drops its `predecessors`.
  static void thread_main(service_ptr self);

  const std::string name;
  boost::asio::io_context io;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work;

  std::mutex mutex;  // guards the members from here to `stop_requested`
  std::map<unsigned long long, timer_entry> timers KEL_GUARDED_BY(mutex);
  unsigned long long next_id KEL_GUARDED_BY(mutex) = 1;
  finished_handler on_finished KEL_GUARDED_BY(mutex);
  join_handler on_join KEL_GUARDED_BY(mutex);
  std::vector<stop_callback> stop_callbacks KEL_GUARDED_BY(mutex);
  std::vector<stop_callback> refused_stop_callbacks KEL_GUARDED_BY(mutex);  // of requests after the first
  bool stop_requested KEL_GUARDED_BY(mutex) = false;

  // Finished services still to be reaped, handed over by the call that
  // created this one before its thread starts; then the thread's alone.
  std::list<kel_host::service_entry> predecessors;

  // Only touched on the service thread.
  bool dropping = false;  // the service has ended: queued work is discarded
  int failures = 0;

 private:
  void arm(unsigned long long id, boost::asio::steady_timer& timer) KEL_REQUIRES(mutex) {
    timer.async_wait([this, id](const boost::system::error_code&) { fire(id); });
  }

  // The map, not the wait's error code, decides: a timer cleared after its
  // wait completed but before this ran is no longer in the map.
  void fire(unsigned long long id) KEL_EXCLUDES(mutex) {
    if (dropping) return;
    timer_entry done;  // declared before the lock: destroyed after it
    boost::shared_ptr<std::function<bool()>> repeat;
    boost::shared_ptr<boost::asio::steady_timer> timer;
    std::string file;
    int line = 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      auto found = timers.find(id);
      if (found == timers.end()) return;
      if (!found->second.repeat) {
        done = std::move(found->second);
        timers.erase(found);
      } else {
        repeat = found->second.repeat;
        timer = found->second.timer;
        file = found->second.file;
        line = found->second.line;
      }
    }
    if (!repeat) {
      run_job(done.once, done.file, done.line);
      return;
    }
    bool again = false;
    run_job([&] { again = (*repeat)(); }, file, line);
    std::lock_guard<std::mutex> lock(mutex);
    auto found = timers.find(id);
    if (found == timers.end() || found->second.timer != timer) return;
    if (again) {
      // From the previous expiry, so a slow job does not make the interval drift.
      timer->expires_at(timer->expiry() + found->second.interval);
      arm(id, *timer);
    } else {
      done = std::move(found->second);
      timers.erase(found);
    }
  }

  // After run() has returned: cancels the timers and lets every queued
  // handler complete without running its job, so what the jobs hold is
  // released now, on this thread.
  void drop_pending() KEL_EXCLUDES(mutex) {
    dropping = true;
    std::map<unsigned long long, timer_entry> cancelled;
    {
      std::lock_guard<std::mutex> lock(mutex);
      cancelled.swap(timers);
      for (auto& entry : cancelled) entry.second.timer->cancel();
    }
    io.restart();
    call_reporting(name, "discarding queued jobs", [this] { io.poll(); });
  }
};

namespace {
void join_all(std::list<kel_host::service_entry>& entries);
}

void _kel_thread_service::thread_main(service_ptr self) {
  // Work left in a finished service (jobs queued after it stopped, cleared
  // timers) goes with it, and what that work captured may call back into
  // the code that created this service, under that caller's own locks.
  // Dropped here, before this service runs anything, it never runs on the
  // caller's thread.
  {
    std::list<kel_host::service_entry> reaped;
    reaped.swap(self->predecessors);
    join_all(reaped);
  }
  current_service = self.get();
  for (;;) {
    // Jobs report their own exceptions; this only catches what escapes Asio.
    if (call_reporting(self->name, "the event loop", [&] { self->run_handlers(); })) break;
    ++self->failures;
  }
  self->drop_pending();

  std::vector<stop_callback> callbacks;
  std::vector<stop_callback> refused;
  finished_handler finished;
  join_handler join;
  {
    std::lock_guard<std::mutex> lock(self->mutex);
    callbacks.swap(self->stop_callbacks);
    refused.swap(self->refused_stop_callbacks);
    finished.swap(self->on_finished);
    join.swap(self->on_join);  // never called from now on; drop what it holds
  }
  refused.clear();  // never called either; gone before the finished handler runs
  auto& registry = kel_host::state.services;
  bool exiting = false;
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    exiting = registry.exiting;
  }
  if (!exiting) {
    for (auto& callback : callbacks) call_reporting(self->name, "stop callback", [&] { callback(self); });
    if (finished) call_reporting(self->name, "finished handler", [&] { finished(self, self->failures); });
  }
  callbacks.clear();
  finished = nullptr;
  join = nullptr;
  current_service = nullptr;

  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (auto& entry : registry.entries)
      if (entry.service == self) entry.finished = true;
  }
  registry.changed.notify_all();
}

namespace {

void join_all(std::list<kel_host::service_entry>& entries) {
  for (auto& entry : entries) {
    if (!entry.thread.joinable()) continue;
    // Only when the process exits from inside a job of this very service.
    if (entry.thread.get_id() == std::this_thread::get_id())
      entry.thread.detach();
    else
      entry.thread.join();
  }
}

// Takes the finished services off the registry.
void take_finished(kel_host::service_registry& registry, std::list<kel_host::service_entry>& done)
    KEL_REQUIRES(registry.mutex) {
  for (auto entry = registry.entries.begin(); entry != registry.entries.end();) {
    auto next = std::next(entry);
    if (entry->finished) done.splice(done.end(), registry.entries, entry);
    entry = next;
  }
}

// Joins the threads of finished services and drops the registry's references.
void reap_finished() {
  auto& registry = kel_host::state.services;
  std::list<kel_host::service_entry> done;
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    take_finished(registry, done);
  }
  join_all(done);
}

bool is_running(const kel_host::service_registry& registry, const _kel_thread_service* service)
    KEL_REQUIRES(registry.mutex) {
  return std::any_of(registry.entries.begin(), registry.entries.end(), [&](const kel_host::service_entry& entry) {
    return entry.service.get() == service && !entry.finished;
  });
}

// Whether any of `services` is still running. A loop, not std::any_of with a
// lambda: the analysis checks a lambda as a function of its own, which would
// not know that the caller holds the mutex.
bool any_running(const kel_host::service_registry& registry, const std::vector<service_ptr>& services)
    KEL_REQUIRES(registry.mutex) {
  for (const auto& service : services)
    if (is_running(registry, service.get())) return true;
  return false;
}

}  // namespace

void kel_host::service_registry::stop_all_at_exit() {
  std::list<service_entry> all;
  {
    std::lock_guard<std::mutex> lock(mutex);
    exiting = true;
    all.splice(all.end(), entries);
  }
  // A shutdown still waiting (on a detached thread) counts them as gone.
  changed.notify_all();
  for (auto& entry : all) entry.service->io.stop();
  join_all(all);
}

boost::shared_ptr<_kel_thread_service> kel_thread_service_new(std::string name) {
  kel_host::ensure_exit_hook();
  auto service = boost::make_shared<_kel_thread_service>(std::move(name));
  // Finished services are reaped by the new service's thread, not here: the
  // caller may hold a lock that what they still hold needs as it goes.
  auto& registry = kel_host::state.services;
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.entries.emplace_back(service);
  // After the one step that may fail: the finished services' threads are
  // still joinable, and must not go with a service that never started.
  take_finished(registry, service->predecessors);
  try {
    registry.entries.back().thread = std::thread(&_kel_thread_service::thread_main, service);
  } catch (...) {
    registry.entries.pop_back();
    registry.entries.splice(registry.entries.end(), service->predecessors);
    throw;
  }
  return service;
}

// Called for every job: flattened, so that moving the job and its file into
// the handler and posting it are inlined rather than out-of-line calls
// (libstdc++'s string move constructor among them).
__attribute__((flatten)) void kel_thread_service_exec(boost::shared_ptr<_kel_thread_service> svc,
                                                      std::function<void()> job, std::string file, int line) {
  if (!svc || !job) return;
  _kel_thread_service* service = svc.get();
  boost::asio::post(svc->io, [service, job = std::move(job), file = std::move(file), line] {
    if (!service->dropping) service->run_job(job, file, line);
  });
}

unsigned long long kel_thread_service_set_timeout(boost::shared_ptr<_kel_thread_service> svc, std::function<void()> job,
                                                  unsigned long long delay, std::string file, int line) {
  if (!svc || !job) return 0;
  _kel_thread_service::timer_entry entry;
  entry.once = std::move(job);
  entry.file = std::move(file);
  entry.line = line;
  return svc->add_timer(std::move(entry), to_duration(delay));
}

unsigned long long kel_thread_service_set_interval(boost::shared_ptr<_kel_thread_service> svc,
                                                   std::function<bool()> job, unsigned long long interval,
                                                   std::string file, int line) {
  if (!svc || !job) return 0;
  const std::chrono::milliseconds period = to_duration(interval);
  _kel_thread_service::timer_entry entry;
  entry.repeat = boost::make_shared<std::function<bool()>>(std::move(job));
  entry.interval = period;
  entry.file = std::move(file);
  entry.line = line;
  return svc->add_timer(std::move(entry), period);
}

void kel_thread_service_clear_timeout(boost::shared_ptr<_kel_thread_service> svc, unsigned long long id) {
  if (svc) svc->clear_timer(id, false);
}

void kel_thread_service_clear_interval(boost::shared_ptr<_kel_thread_service> svc, unsigned long long id) {
  if (svc) svc->clear_timer(id, true);
}

int kel_thread_service_run_once(boost::shared_ptr<_kel_thread_service> svc) {
  if (!svc || current_service != svc.get()) return -1;
  if (svc->dropping) return 0;
  return static_cast<int>(svc->io.poll_one());
}

void kel_thread_service_on_finished(boost::shared_ptr<_kel_thread_service> svc,
                                    std::function<void(boost::shared_ptr<_kel_thread_service>, int)> handler) {
  if (!svc) return;
  std::lock_guard<std::mutex> lock(svc->mutex);
  svc->on_finished.swap(handler);
  // The replaced handler goes when `handler` does, after the lock.
}

void kel_thread_service_set_join_handler(boost::shared_ptr<_kel_thread_service> svc,
                                         std::function<bool(boost::shared_ptr<_kel_thread_service>, int)> handler) {
  if (!svc) return;
  std::lock_guard<std::mutex> lock(svc->mutex);
  svc->on_join.swap(handler);
}

void kel_thread_service_stop(boost::shared_ptr<_kel_thread_service> svc,
                             std::function<void(boost::shared_ptr<_kel_thread_service>)> callback) {
  if (svc) svc->request_stop(std::move(callback));
}

void kel_system_shutdown() {
  auto& registry = kel_host::state.services;
  std::vector<service_ptr> asked;
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (const auto& entry : registry.entries)
      // A service cannot wait for its own thread to end.
      if (!entry.finished && entry.service.get() != current_service) asked.push_back(entry.service);
  }
  for (const auto& service : asked) {
    join_handler join;
    {
      std::lock_guard<std::mutex> lock(service->mutex);
      join = service->on_join;
    }
    bool handled = false;
    if (join) call_reporting(service->name, "join handler", [&] { handled = join(service, 0); });
    if (!handled) service->request_stop(nullptr);
  }
  {
    kel_host::waiting_lock lock(registry.mutex);
    while (any_running(registry, asked)) lock.wait(registry.changed);
  }
  asked.clear();
  reap_finished();
}

int kel_system_running_services() {
  auto& registry = kel_host::state.services;
  std::lock_guard<std::mutex> lock(registry.mutex);
  return static_cast<int>(std::count_if(registry.entries.begin(), registry.entries.end(),
                                        [](const kel_host::service_entry& entry) { return !entry.finished; }));
}
