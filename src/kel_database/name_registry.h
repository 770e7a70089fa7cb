// Open Connection objects by name. Shared across threads (the service thread
// closes objects while program threads open and look up others), so it has
// a lock of its own; it may take an object's mutex inside it, and is never
// held together with the service mutex.
#pragma once

#include <boost/shared_ptr.hpp>

#include <map>
#include <mutex>
#include <string>

class _kel_sqlite;

class name_registry {
 public:
  /// Registers `object` under its name unless the name is taken.
  void add(const boost::shared_ptr<_kel_sqlite>& object);
  /// Unregisters the name only when it is registered to this very object.
  void remove(const boost::shared_ptr<_kel_sqlite>& object);
  /// The open object of that name with its statement finalized, or empty.
  boost::shared_ptr<_kel_sqlite> get(const std::string& name);

 private:
  std::mutex mutex_;
  std::map<std::string, boost::shared_ptr<_kel_sqlite>> entries_;
};
