#include "kel_assert.h"

#include <cstdio>
#include <cstdlib>

namespace kel_assert_detail {

void failed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "kel_database: internal invariant broken: %s (%s:%d)\n", condition, file, line);
  std::fflush(stderr);
  std::abort();
}

}  // namespace kel_assert_detail
