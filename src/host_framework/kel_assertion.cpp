// The assertion routine: failed conditions are reported on standard error.
// A program that wants to see every call (tests do) defines the routine
// itself; the library calls it through the dynamic linker.
#include "kel_system.h"

#include <iostream>

void kel_assertion_faild(bool ok, std::string condition, std::string message, std::string file, int line) {
  if (ok) return;
  // One insertion, newline included: other threads report at the same time.
  std::cerr << "\033[1;31mKEL-SYSTEM**ASSERTION**\033[0;0m: " + condition + " - " + message + " (" + file + ":" +
                   std::to_string(line) + ")\n"
            << std::flush;
}
