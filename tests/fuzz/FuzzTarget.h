// What every fuzz target shares: the libFuzzer entry point's declaration and the view of its
// input as bytes or text. Each Fuzz*.cpp defines the entry point once; the same file builds as
// a libFuzzer program (clang) and as a replay program run by ctest over the seed corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size);

inline std::span<const uint8_t> FuzzBytes(const uint8_t* data, size_t size) { return {data, size}; }
inline std::string_view FuzzText(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}
