// Text helpers shared by the counter database and the web program: strict integer parsing,
// decimal formatting, ASCII-only upper-casing, trimming and case-insensitive comparison.
// Not locale-aware on purpose: every byte above 127 is left as it is.
#pragma once

#include "platform/Exception.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Raised when a text is not the number it should be.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A whole text of an optional sign and decimal digits within the 32-bit signed range, or
// nothing. No blanks, no hexadecimal, no empty text.
std::optional<int32_t> TryStrToInt(std::string_view text);
// As TryStrToInt; raises EConvertError "'<text>' is not a valid integer value" otherwise.
int32_t StrToInt(std::string_view text);
// As TryStrToInt; Default when the text is not a number.
int32_t StrToIntDef(std::string_view text, int32_t defaultValue);
std::string IntToStr(int64_t value);

// Letters a-z become A-Z; every other byte is kept.
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
// Drops leading and trailing bytes up to and including the blank (control characters too).
std::string Trim(std::string_view text);
// Equal ignoring the case of ASCII letters.
bool SameText(std::string_view a, std::string_view b);
// Byte-wise unsigned comparison, a prefix before its extensions: <0, 0 or >0.
int CompareStr(std::string_view a, std::string_view b);
