/* The floor of the trie walk in index_bench: the least a program must do to walk a trie file in
 * key order, written in C against the file's bytes. It reads the file in one go, checks the
 * header's, every entry's and every body's CRC as the storage does, and walks the nodes depth
 * first, children by byte, counting the key bytes of every node holding a value.
 *
 * Usage: trie_walk_floor FILE LINK [values]. LINK is the root atom's link to the index header;
 * "values" reads every value atom too, as the list pages do, adding up their bytes. It prints the
 * seconds taken and the key (and value) bytes walked. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

enum {
    HeaderSize = 128,
    HeaderAtomTable = 24,
    HeaderDataSize = 88,
    HeaderCrc = 124,
    SegmentHead = 16,
    EntrySize = 32,
    EntryFlags = 12,
    EntryInline = 13,
    InlineSize = 19,
    EntryLinkCount = 13,
    EntryDataLength = 16,
    EntryBodyCrc = 20,
    EntryBody = 24,
    FlagInline = 0x80,
    RootHandle = 1,
    HeaderRootLink = 1,
    ValueLink = 2,
    FirstChildLink = 4,
    FirstChildPos = 2,
    MaxSegments = 64,
    MaxLinks = 300,
};

static uint32_t Tables[8][256];

static void MakeTables(void) {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        Tables[0][i] = c;
    }
    for (int k = 1; k < 8; ++k)
        for (int i = 0; i < 256; ++i) Tables[k][i] = (Tables[k - 1][i] >> 8) ^ Tables[0][Tables[k - 1][i] & 0xFF];
}

/* The file's CRC-32 (reflected, from zero, not inverted), eight bytes a step. */
static uint32_t Crc32(const uint8_t* p, size_t n) {
    uint32_t crc = 0;
    for (; n >= 8; p += 8, n -= 8) {
        uint32_t lo, hi;
        memcpy(&lo, p, 4);
        memcpy(&hi, p + 4, 4);
        lo ^= crc;
        crc = Tables[7][lo & 0xFF] ^ Tables[6][(lo >> 8) & 0xFF] ^ Tables[5][(lo >> 16) & 0xFF] ^ Tables[4][lo >> 24] ^
              Tables[3][hi & 0xFF] ^ Tables[2][(hi >> 8) & 0xFF] ^ Tables[1][(hi >> 16) & 0xFF] ^ Tables[0][hi >> 24];
    }
    while (n--) crc = (crc >> 8) ^ Tables[0][(crc ^ *p++) & 0xFF];
    return crc;
}

static uint32_t Le(const uint8_t* p, int width) {
    uint32_t v = 0;
    for (int i = 0; i < width; ++i) v |= (uint32_t)p[i] << (8 * i);
    return v;
}
static uint64_t Le64(const uint8_t* p) { return Le(p, 4) | (uint64_t)Le(p + 4, 4) << 32; }

static const uint8_t* File;
static uint64_t DataSize;
static struct {
    uint64_t Address;
    uint32_t Count, First;
} Segments[MaxSegments];
static int SegmentCount;

static void Fail(const char* what) {
    fprintf(stderr, "trie_walk_floor: %s\n", what);
    exit(1);
}

typedef struct {
    const uint8_t* Data;
    uint32_t Length;
    uint32_t LinkCount;
    uint32_t Links[MaxLinks];
} TAtom;

static void ReadAtom(uint32_t handle, TAtom* atom) {
    uint32_t index = handle - 1;
    int s = 0;
    while (s < SegmentCount && index - Segments[s].First >= Segments[s].Count) ++s;
    if (handle == 0 || s == SegmentCount) Fail("no such atom");
    const uint8_t* entry = File + Segments[s].Address + SegmentHead + (uint64_t)(index - Segments[s].First) * EntrySize;
    if (Crc32(entry + 4, EntrySize - 4) != Le(entry, 4)) Fail("entry CRC");
    uint8_t flags = entry[EntryFlags];
    int width = ((flags >> 5) & 3) + 1;
    const uint8_t* links;
    if (flags & FlagInline) {
        atom->Data = entry + EntryInline;
        atom->Length = flags & 0x1F;
        uint32_t end = InlineSize;
        while (end > atom->Length && atom->Data[end - 1] == 0) --end;
        atom->LinkCount = end > atom->Length ? (end - atom->Length + width - 1) / width : 0;
        uint8_t padded[InlineSize + 4] = {0};
        memcpy(padded, atom->Data, InlineSize);
        for (uint32_t i = 0; i < atom->LinkCount; ++i) atom->Links[i] = Le(padded + atom->Length + i * width, width);
        return;
    }
    atom->Length = Le(entry + EntryDataLength, 4);
    atom->LinkCount = Le(entry + EntryLinkCount, 3);
    uint64_t address = Le64(entry + EntryBody), length = atom->Length + (uint64_t)atom->LinkCount * width;
    if (atom->LinkCount > MaxLinks || address < HeaderSize || address > DataSize || DataSize - address < length)
        Fail("body out of place");
    atom->Data = File + address;
    if (Crc32(atom->Data, length) != Le(entry + EntryBodyCrc, 4)) Fail("body CRC");
    links = atom->Data + atom->Length;
    for (uint32_t i = 0; i < atom->LinkCount; ++i) atom->Links[i] = Le(links + i * width, width);
}

static uint32_t LinkOf(const TAtom* atom, uint32_t link) { return link < atom->LinkCount ? atom->Links[link] : 0; }

static char Key[4096];
static uint64_t Walked;
static int ReadValues;

static void Walk(uint32_t handle, size_t depth) {
    TAtom node;
    ReadAtom(handle, &node);
    uint32_t value = LinkOf(&node, ValueLink);
    if (value) {
        Walked += depth;
        if (ReadValues) {
            TAtom atom;
            ReadAtom(value, &atom);
            Walked += atom.Length;
        }
    }
    const uint8_t* text = node.Data;
    if (node.Length > 0 && text[0] == '+') {
        size_t edge = node.Length - FirstChildPos;
        uint32_t child = LinkOf(&node, FirstChildLink);
        if (child && depth + edge < sizeof Key) {
            memcpy(Key + depth, text + FirstChildPos, edge);
            Walk(child, depth + edge);
        }
        return;
    }
    /* A branch: each byte's child, the first position holding it, in byte order. */
    uint32_t byByte[256] = {0};
    uint64_t bits[4] = {0};
    for (uint32_t i = FirstChildPos; i < node.Length; ++i) {
        uint8_t b = text[i];
        uint32_t child = LinkOf(&node, i + 2);
        if (child && !(bits[b / 64] >> (b % 64) & 1)) {
            bits[b / 64] |= (uint64_t)1 << (b % 64);
            byByte[b] = child;
        }
    }
    if (depth + 1 >= sizeof Key) return;
    for (int word = 0; word < 4; ++word)
        for (uint64_t w = bits[word]; w; w &= w - 1) {
            int b = word * 64 + __builtin_ctzll(w);
            Key[depth] = (char)b;
            Walk(byByte[b], depth + 1);
        }
}

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) Fail("usage: trie_walk_floor FILE LINK [values]");
    ReadValues = argc == 4 && strcmp(argv[3], "values") == 0;
    struct timespec start, stop;
    clock_gettime(CLOCK_MONOTONIC, &start);
    MakeTables();
    int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) < 0 || info.st_size < HeaderSize) Fail("cannot open the file");
    size_t size = (size_t)info.st_size, huge = (size_t)2 << 20, spanned = (size + huge - 1) / huge * huge;
    uint8_t* block = mmap(NULL, spanned + huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) Fail("no memory");
    uint8_t* copy = (uint8_t*)(((uintptr_t)block + huge - 1) & ~(uintptr_t)(huge - 1));
    madvise(copy, spanned, MADV_HUGEPAGE);
    for (size_t done = 0; done < size;) {
        ssize_t got = pread(fd, copy + done, size - done, (off_t)done);
        if (got <= 0) Fail("cannot read the file");
        done += (size_t)got;
    }
    File = copy;
    if (Crc32(File, HeaderCrc) != Le(File + HeaderCrc, 4)) Fail("header CRC");
    DataSize = Le64(File + HeaderDataSize);
    if (DataSize > size) Fail("short file");
    uint32_t total = 0;
    for (uint64_t address = Le64(File + HeaderAtomTable); address; address = Le64(File + address)) {
        if (SegmentCount == MaxSegments || address < HeaderSize || address > DataSize - SegmentHead)
            Fail("bad segment");
        uint32_t count = Le(File + address + 8, 4);
        if ((DataSize - address - SegmentHead) / EntrySize < count) Fail("bad segment");
        Segments[SegmentCount].Address = address;
        Segments[SegmentCount].Count = count;
        Segments[SegmentCount++].First = total;
        total += count;
    }
    TAtom atom;
    ReadAtom(RootHandle, &atom);
    ReadAtom(LinkOf(&atom, (uint32_t)atoi(argv[2])), &atom);
    uint32_t root = LinkOf(&atom, HeaderRootLink);
    if (root) Walk(root, 0);
    clock_gettime(CLOCK_MONOTONIC, &stop);
    printf("%.9f %llu\n", (double)(stop.tv_sec - start.tv_sec) + (double)(stop.tv_nsec - start.tv_nsec) / 1e9,
           (unsigned long long)Walked);
    return 0;
}
