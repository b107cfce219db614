// Helpers for tests of the storage file layer: open a storage file in a temporary folder and
// patch its bytes on disk (to fake damage). Test-only.
#pragma once

#include "TempDir.h"

#include "storage/Crc32.h"
#include "storage/KVZError.h"
#include "storage/OstraFile.h"

#include <memory>
#include <string>
#include <vector>

inline constexpr TGUID TestClassGuid = GuidOf("{28C7266E-7262-431C-BF61-DCB4F19C8DC0}");
inline constexpr TGUID OtherDataClass = GuidOf("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");

inline std::unique_ptr<TOstraFile> OpenOstra(const std::string& name, TOpenMode mode, bool writeThrough = false) {
    const TGUID classes[] = {TestClassGuid};
    return std::make_unique<TOstraFile>(name, mode, classes, writeThrough);
}

// Overwrites bytes of a closed file in place.
inline void PatchFile(const std::string& name, uint64_t offset, const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> all = TTempDir::ReadBytes(name);
    if (all.size() < offset + bytes.size()) all.resize(offset + bytes.size());
    std::copy(bytes.begin(), bytes.end(), all.begin() + std::ptrdiff_t(offset));
    TTempDir::WriteBytes(name, all);
}

inline std::vector<uint8_t> LE(uint64_t value, int size) {
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    for (int i = 0; i < size; ++i) bytes[size_t(i)] = uint8_t(value >> (8 * i));
    return bytes;
}

// Recomputes the header CRC of a closed file after a patch.
inline void FixHeaderCRC(const std::string& name) {
    std::vector<uint8_t> all = TTempDir::ReadBytes(name);
    uint32_t crc = CRC32Of(std::span<const uint8_t>(all.data(), OstraHeader::CrcOffset));
    PatchFile(name, OstraHeader::CrcOffset, LE(crc, 4));
}

inline uint64_t FileLE(const std::vector<uint8_t>& bytes, uint64_t offset, int size) {
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = value << 8 | bytes[size_t(offset) + size_t(i)];
    return value;
}

// Runs f and returns the storage error it raises (code -1 with no error).
template <class F> EKVZError CatchKVZ(F&& f) {
    try {
        f();
    } catch (const EKVZError& error) {
        return error;
    }
    return EKVZError(-1, "no error");
}
