#!/usr/bin/python3
"""Checks the layers: a file may include headers of its own folder, and of the folders below
its own only their public headers. Prints each offending include and exits 1; exits 0 when
there are none. The test command runs it before building.

Usage: scripts/check-includes.py [ROOT]   (ROOT defaults to the repository holding this script)

A test folder tests/<area> may include every header of <area>. tests/fuzz, tests/support and
bench are not checked: each of their programs tests the internals of the unit it drives.
"""
import os
import re
import sys

# The folders each folder may include, besides itself: dependencies point down only.
BELOW = {
    "platform": set(),
    "storage": {"platform"},
    "index": {"storage", "platform"},
    "counterdb": {"index", "storage", "platform"},
    "imaging": {"platform"},
    "webadmin": {"counterdb", "index", "storage", "platform", "imaging"},
    "adminutil": {"counterdb", "index", "storage", "platform"},
}

# Each folder's public headers: what the layers above may include. Everything else is internal.
PUBLIC = {
    # The operating-system layer is there to be used: all but the font lookup, which serves the
    # raster graphics only.
    "platform": {"Bitmap.h", "BlockPool.h", "ByteOrder.h", "Cgi.h", "Clock.h", "CriticalSection.h",
                 "Exception.h", "FileUtils.h", "FunctionRef.h", "Guid.h", "Heap.h", "MemoryStream.h",
                 "OnlyThread.h", "OsFile.h", "Random.h", "Report.h", "SimulatedDisk.h", "StrUtils.h",
                 "StringList.h", "TypedStream.h"},
    # The interfaces (storage, transaction, atom, the peek), the interface base, the errors,
    # capability and parameter texts, and the storage object itself.
    "storage": {"OstraStorage.h", "Unknown.h", "Corvane.h", "AtomPeek.h", "KVZError.h", "Capabilities.h",
                "ParamList.h"},
    # The index interfaces and the two factories; the trie and the B-tree are reached through them.
    "index": {"KVZIndex.h"},
    "counterdb": {"UCounter.h"},
    # The GIF image and the colour reduction.
    "imaging": {"GifImage.h", "GraphConv.h"},
    "webadmin": {"UWMAdm.h", "WebModule.h"},
    "adminutil": set(),
}

NOT_CHECKED = ("tests/fuzz/", "tests/support/", "bench/")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([A-Za-z]+)/([^"]+)"')


def owner(path):
    """The folder whose rules a file follows and whether it may see that folder's internals."""
    parts = path.split("/")
    if parts[0] == "tests" and len(parts) > 2 and parts[1] in BELOW:
        return parts[1]
    if parts[0] in BELOW:
        return parts[0]
    return None


def violation(path, folder, header):
    area = owner(path)
    if area is None or folder not in BELOW or folder == area:
        return None
    included = folder + "/" + header
    if folder not in BELOW[area]:
        return "%s is not below %s" % (folder, area)
    if header not in PUBLIC[folder]:
        return "%s is internal to %s" % (included, folder)
    return None


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    failures = []
    for top in sorted(BELOW) + ["tests"]:
        for folder, dirs, files in os.walk(os.path.join(root, top)):
            dirs.sort()
            for name in sorted(files):
                if not name.endswith((".h", ".cpp", ".c")):
                    continue
                path = os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")
                if path.startswith(NOT_CHECKED):
                    continue
                with open(os.path.join(folder, name), encoding="utf-8") as source:
                    for number, line in enumerate(source, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        why = violation(path, match.group(1), match.group(2))
                        if why:
                            failures.append("%s:%d: includes %s/%s: %s" % (path, number, match.group(1),
                                                                             match.group(2), why))
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
