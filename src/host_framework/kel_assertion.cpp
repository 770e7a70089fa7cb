// The assertion routine and its optional recorder.
#include "kel_system.h"

#include "kel_host_state.h"

#include <boost/make_shared.hpp>

#include <iostream>

void kel_assertion_faild(bool ok, std::string condition, std::string message, std::string file, int line) {
  // Hot path: the library checks its state on nearly every call, almost
  // always successfully. Without a recorder that costs one atomic load.
  auto& assertions = kel_host::state.assertions;
  bool quiet = false;
  if (assertions.recorder_installed.load(std::memory_order_acquire)) {
    boost::shared_ptr<const kel_assertion_recorder> recorder;
    {
      std::lock_guard<std::mutex> lock(assertions.mutex);
      recorder = assertions.recorder;
      quiet = assertions.quiet;
    }
    // Called without the lock, so a recorder may assert or swap itself out.
    if (recorder) (*recorder)(ok, condition, message, file, line);
  }
  if (ok || quiet) return;
  // One insertion, newline included: other threads report at the same time.
  std::cerr << "\033[1;31mKEL-SYSTEM**ASSERTION**\033[0;0m: " + condition + " - " + message + " (" + file + ":" +
                   std::to_string(line) + ")\n"
            << std::flush;
}

void kel_system_set_assertion_recorder(kel_assertion_recorder recorder, bool quiet) {
  boost::shared_ptr<const kel_assertion_recorder> installed;
  if (recorder) installed = boost::make_shared<const kel_assertion_recorder>(std::move(recorder));
  auto& assertions = kel_host::state.assertions;
  {
    std::lock_guard<std::mutex> lock(assertions.mutex);
    installed.swap(assertions.recorder);
    assertions.quiet = assertions.recorder && quiet;
    assertions.recorder_installed.store(static_cast<bool>(assertions.recorder), std::memory_order_release);
  }
  // `installed` now holds the previous recorder; it goes after the lock.
}
