// The smaller and the larger of two signed 32-bit integers, as the image codec uses them.
#pragma once

#include <cstdint>

inline int32_t IntMax(int32_t a, int32_t b) { return a > b ? a : b; }
inline int32_t IntMin(int32_t a, int32_t b) { return a < b ? a : b; }
