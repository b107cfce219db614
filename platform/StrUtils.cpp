// Strict integer parsing and ASCII-only text helpers.
#include "platform/StrUtils.h"

#include <cstring>

std::optional<int32_t> TryStrToInt(std::string_view text) {
    size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    if (pos == text.size()) return std::nullopt;
    int64_t value = 0;
    for (; pos < text.size(); ++pos) {
        char c = text[pos];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > int64_t(INT32_MAX) + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
    return int32_t(value);
}

int32_t StrToInt(std::string_view text) {
    if (auto value = TryStrToInt(text)) return *value;
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
}

int32_t StrToIntDef(std::string_view text, int32_t defaultValue) { return TryStrToInt(text).value_or(defaultValue); }

std::string IntToStr(int64_t value) { return std::to_string(value); }

std::string UpperCase(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return result;
}

std::string LowerCase(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return result;
}

std::string Trim(std::string_view text) {
    auto isBlank = [](char c) { return uint8_t(c) <= ' '; };
    size_t first = 0, last = text.size();
    while (first < last && isBlank(text[first])) ++first;
    while (last > first && isBlank(text[last - 1])) --last;
    return std::string(text.substr(first, last - first));
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    auto fold = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

int CompareStr(std::string_view a, std::string_view b) {
    size_t common = std::min(a.size(), b.size());
    if (common) {
        int c = std::memcmp(a.data(), b.data(), common);
        if (c != 0) return c;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}
