// The library's console lines. Every diagnostic and status line goes to
// standard output as one line: a newline, then a flush.
#pragma once

#include <string>

namespace kel_console {

inline constexpr char kWarningBanner[] = "\033[1;35mKEL-SYSTEM**WARNING**\033[0;0m: ";
inline constexpr char kErrorBanner[] = "\033[1;31mKEL-SYSTEM**ERROR**\033[0;0m: ";
inline constexpr char kHighlight[] = "\033[0;35m";
inline constexpr char kReset[] = "\033[0;0m";

/// Writes `text` and a newline to std::cout in one insertion, then flushes.
/// Threads write these lines at the same time (destroys on callers' threads,
/// releases on the service thread); one insertion keeps each line whole,
/// where a line written piece by piece could be split by another's.
void write_line(std::string text);

/// The warning for an empty handle, naming the exported function called.
void null_object(const char* function);
/// The warning for a second destroy of the object tagged `tag`.
void repeated_destroy(const std::string& tag, const std::string& file, int line);
/// The error for an "object-destroyed" property that is not a bool.
void failed_cast(const char* module, int line, const char* what);

}  // namespace kel_console
