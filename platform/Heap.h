// Making heap memory resident ahead of use. Not an allocator: malloc stays as it is.
#pragma once

#include <cstddef>

// Makes about `bytes` of the heap's next growth resident in one system call, where touching
// fresh pages one by one costs a page fault each (on virtual machines ten times the cost of
// mapping them ahead). For a process about to build something of a size it can estimate; the
// memory stays with the heap after. Does nothing where the system or the allocator offers no
// way to do it.
void PrepareHeap(size_t bytes);
