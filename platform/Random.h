// The process's random source for identifiers and nonces (new GUIDs, the journal's nonce):
// fast, seeded from the system once per thread. Not for secrets: those read the system's
// source directly (KeptSecret).
#pragma once

#include <cstdint>

// 64 random bits.
uint64_t RandomWord();
