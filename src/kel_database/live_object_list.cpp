#include "live_object_list.h"

live_object_list::~live_object_list() {
  if (!slots_) return;
  while (!slots_->empty()) slots_->pop_back();
}

bool live_object_list::add(const boost::shared_ptr<_kel_object>& object) {
  if (!index_) {
    slots_.emplace();
    index_.emplace();
  }
  if (!index_->emplace(object.get(), slots_->size()).second) return false;
  try {
    slots_->push_back(object);
  } catch (...) {
    index_->erase(object.get());
    throw;
  }
  return true;
}

boost::shared_ptr<_kel_object> live_object_list::remove(const _kel_object* object) {
  if (!index_) return {};
  const auto found = index_->find(object);
  if (found == index_->end()) return {};
  boost::shared_ptr<_kel_object> released;
  released.swap((*slots_)[found->second]);
  index_->erase(found);
  // Trailing empty slots go at once; the rest when they outnumber the objects.
  while (!slots_->empty() && !slots_->back()) slots_->pop_back();
  if (slots_->size() > 64 && slots_->size() > 2 * index_->size()) compact();
  return released;
}

void live_object_list::compact() {
  std::size_t kept = 0;
  for (auto& slot : *slots_) {
    if (!slot) continue;
    (*index_)[slot.get()] = kept;
    (*slots_)[kept++].swap(slot);
  }
  slots_->resize(kept);
}
