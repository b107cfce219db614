// Small shared pieces of the storage engine: integer helpers, the warning report and the
// exception for a bad index into a dynamic table.
#pragma once

#include "platform/Exception.h"

#include <cstdint>
#include <string_view>

inline int32_t IfThen(bool condition, int32_t a, int32_t b) { return condition ? a : b; }
inline int32_t Min(int32_t a, int32_t b) { return a < b ? a : b; }
inline int32_t Max(int32_t a, int32_t b) { return a > b ? a : b; }
inline uint32_t MinCardinal(uint32_t a, uint32_t b) { return a < b ? a : b; }

// The warning a desktop program shows in a message box; here a line on stderr.
void ShowWarning(std::string_view text, std::string_view caption);

class EInvalidIndex : public Exception {
public:
    EInvalidIndex() : Exception("Invalid dynamic array index") {}
};
