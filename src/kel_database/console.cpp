#include "console.h"

#include <iostream>
#include <string>

// Numbers are turned into decimal text here rather than by the stream: the
// program shares std::cout, and format flags it leaves there (std::hex,
// std::showpos, ...) must not change what these lines say.
namespace kel_console {

void null_object(const char* function) {
  // The coloured name is built first and inserted at once, so that it cannot
  // be split by another thread's output.
  std::cout << kWarningBanner << "null object supplied: " << (kHighlight + std::string(function) + kReset) << std::endl;
}

void repeated_destroy(const std::string& tag, const std::string& file, int line) {
  std::cout << kWarningBanner << "CALLING DESTROY MULTIPLE TIMES IS NOT AN OPTION " << (kHighlight + tag + kReset)
            << "-" << file << ":" << std::to_string(line) << std::endl;
}

void failed_cast(const char* module, int line, const char* what) {
  std::cout << kErrorBanner << "bad cast destroy any: " << module << ":" << std::to_string(line) << " - " << what
            << std::endl;
}

}  // namespace kel_console
