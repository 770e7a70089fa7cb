// The library hands the host exactly what it was given. This program defines
// its own host thread-service operations, which take precedence over the
// runtime's (the library reaches the host through the dynamic linker), records
// every call and forwards service creation to the real runtime.
#include "test_support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

using namespace kel_test;

namespace {

struct host_call {
  std::string operation;
  bool had_service;
  unsigned long long value;
  std::string file;
  int line;
};

std::mutex calls_mutex;
std::vector<host_call> calls;

void record(std::string operation, const boost::shared_ptr<_kel_thread_service>& svc, unsigned long long value,
            std::string file = "", int line = 0) {
  std::lock_guard<std::mutex> lock(calls_mutex);
  calls.push_back({std::move(operation), svc != nullptr, value, std::move(file), line});
}

std::vector<host_call> take_calls() {
  std::lock_guard<std::mutex> lock(calls_mutex);
  std::vector<host_call> taken;
  taken.swap(calls);
  return taken;
}

std::string created_name;

template <class Function>
Function real(const char* symbol) {
  void* found = dlsym(RTLD_NEXT, symbol);
  if (found == nullptr) std::abort();
  return reinterpret_cast<Function>(found);
}

}  // namespace

boost::shared_ptr<_kel_thread_service> kel_thread_service_new(std::string name) {
  created_name = name;
  record("new", nullptr, 0);
  using create = boost::shared_ptr<_kel_thread_service> (*)(std::string);
  static const create create_real =
      real<create>("_Z22kel_thread_service_newNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE");
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

TEST(ServiceForwarding, InitCreatesOneDatabaseServiceWithBothHandlers) {
  kel_database_init();
  kel_database_init();
  const auto made = take_calls();
  ASSERT_EQ(made.size(), 3u);
  EXPECT_EQ(created_name, "database");
  EXPECT_EQ(made[0].operation, "new");
  EXPECT_EQ(made[1].operation, "on_finished");
  EXPECT_EQ(made[2].operation, "set_join_handler");
  EXPECT_TRUE(made[1].had_service && made[2].had_service);
  EXPECT_EQ(made[1].value, 1u);
  EXPECT_EQ(made[2].value, 1u);
}

TEST(ServiceForwarding, ArgumentsAndIdsPassThroughUnchanged) {
  kel_database_init();
  take_calls();

  kel_database_exec([] {}, "jobs.cpp", 12);
  EXPECT_EQ(kel_database_set_timeout([] {}, 1234567890123ull, "timers.cpp", 34), 0xFEEDFACECAFEBEEFull);
  EXPECT_EQ(kel_database_set_interval([] { return true; }, 99, "intervals.cpp", 56), 0x8000000000000001ull);
  kel_database_clear_timeout(0xFEEDFACECAFEBEEFull);
  kel_database_clear_interval(0x8000000000000001ull);
  EXPECT_EQ(kel_database_run_once(), 4242);

  const auto made = take_calls();
  ASSERT_EQ(made.size(), 6u);
  const std::vector<std::string> operations = {"exec",          "set_timeout",    "set_interval",
                                               "clear_timeout", "clear_interval", "run_once"};
  for (size_t i = 0; i < made.size(); ++i) {
    EXPECT_EQ(made[i].operation, operations[i]);
    EXPECT_TRUE(made[i].had_service) << operations[i];
  }
  EXPECT_EQ(made[0].file, "jobs.cpp");
  EXPECT_EQ(made[0].line, 12);
  EXPECT_EQ(made[0].value, 1u);
  EXPECT_EQ(made[1].value, 1234567890123ull);
  EXPECT_EQ(made[1].file, "timers.cpp");
  EXPECT_EQ(made[1].line, 34);
  EXPECT_EQ(made[2].value, 99u);
  EXPECT_EQ(made[2].file, "intervals.cpp");
  EXPECT_EQ(made[2].line, 56);
  EXPECT_EQ(made[3].value, 0xFEEDFACECAFEBEEFull);
  EXPECT_EQ(made[4].value, 0x8000000000000001ull);
}

TEST(ServiceForwarding, BeforeInitTheEmptyHandleIsPassedOn) {
  kel_database_exec([] {}, "early.cpp", 1);
  kel_database_set_timeout([] {}, 5, "early.cpp", 2);
  kel_database_run_once();
  const auto made = take_calls();
  ASSERT_EQ(made.size(), 3u);
  for (const auto& call : made) EXPECT_FALSE(call.had_service) << call.operation;
}

TEST(ServiceForwarding, DestroyQueuesTheReleaseUnderTheModulesName) {
  kel_database_init();
  auto object = kel_sqlite_new(":memory:", "queued");
  take_calls();
  kel_sqlite_destroy(object, "caller.cpp", 3);
  const auto made = take_calls();
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(made[0].operation, "exec");
  EXPECT_EQ(made[0].file, kModule);
  EXPECT_EQ(made[0].line, 44);
}
