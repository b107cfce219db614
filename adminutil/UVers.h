// File version of an executable: the version note a program carries in its ELF file (our
// stand-in for a version resource) and GetFileVersionString, which reads it from a given file.
#pragma once

#include <cstdint>
#include <string>

// The fixed version block: the file version as two 32-bit fields, major.minor in the most
// significant one and release.build in the least significant one, 16 bits each.
struct TFixedVersionInfo {
    uint32_t Signature;
    uint32_t FileVersionMS;
    uint32_t FileVersionLS;
};
inline constexpr uint32_t FixedVersionSignature = 0x4B565253; // the bytes "SRVK" in a little-endian file

// The ELF note that carries the block: owner name "Kestrow", type 1, in its own section.
inline constexpr char VersionNoteOwner[8] = "Kestrow";
inline constexpr uint32_t VersionNoteType = 1;

struct TVersionNote {
    uint32_t NameSize;
    uint32_t DescSize;
    uint32_t Type;
    char Name[sizeof(VersionNoteOwner)];
    TFixedVersionInfo Info;
};
static_assert(sizeof(TVersionNote) == 12 + 8 + 12, "an ELF note is packed in 4-byte words");

constexpr TVersionNote MakeVersionNote(uint16_t major, uint16_t minor, uint16_t release, uint16_t build) {
    return TVersionNote{sizeof(VersionNoteOwner),
                        sizeof(TFixedVersionInfo),
                        VersionNoteType,
                        {'K', 'e', 's', 't', 'r', 'o', 'w', '\0'},
                        {FixedVersionSignature, uint32_t(major) << 16 | minor, uint32_t(release) << 16 | build}};
}

// Places the version note of a program; use once, in the program's own sources (not in a
// library, where the linker would drop it).
#define KESTROW_VERSION_NOTE(major, minor, release, build)                                                             \
    [[gnu::section(".note.kestrow.version"), gnu::used,                                                                \
      gnu::aligned(4)]] static constexpr TVersionNote KestrowVersionNote =                                             \
        MakeVersionNote(major, minor, release, build)

// The file version of FileName as "major.minor.release.build". Raises Exception with
// "Невозможно извлечь информацию о размере структуры VersionInfo из модуля " + FileName when
// the file carries no version note (or cannot be read), and another Exception when the note's
// fixed block is damaged.
std::string GetFileVersionString(const std::string& FileName);
