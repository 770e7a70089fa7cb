// A hint to the processor inside a short busy-wait loop: lets the sibling
// hardware thread run and saves power while a lock or a counter is watched.
// Internal to the runtime; not installed.
#pragma once

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}
