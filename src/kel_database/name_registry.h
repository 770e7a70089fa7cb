// Open Connection objects by name. Shared across threads (the service thread
// closes objects while program threads open and look up others), so it has
// a lock of its own; it may take an object's mutex inside it, and is never
// held together with the service mutex.
#pragma once

#include "thread_annotations.h"

#include <boost/shared_ptr.hpp>

#include <map>
#include <mutex>
#include <optional>
#include <string>

class _kel_sqlite;

class name_registry {
 public:
  // Nothing is built until the first add: the database service that holds
  // the registry is constant-initialised.
  constexpr name_registry() = default;
  name_registry(const name_registry&) = delete;
  name_registry& operator=(const name_registry&) = delete;

  /// Registers `object` under its name unless the name is taken.
  void add(const boost::shared_ptr<_kel_sqlite>& object) KEL_EXCLUDES(mutex_);
  /// Unregisters the name only when it is registered to this very object.
  void remove(const boost::shared_ptr<_kel_sqlite>& object) KEL_EXCLUDES(mutex_);
  /// The open object of that name with its statement finalized, or empty.
  boost::shared_ptr<_kel_sqlite> get(const std::string& name) KEL_EXCLUDES(mutex_);

 private:
  std::mutex mutex_;
  std::optional<std::map<std::string, boost::shared_ptr<_kel_sqlite>>> entries_ KEL_GUARDED_BY(mutex_);
};
