// Message formatting for exceptions.
#include "platform/Exception.h"

#include <cstdarg>
#include <cstdio>

std::string VStrFormat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (length > 0) {
        text.resize(size_t(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(size_t(length));
    }
    return text;
}

std::string StrFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = VStrFormat(format, args);
    va_end(args);
    return text;
}
