// Message texts of the image codec, kept by their string-table numbers. Texts only, no code.
#pragma once

#include <string_view>

constexpr int SNotImplementedId = 61257;
constexpr std::string_view SNotImplemented = "Function not yet implemented";
