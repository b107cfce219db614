"""An outsider's check of a storage file, written from the file format alone (no engine code):
the header and its CRC, the atom table and hole table chains, every entry's and body's CRC, no
two live blocks overlapping, and every atom's link count equal to the links that name it, so a
half-written or leaked atom shows. Used by the end-to-end tests; `python3 ostra_check.py FILE`
prints what is wrong.
"""
import struct
import sys
import zlib

HEADER_SIZE = 128
ENTRY_SIZE = 32
HEAD_SIZE = 16
HOLE_ENTRY_SIZE = 16
FLAG_INLINE = 0x80
INLINE_SIZE = 19


def crc(data):
    """The file's CRC-32: started from 0, never inverted (zlib's, undone at both ends)."""
    return zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF


def chain(data, root, data_size, expected_count, problems, what):
    """The segments (address, count) of a table chain."""
    segments, seen, address = [], set(), root
    while address:
        if address in seen or address < HEADER_SIZE or address + HEAD_SIZE > data_size:
            problems.append("%s chain broken at %d" % (what, address))
            break
        seen.add(address)
        nxt, count = struct.unpack_from("<QI", data, address)
        if count != expected_count(len(segments)):
            problems.append("%s segment %d holds %d entries" % (what, len(segments), count))
        segments.append((address, count))
        address = nxt
    return segments


def links_of(entry):
    flags = entry[12]
    width = ((flags >> 5) & 3) + 1
    return flags, width


def check(path):
    """The problems found in the file at Path; empty when it is sound."""
    with open(path, "rb") as f:
        data = f.read()
    problems = []
    if len(data) < HEADER_SIZE or not data.startswith(b"KVZ-STORAGE\0"):
        return ["not a storage file"]
    if struct.unpack_from("<I", data, 124)[0] != crc(data[:124]):
        return ["header CRC"]
    hole_root, atom_root = struct.unpack_from("<QQ", data, 16)
    data_size = struct.unpack_from("<Q", data, 88)[0]
    if data_size > len(data):
        return ["DataSize beyond the file"]

    blocks = []  # (start, end, what)
    atoms = {}  # handle: (link refs, ext refs, links)
    handle = 0
    for address, count in chain(data, atom_root, data_size, lambda n: 256 << min(n, 7), problems, "atom table"):
        blocks.append((address, address + HEAD_SIZE + ENTRY_SIZE * count, "atom table"))
        for i in range(count):
            entry = data[address + HEAD_SIZE + i * ENTRY_SIZE:][:ENTRY_SIZE]
            handle += 1
            if entry[12] == 0 and not any(entry[13:]):
                continue  # a free entry
            if struct.unpack_from("<I", entry)[0] != crc(entry[4:]):
                problems.append("entry %d CRC" % handle)
                continue
            link_refs, ext_refs = struct.unpack_from("<ii", entry, 4)
            flags, width = links_of(entry)
            if flags & FLAG_INLINE:
                length = flags & 0x1F
                raw = entry[13:13 + INLINE_SIZE]
                end = INLINE_SIZE
                while end > length and raw[end - 1] == 0:
                    end -= 1
                raw_links = raw[length:end] + bytes((width - (end - length) % width) % width)
            else:
                count_links = int.from_bytes(entry[13:16], "little")
                length, body_crc, body = struct.unpack_from("<IIQ", entry, 16)
                size = length + count_links * width
                if body + size > data_size:
                    problems.append("atom %d body outside the data" % handle)
                    continue
                if crc(data[body:body + size]) != body_crc:
                    problems.append("atom %d body CRC" % handle)
                if size:
                    blocks.append((body, body + size, "atom %d" % handle))
                raw_links = data[body + length:body + size]
            links = [int.from_bytes(raw_links[j:j + width], "little") for j in range(0, len(raw_links), width)]
            atoms[handle] = (link_refs, ext_refs, [link for link in links if link])

    for address, count in chain(data, hole_root, data_size, lambda n: 256 * (n + 1), problems, "hole table"):
        blocks.append((address, address + HEAD_SIZE + HOLE_ENTRY_SIZE * count, "hole table"))
        for i in range(count):
            entry = data[address + HEAD_SIZE + i * HOLE_ENTRY_SIZE:][:HOLE_ENTRY_SIZE]
            if not any(entry):
                continue
            if struct.unpack_from("<I", entry)[0] != crc(entry[4:]):
                problems.append("hole entry CRC")
                continue
            start, size = struct.unpack_from("<QI", entry, 4)
            if size:
                blocks.append((start, start + size, "hole"))

    blocks.sort()
    for (a_start, a_end, a), (b_start, b_end, b) in zip(blocks, blocks[1:]):
        if b_start < a_end:
            problems.append("%s overlaps %s" % (a, b))

    named = {}
    for handle, (_, _, links) in atoms.items():
        for link in links:
            named[link] = named.get(link, 0) + 1
            if link not in atoms:
                problems.append("atom %d links to missing atom %d" % (handle, link))
    for handle, (link_refs, ext_refs, _) in atoms.items():
        expected = named.get(handle, 0) + (1 if handle <= 2 else 0)  # the two roots hold themselves
        if link_refs != expected:
            problems.append("atom %d counts %d links, %d name it" % (handle, link_refs, expected))
        if handle > 2 and link_refs <= 0 and ext_refs <= 0:
            problems.append("atom %d is leaked" % handle)
    return problems


if __name__ == "__main__":
    found = check(sys.argv[1])
    print("\n".join(found) if found else "sound")
    sys.exit(1 if found else 0)
