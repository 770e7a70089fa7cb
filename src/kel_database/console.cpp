#include "console.h"

#include <iostream>
#include <string>

// Numbers are turned into decimal text here rather than by the stream: the
// program shares std::cout, and format flags it leaves there (std::hex,
// std::showpos, ...) must not change what these lines say.
namespace kel_console {

void write_line(std::string text) {
  text += '\n';
  std::cout << text << std::flush;
}

void null_object(const char* function) {
  write_line(kWarningBanner + std::string("null object supplied: ") + kHighlight + function + kReset);
}

void repeated_destroy(const std::string& tag, const std::string& file, int line) {
  write_line(kWarningBanner + std::string("CALLING DESTROY MULTIPLE TIMES IS NOT AN OPTION ") + kHighlight + tag +
             kReset + "-" + file + ":" + std::to_string(line));
}

void failed_cast(const char* module, int line, const char* what) {
  write_line(kErrorBanner + std::string("bad cast destroy any: ") + module + ":" + std::to_string(line) + " - " + what);
}

}  // namespace kel_console
