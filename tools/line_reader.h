// Reads standard input line by line, and stops waiting for input when a
// SIGINT comes.
#pragma once

#include <cstddef>
#include <string>

namespace kel_sql {

class line_reader {
 public:
  enum class result { line, end, interrupted };

  explicit line_reader(int fd) : fd_(fd) {}

  // The next line, without its line break (the last line of the input may
  // lack one). `interrupted` when a SIGINT is pending before the line is
  // complete: waiting for input blocks SIGINT and lets it in only inside
  // the wait (ppoll or pselect), so a signal that comes just before the
  // wait cannot be missed. What was read of the line is kept; discard()
  // drops it.
  result next(std::string& line);

  // Drops whatever was read and not returned yet.
  void discard();

 private:
  int fd_;
  std::string buffer_;
  std::size_t begin_ = 0;    // of the next line in buffer_
  std::size_t scanned_ = 0;  // no line break in buffer_[begin_, scanned_)
  bool ended_ = false;
};

}  // namespace kel_sql
