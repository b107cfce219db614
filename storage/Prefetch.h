// Asking the processor for memory ahead of its use: the hint the engine's tables give for the
// atoms a walk reaches next. Nothing waits on it and nothing depends on it for correctness.
#pragma once

// The cache line at p is asked for; nothing waits for it. GCC counts a prefetch as no effect at
// all, so that a function doing nothing else passes for one without effects and its calls are
// dropped: the empty volatile statement keeps them.
inline void Prefetch(const void* p) {
    __builtin_prefetch(p);
    asm volatile("" : : "r"(p));
}
