// Whether the process still has only the thread it started with. While it does, shared counts
// and locks need no atomic read-modify-write instruction, which stalls the processor until every
// earlier load is done. The C library clears its flag before a second thread starts, and never
// sets it again, so an answer of false is final.
#pragma once

#if __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
inline bool OnlyThread() { return __libc_single_threaded; }
#else
inline bool OnlyThread() { return false; }
#endif
