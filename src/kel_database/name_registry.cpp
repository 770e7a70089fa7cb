#include "name_registry.h"

#include "database_service.h"
#include "kel_assert.h"
#include "kel_sqlite.h"

void name_registry::add(const boost::shared_ptr<_kel_sqlite>& object) {
  std::string name = object->get_name();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!entries_) entries_.emplace();
  entries_->emplace(std::move(name), object);
}

void name_registry::remove(const boost::shared_ptr<_kel_sqlite>& object) {
  const std::string name = object->get_name();
  boost::shared_ptr<_kel_sqlite> released;  // dropped after the lock
  std::lock_guard<std::mutex> lock(mutex_);
  if (!entries_) return;
  const auto found = entries_->find(name);
  // Another object of the same name may hold the entry: it stays findable.
  if (found == entries_->end() || found->second != object) return;
  released.swap(found->second);
  entries_->erase(found);
}

boost::shared_ptr<_kel_sqlite> name_registry::get(const std::string& name) {
  // Takes objects' mutexes inside its own: never under the service mutex.
  KEL_ASSERT(!kel_database_service_mutex_held());
  boost::shared_ptr<_kel_sqlite> stale;  // dropped after the lock
  std::lock_guard<std::mutex> lock(mutex_);
  if (!entries_) return {};
  const auto found = entries_->find(name);
  if (found == entries_->end()) return {};
  if (!found->second->is_opened()) {
    stale.swap(found->second);
    entries_->erase(found);
    return {};
  }
  found->second->release_statement();
  return found->second;
}
