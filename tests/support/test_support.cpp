#include "test_support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <ostream>
#include <thread>

namespace kel_test {

bool operator==(const assertion_call& a, const assertion_call& b) {
  return a.ok == b.ok && a.condition == b.condition && a.message == b.message && a.file == b.file && a.line == b.line;
}

std::ostream& operator<<(std::ostream& out, const assertion_call& call) {
  return out << "{" << (call.ok ? "true" : "false") << ", \"" << call.condition << "\", \"" << call.message << "\", \""
             << call.file << "\", " << call.line << "}";
}

namespace {

// Who sees the assertion calls. `watchers` counts the live logs and silencers,
// so that with none the call goes straight on to the runtime, without the lock
// (also during exit, when the lock may be gone).
std::atomic<int> watchers{0};
std::mutex watch_mutex;
assertion_log* current_log = nullptr;
int silencers = 0;

}  // namespace

void* next_definition(void* own) {
  Dl_info info{};
  if (dladdr(own, &info) == 0 || info.dli_sname == nullptr || info.dli_saddr != own) {
    std::fprintf(stderr, "test support: no dynamic symbol for the function at %p\n", own);
    std::abort();
  }
  void* next = dlsym(RTLD_NEXT, info.dli_sname);
  if (next == nullptr) {
    std::fprintf(stderr, "test support: no library after the program defines %s\n", info.dli_sname);
    std::abort();
  }
  return next;
}

assertion_log::assertion_log() {
  std::lock_guard<std::mutex> lock(watch_mutex);
  outer_ = current_log;
  current_log = this;
  watchers.fetch_add(1, std::memory_order_acq_rel);
}

assertion_log::~assertion_log() {
  std::lock_guard<std::mutex> lock(watch_mutex);
  for (assertion_log** link = &current_log; *link != nullptr; link = &(*link)->outer_) {
    if (*link == this) {
      *link = outer_;
      break;
    }
  }
  watchers.fetch_sub(1, std::memory_order_acq_rel);
}

void assertion_log::record(assertion_call call) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back(std::move(call));
}

silent_assertions::silent_assertions() {
  std::lock_guard<std::mutex> lock(watch_mutex);
  ++silencers;
  watchers.fetch_add(1, std::memory_order_acq_rel);
}

silent_assertions::~silent_assertions() {
  std::lock_guard<std::mutex> lock(watch_mutex);
  --silencers;
  watchers.fetch_sub(1, std::memory_order_acq_rel);
}

std::vector<assertion_call> assertion_log::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<assertion_call> assertion_log::take() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<assertion_call> taken;
  taken.swap(calls_);
  return taken;
}

void assertion_log::clear() { take(); }

assertion_call db_open(bool ok, int line) { return {ok, "db!=nullptr", "database must be opened", kModule, line}; }
assertion_call db_closed(bool ok, int line) {
  return {ok, "db==nullptr", "Trying to open already opened database object", kModule, line};
}
assertion_call stmt_open(bool ok, int line) {
  return {ok, "stmt!=nullptr", "database statement must be opened", kModule, line};
}
assertion_call stmt_closed(bool ok, int line) {
  return {ok, "stmt==nullptr", "database statement must not be opened already", kModule, line};
}

stdout_capture::stdout_capture() { testing::internal::CaptureStdout(); }

stdout_capture::~stdout_capture() {
  if (active_) finish();
}

std::string stdout_capture::finish() {
  active_ = false;
  return testing::internal::GetCapturedStdout();
}

std::string null_object_line(const std::string& function) {
  return "\033[1;35mKEL-SYSTEM**WARNING**\033[0;0m: null object supplied: \033[0;35m" + function + "\033[0;0m\n";
}

void wait_until(const std::function<bool()>& done) {
  while (!done()) std::this_thread::sleep_for(1ms);
}

void run_on_service(std::function<void()> job) {
  auto finished = std::make_shared<std::promise<void>>();
  std::future<void> done = finished->get_future();
  kel_database_exec(
      [job = std::move(job), finished] {
        job();
        finished->set_value();
      },
      __FILE__, __LINE__);
  done.wait();
}

void drain_service() {
  run_on_service([] {});
}

temp_dir::temp_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kel_test_XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

std::string temp_dir::path(const std::string& file) const { return root_ + "/" + file; }

}  // namespace kel_test

// The host's assertion routine as this program sees it (see assertion_log).
void kel_assertion_faild(bool ok, std::string condition, std::string message, std::string file, int line) {
  using namespace kel_test;
  if (watchers.load(std::memory_order_acquire) != 0) {
    std::lock_guard<std::mutex> lock(watch_mutex);
    if (current_log != nullptr) current_log->record({ok, condition, message, file, line});
    if (current_log != nullptr || silencers > 0) return;
  }
  static const auto runtime_routine = next_definition(&kel_assertion_faild);
  runtime_routine(ok, std::move(condition), std::move(message), std::move(file), line);
}
