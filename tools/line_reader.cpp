#include "line_reader.h"

#include "interrupt.h"

#include <signal.h>
#include <unistd.h>

#if defined(__linux__)
#include <poll.h>
#else
#include <sys/select.h>
#endif

#include <cerrno>

namespace kel_sql {
namespace {

constexpr std::size_t kChunk = std::size_t{64} * 1024;

// Waits until `fd` can be read or a signal comes, with `mask` as the signal
// mask during the wait only. Linux has ppoll, which ThreadSanitizer also
// knows as a call that blocks, so it runs a signal handler inside it (it
// defers handlers elsewhere until the interrupted call returns, and pselect
// would then wait on); macOS has pselect.
int wait_readable(int fd, const sigset_t* mask) {
#if defined(__linux__)
  pollfd watched{fd, POLLIN, 0};
  return ppoll(&watched, 1, nullptr, mask);
#else
  fd_set watched;
  FD_ZERO(&watched);
  FD_SET(fd, &watched);
  return pselect(fd + 1, &watched, nullptr, nullptr, nullptr, mask);
#endif
}

// Waits until `fd` can be read, with SIGINT blocked except during the wait
// itself. False when a SIGINT is pending, before or during the wait.
bool wait_for_input(int fd) {
  sigset_t interrupt_only;
  sigemptyset(&interrupt_only);
  sigaddset(&interrupt_only, SIGINT);
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &interrupt_only, &before);
  bool ready = false;
  while (!interrupt_pending()) {
    sigset_t during = before;
    sigdelset(&during, SIGINT);
    if (wait_readable(fd, &during) >= 0 || errno != EINTR) {
      // Readable, at its end, or in error: read() tells which.
      ready = true;
      break;
    }
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return ready;
}

}  // namespace

line_reader::result line_reader::next(std::string& line) {
  for (;;) {
    const std::size_t end = buffer_.find('\n', scanned_);
    if (end != std::string::npos) {
      line.assign(buffer_, begin_, end - begin_);
      begin_ = scanned_ = end + 1;
      return result::line;
    }
    scanned_ = buffer_.size();
    if (ended_) {
      if (begin_ == buffer_.size()) return result::end;
      line.assign(buffer_, begin_, std::string::npos);
      begin_ = scanned_ = buffer_.size();
      return result::line;
    }
    // What was returned goes before more is read, so a long input costs
    // its length, not its length times its lines.
    buffer_.erase(0, begin_);
    scanned_ -= begin_;
    begin_ = 0;
    if (!wait_for_input(fd_)) return result::interrupted;
    const std::size_t had = buffer_.size();
    buffer_.resize(had + kChunk);
    const ssize_t got = read(fd_, &buffer_[had], kChunk);
    buffer_.resize(had + (got > 0 ? static_cast<std::size_t>(got) : 0));
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) ended_ = true;
  }
}

void line_reader::discard() {
  buffer_.clear();
  begin_ = scanned_ = 0;
}

}  // namespace kel_sql
