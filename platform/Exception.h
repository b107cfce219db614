// The general exception class every failure of the system descends from, and printf-style
// message formatting for it.
#pragma once

#include <stdexcept>
#include <string>

class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

#include <cstdarg>

// printf-style formatting into a std::string.
std::string StrFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string VStrFormat(const char* format, va_list args);
