// The objects the database service keeps alive until their release, in order
// of registration. Membership tests are O(1) (an index beside the slots), so
// creating and releasing many objects stays linear.
#pragma once

#include <kel_system.h>

#include <boost/shared_ptr.hpp>

#include <cstddef>
#include <optional>
#include <unordered_map>
#include <vector>

class live_object_list {
 public:
  // Nothing is allocated or built until the first add: the database
  // service that holds the list is constant-initialised.
  constexpr live_object_list() = default;
  live_object_list(const live_object_list&) = delete;
  live_object_list& operator=(const live_object_list&) = delete;
  /// Releases the objects from the last registered to the first.
  ~live_object_list();

  /// Appends `object` unless it is already listed; false if it was.
  bool add(const boost::shared_ptr<_kel_object>& object);
  /// Takes `object` off the list and hands back the list's reference (empty
  /// when it was not listed), so that the caller decides where it is dropped.
  boost::shared_ptr<_kel_object> remove(const _kel_object* object);
  std::size_t size() const { return index_ ? index_->size() : 0; }
  bool empty() const { return size() == 0; }

 private:
  void compact();

  // Released objects leave an empty slot behind until the next compaction,
  // which keeps removal O(1) and the order of the others intact. Both are
  // built together, by the first add.
  std::optional<std::vector<boost::shared_ptr<_kel_object>>> slots_;
  std::optional<std::unordered_map<const _kel_object*, std::size_t>> index_;
};
