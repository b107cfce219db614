// Builds icon files and animated cursors (RIFF "ACON") byte by byte for the tests and the fuzz
// seeds: little-endian integers, chunks, lists, the "anih" header. Header-only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace CursorFiles {

using Bytes = std::vector<uint8_t>;

inline void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
inline void Put16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

// An icon file (type 1) or cursor file (type 2) of one image: a 40-byte info header of Width x
// Height at Bits per pixel, then Rest (palette, colour rows, mask rows). A cursor's hot spot is
// (1, 0).
inline Bytes IconFileOf(uint16_t type, int width, int height, uint16_t bits, const Bytes& rest) {
    Bytes image;
    Put32(image, 40);
    Put32(image, uint32_t(width));
    Put32(image, uint32_t(2 * height)); // colour rows and mask rows
    Put16(image, 1);
    Put16(image, bits);
    for (int i = 0; i < 6; ++i) Put32(image, 0);
    image.insert(image.end(), rest.begin(), rest.end());
    Bytes file;
    Put16(file, 0);
    Put16(file, type);
    Put16(file, 1);
    file.insert(file.end(), {uint8_t(width), uint8_t(height), uint8_t(bits == 1 ? 2 : 0), 0});
    Put16(file, 1);
    Put16(file, type == 2 ? 0 : bits);
    Put32(file, uint32_t(image.size()));
    Put32(file, 22);
    file.insert(file.end(), image.begin(), image.end());
    return file;
}

// A 2x2 one-bit icon (type 1) or cursor (type 2): pixel (0,0) white, the others black,
// pixel (1,1) masked out.
inline Bytes IconFile(uint16_t type) {
    Bytes rest;
    Put32(rest, 0x000000);   // black
    Put32(rest, 0xFFFFFF);   // white
    Put32(rest, 0x00000000); // bottom row: black black
    Put32(rest, 0x00000080); // top row: white black
    Put32(rest, 0x00000040); // mask bottom row: (1,1) masked
    Put32(rest, 0x00000000);
    return IconFileOf(type, 2, 2, 1, rest);
}

inline Bytes Chunk(const std::string& id, const Bytes& data) {
    Bytes chunk(id.begin(), id.end());
    Put32(chunk, uint32_t(data.size()));
    chunk.insert(chunk.end(), data.begin(), data.end());
    if (data.size() & 1) chunk.push_back(0);
    return chunk;
}

inline Bytes List(const std::string& type, const std::vector<Bytes>& chunks) {
    Bytes data(type.begin(), type.end());
    for (const Bytes& c : chunks) data.insert(data.end(), c.begin(), c.end());
    return Chunk("LIST", data);
}

// The "anih" chunk; Steps 0 takes the frame count.
inline Bytes AniHeader(uint32_t frames, uint32_t rate, uint32_t flags = 1, uint32_t steps = 0) {
    Bytes h;
    for (uint32_t v : {36u, frames, steps ? steps : frames, 2u, 2u, 1u, 1u, rate, flags}) Put32(h, v);
    return Chunk("anih", h);
}

// A "rate" or "seq " chunk of one 32-bit value per step.
inline Bytes StepChunk(const std::string& id, const std::vector<uint32_t>& values) {
    Bytes data;
    for (uint32_t v : values) Put32(data, v);
    return Chunk(id, data);
}

inline Bytes Riff(const std::vector<Bytes>& chunks) {
    Bytes data = {'A', 'C', 'O', 'N'};
    for (const Bytes& c : chunks) data.insert(data.end(), c.begin(), c.end());
    return Chunk("RIFF", data);
}

} // namespace CursorFiles
