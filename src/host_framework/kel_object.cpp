// The object base class, the framework's references to objects, and the
// process-wide state of the runtime.
#include "kel_system.h"

#include "kel_host_state.h"

#include <cstdlib>
#include <iostream>
#include <sstream>
#include <vector>

namespace kel_host {

host_state state;

namespace {

std::once_flag exit_hook_once;

void at_exit() {
  // Runs before the static objects of the runtime's users are destroyed:
  // no service thread may still be running jobs against them, and objects
  // whose destructors call back into their own library must go while that
  // library is intact.
  state.services.stop_all_at_exit();
  state.objects.release_all();
}

}  // namespace

void ensure_exit_hook() {
  std::call_once(exit_hook_once, [] { std::atexit(at_exit); });
}

void object_registry::release_all() {
  std::vector<boost::shared_ptr<_kel_object>> remaining;
  {
    std::lock_guard<std::mutex> lock(mutex);
    remaining.reserve(held.size());
    for (const auto& entry : held) remaining.push_back(entry.second);
  }
  // Through the ordinary unref path, so is_reffed() turns false before the
  // object's last owner goes.
  for (const auto& object : remaining) kel_object_unref_real(object);
}

host_state::~host_state() {
  services.stop_all_at_exit();
  objects.release_all();
}

}  // namespace kel_host

_kel_object::_kel_object() { properties["object-destroyed"] = boost::any(false); }

_kel_object::~_kel_object() = default;

boost::shared_ptr<_kel_object> _kel_object::to_object() { return shared_from_this(); }

std::string _kel_object::object_tag() { return "[kel_object]"; }

void _kel_object::destroy(std::string /*file*/, int /*line*/) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = properties.find("object-destroyed");
    if (found != properties.end()) {
      const bool* destroyed = boost::any_cast<bool>(&found->second);
      if (destroyed != nullptr && *destroyed) return;
    }
    properties["object-destroyed"] = boost::any(true);
  }
  // An object that no shared pointer owns has no framework reference to drop.
  boost::shared_ptr<_kel_object> self = weak_from_this().lock();
  if (self) kel_object_unref_real(self);
}

void _kel_object::describe() {
  // Formatted apart, then written as one insertion. Inserting a pointer into
  // std::cout switches the shared stream to hex for the moment of the write;
  // two threads describing objects at once could each restore the other's
  // hex setting and leave std::cout in hex for good, so that every later
  // number that anyone writes to it (the database service's count lines,
  // for one) comes out in hex. One insertion also keeps the line whole.
  std::ostringstream line;
  line << "object " << object_tag() << " @" << static_cast<const void*>(this) << '\n';
  std::cout << line.str() << std::flush;
}

bool _kel_object::is_reffed() { return reffed_.load(); }

void kel_object_ref(boost::shared_ptr<_kel_object> obj) {
  if (!obj) return;
  kel_host::ensure_exit_hook();
  auto& objects = kel_host::state.objects;
  std::lock_guard<std::mutex> lock(objects.mutex);
  objects.held.emplace(obj.get(), obj);
  obj->reffed_.store(true);
}

void kel_object_unref_real(boost::shared_ptr<_kel_object> obj) {
  if (!obj) return;
  boost::shared_ptr<_kel_object> released;
  {
    auto& objects = kel_host::state.objects;
    std::lock_guard<std::mutex> lock(objects.mutex);
    auto found = objects.held.find(obj.get());
    if (found == objects.held.end()) return;
    released.swap(found->second);
    objects.held.erase(found);
    obj->reffed_.store(false);
  }
  // `released` goes here, after the lock: the object's destructor may call
  // back into the runtime.
}

bool kel_property_get(std::map<std::string, boost::any>& properties, std::string key, boost::any& value) {
  auto found = properties.find(key);
  if (found == properties.end()) return false;
  value = found->second;
  return true;
}
