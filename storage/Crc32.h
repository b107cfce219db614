// CRC-32 of the storage file: the reflected polynomial 0xEDB88320, started from a value the
// caller gives (always 0 here) and never inverted at the end, so crc("abc") is 0xCA6598D0.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

// Continues crc over the bytes.
void CRC32Update(uint32_t& crc, std::span<const uint8_t> bytes);
// The CRC of bytes started from 0.
uint32_t CRC32Of(std::span<const uint8_t> bytes);
uint32_t CRC32Of(std::string_view bytes);
