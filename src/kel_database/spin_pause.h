// A hint to the processor inside a short busy-wait loop: lets the sibling
// hardware thread run and saves power while a lock is watched. The library's
// own, so that it compiles against nothing of the runtime but its interface.
#pragma once

namespace kel_spin {

inline void pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

}  // namespace kel_spin
