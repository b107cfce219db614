// GIF LZW encoder and decoder. The encoder finds strings through an open-addressed hash of
// (prefix, pixel) keys; the decoder keeps each code's first pixel and length so that strings
// are written straight out without a pending-pixel stack.
#include "imaging/GifLzw.h"

#include "imaging/GifCodec.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace {

constexpr int MaxCodeBits = 12;
constexpr unsigned MaxCodes = 1u << MaxCodeBits; // 4096
constexpr unsigned LastCodeBeforeClear = 4094;   // assigning it makes the encoder clear
constexpr unsigned SubBlockBytes = 255;

// ---- encoder ---------------------------------------------------------------------------------

// Appends one data sub-block: its length byte and the bytes.
void PutSubBlock(std::vector<uint8_t>& out, const uint8_t* bytes, unsigned count) {
    out.push_back(uint8_t(count));
    out.insert(out.end(), bytes, bytes + count);
}

// The string table of the encoder: key (prefix << 8 | pixel) -> code. Entries pack the 20-bit
// key above the 12-bit code; key 0xFFFFF never occurs because code 4095 is never assigned.
class TStringTable {
public:
    static constexpr unsigned SlotBits = 13;
    static constexpr unsigned Slots = 1u << SlotBits;
    static constexpr uint32_t Empty = 0xFFFFFFFFu;

    TStringTable() { Clear(); }
    void Clear() { std::memset(Table.data(), 0xFF, sizeof(Table)); }

    // Returns the code of the key, or -1 with Slot set to where it belongs.
    int Find(uint32_t key, unsigned& slot) const {
        unsigned h = (key * 0x9E3779B1u) >> (32 - SlotBits);
        for (;;) {
            uint32_t e = Table[h];
            if (e == Empty) {
                slot = h;
                return -1;
            }
            if ((e >> 12) == key) return int(e & 0xFFF);
            h = (h + 1) & (Slots - 1);
        }
    }
    void Insert(unsigned slot, uint32_t key, unsigned code) { Table[slot] = (key << 12) | code; }

private:
    std::array<uint32_t, Slots> Table;
};

void UnpackRow(const uint8_t* row, int width, int bitCount, uint8_t* out) {
    if (bitCount == 4) {
        for (int x = 0; x < width; ++x) out[x] = (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
    } else {
        for (int x = 0; x < width; ++x) out[x] = (row[x >> 3] >> (7 - (x & 7))) & 1;
    }
}

// Percent of done out of total, as a whole number.
int Percent(uint64_t done, uint64_t total) { return total == 0 ? 100 : int(done * 100 / total); }

// Encodes the rows top-down after the minimum code size byte already in Out. Codes are packed
// least significant bit first into 255-byte sub-blocks. All coder state is held in locals whose
// address never escapes, so that the byte stores of the packing cannot force it to memory.
void EncodeRows(std::vector<uint8_t>& out, int initialWidth, const TPixelLayout& layout, std::span<const uint8_t> rows,
                uint64_t rowBytes, const TProgressEvent& progress) {
    auto table = std::make_unique<TStringTable>();
    std::array<uint8_t, SubBlockBytes> block;
    unsigned fill = 0;
    uint64_t acc = 0;
    int bits = 0;
    const unsigned clearCode = 1u << (initialWidth - 1);
    const unsigned endCode = clearCode + 1;
    int width = initialWidth;
    unsigned limit = 1u << initialWidth;
    unsigned lastCode = endCode;
    unsigned prefix = 0;
    bool pending = false; // a string of at least one pixel is open

    auto put = [&](unsigned code) __attribute__((always_inline)) {
        acc |= uint64_t(code) << bits;
        bits += width;
        while (bits >= 8) {
            block[fill++] = uint8_t(acc);
            acc >>= 8;
            bits -= 8;
            if (fill == SubBlockBytes) {
                PutSubBlock(out, block.data(), fill);
                fill = 0;
            }
        }
    };

    put(clearCode);
    const int height = std::max(layout.Height, 0);
    const size_t pixelsPerRow = size_t(std::max(layout.Width, 0));
    std::vector<uint8_t> unpacked(layout.BitCount == 8 ? 0 : pixelsPerRow);
    for (int r = 0; r < height; ++r) {
        const uint8_t* row = rows.data() + size_t(height - 1 - r) * rowBytes;
        if (layout.BitCount != 8) {
            UnpackRow(row, int(pixelsPerRow), layout.BitCount, unpacked.data());
            row = unpacked.data();
        }
        for (size_t i = 0; i < pixelsPerRow; ++i) {
            unsigned p = row[i];
            if (!pending) {
                prefix = p;
                pending = true;
                continue;
            }
            uint32_t key = (prefix << 8) | p;
            unsigned slot;
            int code = table->Find(key, slot);
            if (code >= 0) {
                prefix = unsigned(code);
                continue;
            }
            put(prefix);
            ++lastCode;
            table->Insert(slot, key, lastCode);
            prefix = p;
            if (lastCode >= limit) {
                limit <<= 1;
                ++width;
            } else if (lastCode >= LastCodeBeforeClear) {
                // The one-pixel string and the clear code, both at the current width.
                put(prefix);
                put(clearCode);
                pending = false;
                lastCode = endCode;
                width = initialWidth;
                limit = 1u << initialWidth;
                table->Clear();
            }
        }
        if (progress) progress(TProgressStage::psRunning, Percent(uint64_t(r + 1), uint64_t(height)), {});
    }
    if (pending) put(prefix);
    put(endCode);
    if (bits > 0) block[fill++] = uint8_t(acc);
    if (fill > 0) PutSubBlock(out, block.data(), fill);
    out.push_back(0);
}

// ---- decoder ---------------------------------------------------------------------------------

// Puts decoded pixels into a bottom-up BMP buffer, row by row or in the four interlace passes.
class TPixelWriter {
public:
    TPixelWriter(const TPixelLayout& layout, bool interlaced, std::span<uint8_t> pixels)
        : L(layout), Interlaced(interlaced), Pixels(pixels), RowBytes(DIBRowBytes(layout.Width, layout.BitCount)),
          Mask(uint8_t((1u << layout.BitCount) - 1)) {
        if (L.Width <= 0 || L.Height <= 0) Row = L.Height > 0 ? unsigned(L.Height) : 0; // nothing to write
    }

    bool Done() const { return Row >= unsigned(std::max(L.Height, 0)) || L.Width <= 0; }
    // True for 8-bit pictures: one byte per pixel, written straight into the rows.
    bool ByteRows() const { return L.BitCount == 8; }
    int Width() const { return L.Width; }

    // The start of the current row, or null when every row is written.
    uint8_t* LineStart() {
        if (Done()) return nullptr;
        return Pixels.data() + size_t(L.Height - 1 - int(Row)) * RowBytes;
    }
    // Moves on to the next row (after a caller filled the current one through LineStart).
    void FinishRow() { NextRow(); }

    void Put(const uint8_t* src, size_t n) {
        while (n > 0 && !Done()) {
            uint8_t* line = Pixels.data() + size_t(L.Height - 1 - int(Row)) * RowBytes;
            size_t take = std::min<size_t>(n, size_t(L.Width - Column));
            if (L.BitCount == 8) {
                std::memcpy(line + Column, src, take);
            } else {
                for (size_t k = 0; k < take; ++k) PutOne(line, Column + int(k), src[k] & Mask);
            }
            Column += int(take);
            src += take;
            n -= take;
            if (Column == L.Width) NextRow();
        }
    }

private:
    void PutOne(uint8_t* line, int x, uint8_t v) {
        if (L.BitCount == 4) {
            if (x & 1)
                line[x >> 1] |= v;
            else
                line[x >> 1] |= uint8_t(v << 4);
        } else if (v) {
            line[x >> 3] |= uint8_t(0x80 >> (x & 7));
        }
    }

    void NextRow() {
        static constexpr unsigned Start[4] = {0, 4, 2, 1};
        static constexpr unsigned Step[4] = {8, 8, 4, 2};
        Column = 0;
        if (!Interlaced) {
            ++Row;
            return;
        }
        Row += Step[Pass];
        while (Row >= unsigned(L.Height) && Pass < 3) {
            ++Pass;
            Row = Start[Pass];
        }
    }

    TPixelLayout L;
    bool Interlaced;
    std::span<uint8_t> Pixels;
    uint64_t RowBytes;
    uint8_t Mask;
    unsigned Row = 0;
    int Column = 0;
    int Pass = 0;
};

// Where the next pixel of an 8-bit picture goes: the current row and the column in it.
struct TRowCursor {
    uint8_t* Line;
    size_t Column;
};

// Puts N pixels: for 8-bit pictures through the cursor (crossing rows as needed), for the
// others through the writer. Returns the cursor after them (Line null when all rows are done).
TRowCursor Emit(TRowCursor cursor, const uint8_t* src, size_t n, TPixelWriter& writer, size_t lineWidth) {
    if (!writer.ByteRows()) {
        writer.Put(src, n);
        return cursor;
    }
    while (n > 0 && cursor.Line) {
        size_t take = std::min(n, lineWidth - cursor.Column);
        std::memcpy(cursor.Line + cursor.Column, src, take);
        cursor.Column += take;
        src += take;
        n -= take;
        if (cursor.Column == lineWidth) {
            writer.FinishRow();
            cursor = {writer.LineStart(), 0};
        }
    }
    return cursor;
}

class TLZWDecoder {
public:
    TLZWDecoder(int codeSize) : CodeSize(codeSize), ClearCode(1u << codeSize), EndCode(ClearCode + 1) {
        for (unsigned c = 0; c < ClearCode; ++c) {
            Table[c] = {0, 1, uint8_t(c), uint8_t(c)};
        }
        Restart();
    }

    // Runs until the end code, the end of the data, the last row, or damage. Returns false on
    // damage (a code that cannot be decoded). The bit reader and, for 8-bit pictures, the row
    // cursor live in locals whose address never escapes: stores through byte pointers would
    // otherwise force them back to memory on every pixel.
    bool Run(std::span<const uint8_t> data, TPixelWriter& writer, bool& exhausted, const TProgressEvent& progress) {
        std::array<uint8_t, MaxCodes + 1> text;
        const uint8_t* in = data.data();
        const size_t size = data.size();
        size_t pos = 0;
        uint64_t acc = 0;
        int bits = 0;
        size_t blockLeft = 0; // bytes left in the current sub-block

        const bool direct = writer.ByteRows();
        const size_t lineWidth = size_t(std::max(writer.Width(), 0));
        TRowCursor cursor{direct ? writer.LineStart() : nullptr, 0};
        int lastPercent = -1;
        exhausted = false;
        for (;;) {
            if (direct ? cursor.Line == nullptr : writer.Done()) return true;
            // Codes are read straight from the sub-blocks; a block cut short gives what is
            // there and the zero-length block ends the data.
            while (bits <= 56) {
                if (blockLeft == 0) {
                    if (pos >= size || in[pos] == 0) {
                        pos = size;
                        break;
                    }
                    blockLeft = in[pos++];
                    continue;
                }
                if (pos >= size) break;
                acc |= uint64_t(in[pos++]) << bits;
                bits += 8;
                --blockLeft;
            }
            if (bits < Width) {
                exhausted = true;
                return true;
            }
            unsigned code = unsigned(acc & ((1u << Width) - 1));
            acc >>= Width;
            bits -= Width;

            if (code == ClearCode) {
                Restart();
                continue;
            }
            if (code == EndCode) return true;
            // Two choices follow what common GIF decoders do rather than the stricter rules of
            // this reader's design: a literal above the colour table is written as its own
            // value (cut to the picture's bit count; the palette shows such an entry as grey)
            // instead of the entry its value masked to the table size names, and a code beyond
            // the next free one stops the frame as damaged instead of being decoded as if it
            // were the next free code.
            if (Previous < 0) {
                if (code > ClearCode) // only codes below the clear code are literals
                    return false;
                text[0] = uint8_t(code);
                cursor = Emit(cursor, text.data(), 1, writer, lineWidth);
                Previous = int(code);
                continue;
            }
            uint8_t first;
            if (code < Free) {
                first = Table[code].First;
                unsigned len = Table[code].Length;
                if (cursor.Line && cursor.Column + len < lineWidth) {
                    WriteString(code, cursor.Line + cursor.Column + len);
                    cursor.Column += len;
                } else {
                    WriteString(code, text.data() + len);
                    cursor = Emit(cursor, text.data(), len, writer, lineWidth);
                }
            } else if (code == Free && Free < MaxCodes) {
                unsigned prev = unsigned(Previous);
                first = Table[prev].First;
                unsigned len = Table[prev].Length;
                WriteString(prev, text.data() + len);
                text[len] = first;
                cursor = Emit(cursor, text.data(), len + 1, writer, lineWidth);
            } else {
                return false;
            }
            AddEntry(unsigned(Previous), first);
            Previous = int(code);
            if (progress && size > 0) {
                int percent = Percent(pos, size);
                if (percent != lastPercent) {
                    lastPercent = percent;
                    progress(TProgressStage::psRunning, percent, {});
                }
            }
        }
    }

private:
    void Restart() {
        Width = CodeSize + 1;
        Limit = 1u << Width;
        Free = ClearCode + 2;
        Previous = -1;
    }

    // Writes the string of code backwards so that it ends just before End.
    void WriteString(unsigned code, uint8_t* end) const {
        const unsigned clear = ClearCode;
        const TEntry* table = Table.data();
        while (code >= clear) {
            const TEntry& entry = table[code];
            *--end = entry.Suffix;
            code = entry.Prefix;
        }
        *--end = uint8_t(code);
    }

    void AddEntry(unsigned prev, uint8_t first) {
        if (Free >= MaxCodes) return; // table full: no entries until the next clear code
        const TEntry& previous = Table[prev];
        Table[Free] = {uint16_t(prev), uint16_t(previous.Length + 1), first, previous.First};
        ++Free;
        if (Free == Limit && Width < MaxCodeBits) {
            ++Width;
            Limit <<= 1;
        }
    }

    int CodeSize;
    unsigned ClearCode, EndCode;
    int Width = 0;
    unsigned Limit = 0, Free = 0;
    int Previous = -1;
    // One entry per code, kept together so that following a chain touches one place per step.
    struct TEntry {
        uint16_t Prefix;
        uint16_t Length;
        uint8_t Suffix;
        uint8_t First;
    };
    std::array<TEntry, MaxCodes> Table{};
};

// Runs Work between the starting and the ending report; a failure is reported as ending at 0
// with its message, then raised again.
template <class Work> void WithProgress(const TProgressEvent& progress, Work&& work) {
    if (progress) progress(TProgressStage::psStarting, 0, {});
    try {
        work();
    } catch (const std::exception& e) {
        if (progress) progress(TProgressStage::psEnding, 0, e.what());
        throw;
    }
    if (progress) progress(TProgressStage::psEnding, 100, {});
}

} // namespace

uint64_t MostDecodedPixels(std::span<const uint8_t> Encoded) {
    if (Encoded.empty()) return 0;
    // The same sub-block walk as the decoder's: a zero length or the end ends the data.
    uint64_t dataBytes = 0;
    for (size_t at = 1; at < Encoded.size() && Encoded[at] != 0;) {
        size_t length = std::min<size_t>(Encoded[at], Encoded.size() - at - 1);
        dataBytes += length;
        at += 1 + length;
    }
    const int narrowest = std::clamp(int(Encoded[0]), 2, 9) + 1;
    const uint64_t codes = dataBytes * 8 / uint64_t(narrowest);
    const uint64_t longest = MaxCodes;
    if (codes <= longest) return codes * (codes + 1) / 2;
    return longest * (longest + 1) / 2 + (codes - longest) * longest;
}

uint64_t DIBRowBytes(int64_t Width, int BitCount) { return uint64_t((Width * BitCount + 31) / 32) * 4; }

void EncodeLZW(std::vector<uint8_t>& Out, const TPixelLayout& Layout, std::span<const uint8_t> Rows,
               const TProgressEvent& Progress) {
    if (Layout.BitCount != 1 && Layout.BitCount != 4 && Layout.BitCount != 8) RaiseGIFError(SGIFEncodeError);
    uint64_t rowBytes = DIBRowBytes(Layout.Width, Layout.BitCount);
    if (Rows.size() < rowBytes * uint64_t(std::max(Layout.Height, 0))) RaiseGIFError(SGIFEncodeError);
    WithProgress(Progress, [&] {
        // One-bit pictures still use 3-bit codes: GIF has no minimum code size below 2.
        int initialWidth = std::max(Layout.BitCount + 1, 3);
        Out.push_back(uint8_t(initialWidth - 1));
        EncodeRows(Out, initialWidth, Layout, Rows, rowBytes, Progress);
    });
}

void DecodeLZW(std::span<const uint8_t> Encoded, const TPixelLayout& Layout, bool Interlaced, std::span<uint8_t> Pixels,
               bool& Damaged, bool Tolerant, const TProgressEvent& Progress) {
    Damaged = false;
    WithProgress(Progress, [&] {
        if (Pixels.size() < DIBRowBytes(Layout.Width, Layout.BitCount) * uint64_t(std::max(Layout.Height, 0)))
            RaiseGIFError(SGIFEncodeError);
        int codeSize = Encoded.empty() ? 0 : Encoded[0];
        if (codeSize < 2 || codeSize > 9) {
            if (!Tolerant) RaiseGIFError(SGIFCodeSizeError);
            Damaged = true;
            codeSize = std::clamp(codeSize, 2, 9);
        }
        TPixelWriter writer(Layout, Interlaced, Pixels);
        auto decoder = std::make_unique<TLZWDecoder>(codeSize);
        bool exhausted = false;
        if (!decoder->Run(Encoded.empty() ? Encoded : Encoded.subspan(1), writer, exhausted, Progress)) {
            if (!Tolerant) RaiseGIFError(SGIFCorruptData);
            Damaged = true;
        } else if (exhausted && !writer.Done()) { // rows still missing
            RaiseGIFError(SStreamReadError);
        }
    });
}
