// Reads a file's version note: walks the note sections of a 32- or 64-bit ELF file of either
// byte order. Every offset and size read from the file is checked against the file's length.
#include "adminutil/UVers.h"

#include "platform/Exception.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <optional>
#include <span>
#include <vector>

namespace {

const char* const NoVersionInfoText = "Невозможно извлечь информацию о размере структуры VersionInfo из модуля ";
const char* const BadVersionInfoText = "Damaged version information in module ";

// ELF identification and header fields used here.
constexpr uint8_t ElfMagic[4] = {0x7F, 'E', 'L', 'F'};
constexpr size_t EiClass = 4, EiData = 5;
constexpr uint8_t ElfClass32 = 1, ElfClass64 = 2;
constexpr uint8_t ElfDataLittle = 1, ElfDataBig = 2;
constexpr uint32_t SectionTypeNote = 7;
constexpr size_t ElfHeaderSize32 = 52, ElfHeaderSize64 = 64;
// Cap on one note section's size; version notes are tiny, anything this big is not ours.
constexpr uint64_t MaxNoteSectionSize = 1 << 20;

class TElfFile {
public:
    explicit TElfFile(const std::string& fileName) : in_(fileName, std::ios::binary) {
        if (!in_) return;
        in_.seekg(0, std::ios::end);
        size_ = uint64_t(std::max<std::streamoff>(in_.tellg(), 0));
    }

    // Reads count bytes at offset, or nothing when they lie outside the file.
    std::optional<std::vector<uint8_t>> Read(uint64_t offset, uint64_t count) {
        if (!in_ || offset > size_ || count > size_ - offset) return std::nullopt;
        std::vector<uint8_t> bytes(count);
        in_.seekg(std::streamoff(offset));
        in_.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(count));
        if (!in_) return std::nullopt;
        return bytes;
    }

private:
    std::ifstream in_;
    uint64_t size_ = 0;
};

class TFieldReader {
public:
    explicit TFieldReader(bool isBigEndian) : isBigEndian_(isBigEndian) {}
    uint64_t Get(std::span<const uint8_t> bytes, size_t offset, size_t width) const {
        uint64_t value = 0;
        for (size_t i = 0; i < width; ++i) {
            size_t index = isBigEndian_ ? i : width - 1 - i;
            value = value << 8 | bytes[offset + index];
        }
        return value;
    }

private:
    bool isBigEndian_;
};

uint64_t AlignUp4(uint64_t value) { return (value + 3) & ~uint64_t(3); }

// Looks for our note among the notes packed in one section.
std::optional<std::vector<uint8_t>> FindNoteIn(std::span<const uint8_t> notes, const TFieldReader& field) {
    constexpr size_t NoteHeaderSize = 12;
    size_t pos = 0;
    while (notes.size() - pos >= NoteHeaderSize) {
        uint64_t nameSize = field.Get(notes, pos, 4);
        uint64_t descSize = field.Get(notes, pos + 4, 4);
        uint64_t type = field.Get(notes, pos + 8, 4);
        uint64_t nameAt = pos + NoteHeaderSize;
        uint64_t descAt = nameAt + AlignUp4(nameSize);
        if (descAt > notes.size() || AlignUp4(descSize) > notes.size() - descAt) break;
        bool isOurs = type == VersionNoteType && nameSize == sizeof(VersionNoteOwner) &&
                      std::memcmp(&notes[nameAt], VersionNoteOwner, nameSize) == 0;
        if (isOurs) return std::vector<uint8_t>(&notes[descAt], &notes[descAt] + descSize);
        pos = size_t(descAt + AlignUp4(descSize));
    }
    return std::nullopt;
}

struct TElfLayout {
    bool Is64;
    TFieldReader Field;
};

std::optional<TElfLayout> ReadIdentification(std::span<const uint8_t> header) {
    if (!std::equal(std::begin(ElfMagic), std::end(ElfMagic), header.begin())) return std::nullopt;
    uint8_t elfClass = header[EiClass], data = header[EiData];
    if (elfClass != ElfClass32 && elfClass != ElfClass64) return std::nullopt;
    if (data != ElfDataLittle && data != ElfDataBig) return std::nullopt;
    return TElfLayout{elfClass == ElfClass64, TFieldReader(data == ElfDataBig)};
}

struct TFoundNote {
    std::vector<uint8_t> Desc;
    TFieldReader Field; // the file's byte order
};

// The descriptor of the version note, or nothing when the file is no ELF file or has none.
std::optional<TFoundNote> FindVersionNote(const std::string& fileName) {
    TElfFile file(fileName);
    auto header = file.Read(0, ElfHeaderSize64);
    if (!header) header = file.Read(0, ElfHeaderSize32);
    if (!header) return std::nullopt;
    auto layout = ReadIdentification(*header);
    if (!layout) return std::nullopt;
    const TFieldReader& field = layout->Field;
    bool is64 = layout->Is64;
    if (header->size() < (is64 ? ElfHeaderSize64 : ElfHeaderSize32)) return std::nullopt;

    uint64_t tableAt = is64 ? field.Get(*header, 0x28, 8) : field.Get(*header, 0x20, 4);
    uint64_t entrySize = field.Get(*header, is64 ? 0x3A : 0x2E, 2);
    uint64_t count = field.Get(*header, is64 ? 0x3C : 0x30, 2);
    uint64_t minEntrySize = is64 ? 0x40 : 0x28;
    if (tableAt == 0 || count == 0 || entrySize < minEntrySize) return std::nullopt;
    auto table = file.Read(tableAt, entrySize * count);
    if (!table) return std::nullopt;

    for (uint64_t i = 0; i < count; ++i) {
        std::span<const uint8_t> entry(table->data() + i * entrySize, entrySize);
        if (field.Get(entry, 4, 4) != SectionTypeNote) continue;
        uint64_t offset = is64 ? field.Get(entry, 0x18, 8) : field.Get(entry, 0x10, 4);
        uint64_t size = is64 ? field.Get(entry, 0x20, 8) : field.Get(entry, 0x14, 4);
        if (size > MaxNoteSectionSize) continue;
        auto notes = file.Read(offset, size);
        if (!notes) continue;
        if (auto desc = FindNoteIn(*notes, field)) return TFoundNote{std::move(*desc), field};
    }
    return std::nullopt;
}

} // namespace

std::string GetFileVersionString(const std::string& FileName) {
    auto note = FindVersionNote(FileName);
    if (!note) throw Exception(NoVersionInfoText + FileName);
    // The block's words are in the file's byte order.
    if (note->Desc.size() < sizeof(TFixedVersionInfo)) throw Exception(BadVersionInfoText + FileName);
    auto word = [&](size_t offset) { return uint32_t(note->Field.Get(note->Desc, offset, 4)); };
    TFixedVersionInfo info{word(offsetof(TFixedVersionInfo, Signature)),
                           word(offsetof(TFixedVersionInfo, FileVersionMS)),
                           word(offsetof(TFixedVersionInfo, FileVersionLS))};
    if (info.Signature != FixedVersionSignature) throw Exception(BadVersionInfoText + FileName);
    return std::to_string(info.FileVersionMS >> 16) + "." + std::to_string(info.FileVersionMS & 0xFFFF) + "." +
           std::to_string(info.FileVersionLS >> 16) + "." + std::to_string(info.FileVersionLS & 0xFFFF);
}
