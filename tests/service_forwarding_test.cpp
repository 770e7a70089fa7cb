// The library hands the host exactly what it was given. This program defines
// its own host thread-service operations, which take precedence over the
// runtime's (the library reaches the host through the dynamic linker), records
// every call and forwards service creation to the real runtime.
#include "test_support.h"

#include <gtest/gtest.h>

#include <tuple>
#include <utility>

using namespace kel_test;

namespace {

// (operation, had a service, value, file, line): the value is the delay, interval or id, or for a job or
// handler whether one was given; "new" puts the service's name in place of the file.
using host_call = std::tuple<std::string, bool, unsigned long long, std::string, int>;
using host_calls = std::vector<host_call>;
std::mutex calls_mutex;
host_calls calls;

void record(std::string operation, const boost::shared_ptr<_kel_thread_service>& svc, unsigned long long value,
            std::string file = "", int line = 0) {
  std::lock_guard<std::mutex> lock(calls_mutex);
  calls.emplace_back(std::move(operation), svc != nullptr, value, std::move(file), line);
}

host_calls take_calls() {
  std::lock_guard<std::mutex> lock(calls_mutex);
  return std::exchange(calls, {});
}

}  // namespace

boost::shared_ptr<_kel_thread_service> kel_thread_service_new(std::string name) {
  record("new", nullptr, 0, name);
  static const auto create_real = next_definition(&kel_thread_service_new);
  return create_real(std::move(name));
}

void kel_thread_service_on_finished(boost::shared_ptr<_kel_thread_service> svc,
                                    std::function<void(boost::shared_ptr<_kel_thread_service>, int)> handler) {
  record("on_finished", svc, handler ? 1 : 0);
}

void kel_thread_service_set_join_handler(boost::shared_ptr<_kel_thread_service> svc,
                                         std::function<bool(boost::shared_ptr<_kel_thread_service>, int)> handler) {
  record("set_join_handler", svc, handler ? 1 : 0);
}

void kel_thread_service_exec(boost::shared_ptr<_kel_thread_service> svc, std::function<void()> job, std::string file,
                             int line) {
  record("exec", svc, job ? 1 : 0, file, line);
}

unsigned long long kel_thread_service_set_timeout(boost::shared_ptr<_kel_thread_service> svc,
                                                  std::function<void()> /*job*/, unsigned long long delay,
                                                  std::string file, int line) {
  record("set_timeout", svc, delay, file, line);
  return 0xFEEDFACECAFEBEEFull;
}

unsigned long long kel_thread_service_set_interval(boost::shared_ptr<_kel_thread_service> svc,
                                                   std::function<bool()> /*job*/, unsigned long long interval,
                                                   std::string file, int line) {
  record("set_interval", svc, interval, file, line);
  return 0x8000000000000001ull;
}

void kel_thread_service_clear_timeout(boost::shared_ptr<_kel_thread_service> svc, unsigned long long id) {
  record("clear_timeout", svc, id);
}

void kel_thread_service_clear_interval(boost::shared_ptr<_kel_thread_service> svc, unsigned long long id) {
  record("clear_interval", svc, id);
}

int kel_thread_service_run_once(boost::shared_ptr<_kel_thread_service> svc) {
  record("run_once", svc, 0);
  return 4242;
}

// Before init the empty handle is passed on; init creates one service with
// both handlers; then arguments and ids pass through unchanged, and releases
// are queued under the module's name.
TEST(ServiceForwarding, EveryCallHandsTheHostExactlyWhatItWasGiven) {
  kel_database_exec([] {}, "early.cpp", 1);
  kel_database_set_timeout([] {}, 5, "early.cpp", 2);
  kel_database_run_once();
  EXPECT_EQ(take_calls(), (host_calls{{"exec", false, 1, "early.cpp", 1},
                                      {"set_timeout", false, 5, "early.cpp", 2},
                                      {"run_once", false, 0, "", 0}}));

  kel_database_init();
  kel_database_init();
  EXPECT_EQ(take_calls(), (host_calls{{"new", false, 0, "database", 0},
                                      {"on_finished", true, 1, "", 0},
                                      {"set_join_handler", true, 1, "", 0}}));

  kel_database_exec([] {}, "jobs.cpp", 12);
  EXPECT_EQ(kel_database_set_timeout([] {}, 1234567890123ull, "timers.cpp", 34), 0xFEEDFACECAFEBEEFull);
  EXPECT_EQ(kel_database_set_interval([] { return true; }, 99, "intervals.cpp", 56), 0x8000000000000001ull);
  kel_database_clear_timeout(0xFEEDFACECAFEBEEFull);
  kel_database_clear_interval(0x8000000000000001ull);
  EXPECT_EQ(kel_database_run_once(), 4242);
  EXPECT_EQ(take_calls(), (host_calls{{"exec", true, 1, "jobs.cpp", 12},
                                      {"set_timeout", true, 1234567890123ull, "timers.cpp", 34},
                                      {"set_interval", true, 99, "intervals.cpp", 56},
                                      {"clear_timeout", true, 0xFEEDFACECAFEBEEFull, "", 0},
                                      {"clear_interval", true, 0x8000000000000001ull, "", 0},
                                      {"run_once", true, 0, "", 0}}));

  auto object = kel_sqlite_new(":memory:", "queued");
  stdout_capture refusal;
  kel_sqlite_destroy(object, "caller.cpp", 3);
  kel_sqlite_destroy(object, "caller.cpp", 4);  // refused: queues no second release
  EXPECT_EQ(take_calls(), (host_calls{{"exec", true, 1, kModule, 44}}));
}
