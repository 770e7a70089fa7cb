// Built at configure time against a framework's kel_system.h and linked
// against its libkel_system: every type, member and function of the host
// that this project uses, with exactly the types it uses them with. A missing
// or different declaration fails the compile, a missing definition the link,
// each naming what is missing.
#include <kel_system.h>

#include <boost/any.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

using service = boost::shared_ptr<_kel_thread_service>;

#define KEL_EXPECT_FUNCTION(name, signature)                                             \
  static_assert(std::is_same<decltype(&name), std::add_pointer<signature>::type>::value, \
                "kel_system.h must declare " #name " as " #signature)

KEL_EXPECT_FUNCTION(kel_object_ref, void(boost::shared_ptr<_kel_object>));
KEL_EXPECT_FUNCTION(kel_object_unref_real, void(boost::shared_ptr<_kel_object>));
KEL_EXPECT_FUNCTION(kel_property_get, bool(std::map<std::string, boost::any>&, std::string, boost::any&));
KEL_EXPECT_FUNCTION(kel_assertion_faild, void(bool, std::string, std::string, std::string, int));
KEL_EXPECT_FUNCTION(kel_thread_service_new, service(std::string));
KEL_EXPECT_FUNCTION(kel_thread_service_exec, void(service, std::function<void()>, std::string, int));
KEL_EXPECT_FUNCTION(kel_thread_service_set_timeout,
                    unsigned long long(service, std::function<void()>, unsigned long long, std::string, int));
KEL_EXPECT_FUNCTION(kel_thread_service_set_interval,
                    unsigned long long(service, std::function<bool()>, unsigned long long, std::string, int));
KEL_EXPECT_FUNCTION(kel_thread_service_clear_timeout, void(service, unsigned long long));
KEL_EXPECT_FUNCTION(kel_thread_service_clear_interval, void(service, unsigned long long));
KEL_EXPECT_FUNCTION(kel_thread_service_run_once, int(service));
KEL_EXPECT_FUNCTION(kel_thread_service_on_finished, void(service, std::function<void(service, int)>));
KEL_EXPECT_FUNCTION(kel_thread_service_set_join_handler, void(service, std::function<bool(service, int)>));
KEL_EXPECT_FUNCTION(kel_thread_service_stop, void(service, std::function<void(service)>));
KEL_EXPECT_FUNCTION(kel_system_shutdown, void());

static_assert(std::is_base_of<boost::enable_shared_from_this<_kel_object>, _kel_object>::value,
              "kel_system.h: _kel_object must derive from boost::enable_shared_from_this<_kel_object>");
static_assert(std::has_virtual_destructor<_kel_object>::value, "kel_system.h: _kel_object needs a virtual destructor");
static_assert(std::is_same<decltype(_kel_object::properties), std::map<std::string, boost::any>>::value,
              "kel_system.h: _kel_object::properties must be a std::map<std::string, boost::any>");
static_assert(std::is_same<decltype(_kel_object::mutex), std::mutex>::value,
              "kel_system.h: _kel_object::mutex must be a std::mutex");
static_assert(std::is_same<decltype(std::declval<_kel_object&>().is_reffed()), bool>::value,
              "kel_system.h: _kel_object::is_reffed() must return bool");

// The virtual functions a framework object overrides, with their types: a
// missing or different one fails its `override`.
class probe final : public _kel_object {
 public:
  boost::shared_ptr<_kel_object> to_object() override { return shared_from_this(); }
  std::string object_tag() override { return "[probe]"; }
  void destroy(std::string, int) override {}
  void describe() override { _kel_object::describe(); }
};

int main(int argc, char**) {
  // Never run: referenced, so that the link needs each definition.
  void* const used[] = {
      reinterpret_cast<void*>(&kel_object_ref),
      reinterpret_cast<void*>(&kel_object_unref_real),
      reinterpret_cast<void*>(&kel_property_get),
      reinterpret_cast<void*>(&kel_assertion_faild),
      reinterpret_cast<void*>(&kel_thread_service_new),
      reinterpret_cast<void*>(&kel_thread_service_exec),
      reinterpret_cast<void*>(&kel_thread_service_set_timeout),
      reinterpret_cast<void*>(&kel_thread_service_set_interval),
      reinterpret_cast<void*>(&kel_thread_service_clear_timeout),
      reinterpret_cast<void*>(&kel_thread_service_clear_interval),
      reinterpret_cast<void*>(&kel_thread_service_run_once),
      reinterpret_cast<void*>(&kel_thread_service_on_finished),
      reinterpret_cast<void*>(&kel_thread_service_set_join_handler),
      reinterpret_cast<void*>(&kel_thread_service_stop),
      reinterpret_cast<void*>(&kel_system_shutdown),
  };
  if (argc > 1000) {
    boost::shared_ptr<probe> object = boost::make_shared<probe>();
    object->_kel_object::destroy("", 0);
    return object->is_reffed() ? 1 : 0;
  }
  return used[argc % (sizeof used / sizeof used[0])] == nullptr;
}
