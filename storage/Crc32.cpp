// CRC-32: inputs of sixteen bytes and more folded by carry-less multiplication where the
// processor has it (long ones in four lanes, short ones in one); the rest table-driven, eight
// bytes a step (eight derived tables), then four, then byte by byte.
#include "storage/Crc32.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define CRC32_FOLDS 1
#endif

namespace {
constexpr std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> Table = MakeTable();

// Tables[k][b]: the CRC of byte b followed by k zero bytes.
constexpr std::array<std::array<uint32_t, 256>, 8> MakeTables() {
    std::array<std::array<uint32_t, 256>, 8> tables{};
    tables[0] = Table;
    for (int k = 1; k < 8; ++k)
        for (uint32_t i = 0; i < 256; ++i) tables[k][i] = Table[tables[k - 1][i] & 0xFF] ^ (tables[k - 1][i] >> 8);
    return tables;
}
constexpr std::array<std::array<uint32_t, 256>, 8> Tables = MakeTables();

uint32_t LoadLE32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

#ifdef CRC32_FOLDS
// Inputs this long are folded 64 bytes a step in four 16-byte lanes, which are then folded
// into one, reduced to 64 and 32 bits and divided out by Barrett's method. The constants are
// bit-reflected powers of x modulo the polynomial: the lane distances 4 * 128 + 32 and
// 4 * 128 - 32 bits, then 128 + 32 and 128 - 32, then 64; the polynomial itself and
// x^64 divided by it.
constexpr size_t FoldFrom = 256;

// Set before main: whether this processor folds.
const bool Folds = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}();

__m128i Load16(const uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }

// A lane moved on by the distance k stands for, plus the next 16 bytes.
__attribute__((target("pclmul,sse4.1"))) __m128i FoldLane(__m128i lane, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x00), _mm_clmulepi64_si128(lane, k, 0x11)), next);
}

// The CRC of the 16 bytes in x with a zero register: reduced to 64 and 32 bits, then divided
// out by Barrett's method.
__attribute__((target("pclmul,sse4.1"))) inline uint32_t Reduce(__m128i x1) {
    const __m128i lanes1 = _mm_set_epi64x(0x0CCAA009E, 0x1751997D0);
    const __m128i to32 = _mm_set_epi64x(0, 0x163CD6124);
    const __m128i barrett = _mm_set_epi64x(0x1F7011641, 0x1DB710641);
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
    __m128i x = _mm_xor_si128(_mm_clmulepi64_si128(x1, lanes1, 0x10), _mm_srli_si128(x1, 8));
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), to32, 0x00), _mm_srli_si128(x, 4));
    __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x, low32), barrett, 0x10);
    q = _mm_clmulepi64_si128(_mm_and_si128(q, low32), barrett, 0x00);
    return uint32_t(_mm_extract_epi32(_mm_xor_si128(x, q), 1));
}

// The CRC register after bytes [p, p + n), n a multiple of 16 and at least FoldFrom.
__attribute__((target("pclmul,sse4.1"), noinline)) uint32_t Fold(uint32_t crc, const uint8_t* p, size_t n) {
    const __m128i lanes4 = _mm_set_epi64x(0x1C6E41596, 0x154442BD4);
    const __m128i lanes1 = _mm_set_epi64x(0x0CCAA009E, 0x1751997D0);
    __m128i x1 = _mm_xor_si128(Load16(p), _mm_cvtsi32_si128(int(crc)));
    __m128i x2 = Load16(p + 16), x3 = Load16(p + 32), x4 = Load16(p + 48);
    for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
        x1 = FoldLane(x1, lanes4, Load16(p));
        x2 = FoldLane(x2, lanes4, Load16(p + 16));
        x3 = FoldLane(x3, lanes4, Load16(p + 32));
        x4 = FoldLane(x4, lanes4, Load16(p + 48));
    }
    x1 = FoldLane(FoldLane(FoldLane(x1, lanes1, x2), lanes1, x3), lanes1, x4);
    for (; n >= 16; p += 16, n -= 16) x1 = FoldLane(x1, lanes1, Load16(p));
    return Reduce(x1);
}

// Shorter inputs of at least ShortFoldFrom bytes are folded in one lane, straight from where
// they lie, as if zero bytes before them made whole 16-byte blocks (a zero register stays zero
// over zero bytes, and the register joins the input at its first byte). The first block is the
// input's first 16 bytes moved up by the zeros' count, the register moved up with them; what of
// the register passes the block's end joins the next block. (Copying the input behind zeros
// instead stalled the first load on the copy's stores.)
constexpr size_t ShortFoldFrom = 16;

// Loaded from Shifts + r, a shuffle moving bytes up by 16 - r places; from Shifts + 16 + r,
// one moving them down by r (0x80 makes a zero byte).
alignas(16) constexpr uint8_t Shifts[48] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                                            0x80, 0x80, 0x80, 0x80, 0,    1,    2,    3,    4,    5,    6,    7,
                                            8,    9,    10,   11,   12,   13,   14,   15,   0x80, 0x80, 0x80, 0x80,
                                            0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};

__attribute__((target("pclmul,sse4.1"), noinline)) uint32_t ShortFold(uint32_t crc, const uint8_t* p, size_t n) {
    const __m128i lanes1 = _mm_set_epi64x(0x0CCAA009E, 0x1751997D0);
    size_t head = n % 16;
    __m128i reg = _mm_cvtsi32_si128(int(crc));
    __m128i x1;
    if (head == 0) {
        x1 = _mm_xor_si128(Load16(p), reg);
    } else {
        __m128i up = Load16(Shifts + head), down = Load16(Shifts + 16 + head);
        x1 = _mm_xor_si128(_mm_shuffle_epi8(Load16(p), up), _mm_shuffle_epi8(reg, up));
        x1 = FoldLane(x1, lanes1, _mm_xor_si128(Load16(p + head), _mm_shuffle_epi8(reg, down)));
    }
    for (size_t at = head + 16; at < n; at += 16) x1 = FoldLane(x1, lanes1, Load16(p + at));
    return Reduce(x1);
}
#endif
} // namespace

namespace {
// The table-driven steps over [p, p + n).
uint32_t TableUpdate(uint32_t c, const uint8_t* p, size_t n) {
    for (; n >= 8; n -= 8, p += 8) {
        uint32_t low = LoadLE32(p) ^ c;
        uint32_t high = LoadLE32(p + 4);
        c = Tables[7][low & 0xFF] ^ Tables[6][(low >> 8) & 0xFF] ^ Tables[5][(low >> 16) & 0xFF] ^
            Tables[4][low >> 24] ^ Tables[3][high & 0xFF] ^ Tables[2][(high >> 8) & 0xFF] ^
            Tables[1][(high >> 16) & 0xFF] ^ Tables[0][high >> 24];
    }
    if (n >= 4) {
        uint32_t low = LoadLE32(p) ^ c;
        c = Tables[3][low & 0xFF] ^ Tables[2][(low >> 8) & 0xFF] ^ Tables[1][(low >> 16) & 0xFF] ^ Tables[0][low >> 24];
        n -= 4;
        p += 4;
    }
    for (; n > 0; --n, ++p) c = Table[(c ^ *p) & 0xFF] ^ (c >> 8);
    return c;
}

#ifdef CRC32_FOLDS
// Kept out of line, so that the short inputs' path saves no registers for it.
[[gnu::noinline]] void FoldUpdate(uint32_t& crc, const uint8_t* p, size_t n) {
    size_t folded = n & ~size_t(15);
    crc = TableUpdate(Fold(crc, p, folded), p + folded, n - folded);
}
#endif
} // namespace

void CRC32Update(uint32_t& crc, std::span<const uint8_t> bytes) {
#ifdef CRC32_FOLDS
    if (bytes.size() >= ShortFoldFrom && Folds) {
        if (bytes.size() >= FoldFrom)
            FoldUpdate(crc, bytes.data(), bytes.size());
        else
            crc = ShortFold(crc, bytes.data(), bytes.size());
        return;
    }
#endif
    crc = TableUpdate(crc, bytes.data(), bytes.size());
}

uint32_t CRC32Of(std::span<const uint8_t> bytes) {
    uint32_t crc = 0;
    CRC32Update(crc, bytes);
    return crc;
}

uint32_t CRC32Of(std::string_view bytes) {
    return CRC32Of(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}
