#include "test_support.h"

#include <gtest/gtest.h>

#include <condition_variable>
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

assertion_log::assertion_log() {
  kel_system_set_assertion_recorder(
      [this](bool ok, const std::string& condition, const std::string& message, const std::string& file, int line) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back({ok, condition, message, file, line});
      },
      true);
}

assertion_log::~assertion_log() { kel_system_set_assertion_recorder(nullptr); }

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

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

bool run_on_service(std::function<void()> job, std::chrono::milliseconds timeout) {
  auto finished = std::make_shared<std::promise<void>>();
  std::future<void> done = finished->get_future();
  kel_database_exec(
      [job = std::move(job), finished] {
        job();
        finished->set_value();
      },
      __FILE__, __LINE__);
  return done.wait_for(timeout) == std::future_status::ready;
}

bool drain_service(std::chrono::milliseconds timeout) {
  return run_on_service([] {}, timeout);
}

bool shutdown_within(std::chrono::milliseconds timeout) {
  auto returned = std::make_shared<std::promise<void>>();
  std::future<void> done = returned->get_future();
  std::thread([returned] {
    kel_system_shutdown();
    returned->set_value();
  }).detach();
  return done.wait_for(timeout) == std::future_status::ready;
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
