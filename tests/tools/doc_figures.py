#!/usr/bin/env python3
"""The figures the documents give of the built DLL, held against the build.

  doc_figures.py DLL BARE BENCHMARKS.md README.md

BENCHMARKS.md, section "The DLL", first sentence: "**A bytes**, B without the
version resource (`.text` 0x.., ...)": A is DLL's size, B the size of BARE
(the same link without the resource), and each section's figure its virtual
size in DLL. README.md: "(B bytes without, A bytes with)". Numbers may group
their thousands with blanks.
"""
import re
import struct
import sys


def virtual_sizes(data):
    (lfanew,) = struct.unpack_from("<I", data, 0x3C)
    (count,) = struct.unpack_from("<H", data, lfanew + 6)
    (optional,) = struct.unpack_from("<H", data, lfanew + 20)
    table = lfanew + 24 + optional
    sizes = {}
    for i in range(count):
        entry = data[table + 40 * i:table + 40 * (i + 1)]
        sizes[entry[:8].rstrip(b"\0").decode("latin-1")] = struct.unpack_from("<I", entry, 8)[0]
    return sizes


def number(text):
    return int(text.replace(" ", "").replace(",", ""))


def main(argv):
    if len(argv) != 5:
        print(__doc__)
        return 2
    with open(argv[1], "rb") as f:
        dll = f.read()
    with open(argv[2], "rb") as f:
        bare = f.read()
    with open(argv[3], encoding="utf-8") as f:
        benchmarks = f.read()
    with open(argv[4], encoding="utf-8") as f:
        readme = f.read()
    problems = []
    part = benchmarks.partition("\n## The DLL\n")[2]
    m = re.search(r"\*\*([\d ,]+) bytes\*\*, ([\d ,]+) without the version\s+resource \(([^)]*)\)",
                  part)
    if not m:
        problems.append("BENCHMARKS.md: no sentence with the DLL's sizes under 'The DLL'")
    else:
        if number(m.group(1)) != len(dll):
            problems.append("BENCHMARKS.md gives the DLL as %s bytes; the build is %d"
                            % (m.group(1), len(dll)))
        if number(m.group(2)) != len(bare):
            problems.append("BENCHMARKS.md gives %s bytes without the resource; the build is %d"
                            % (m.group(2), len(bare)))
        sizes = virtual_sizes(dll)
        given = re.findall(r"`(\.\w+)` 0x([0-9A-Fa-f]+)", m.group(3))
        if not given:
            problems.append("BENCHMARKS.md: no section sizes")
        for name, size in given:
            if sizes.get(name) != int(size, 16):
                problems.append("BENCHMARKS.md gives %s as 0x%s; the build's is %s" % (
                    name, size, "0x%X" % sizes[name] if name in sizes else "missing"))
    m = re.search(r"\(([\d ,]+) bytes without, ([\d ,]+) bytes with\)", " ".join(readme.split()))
    if not m:
        problems.append("README.md: no '(B bytes without, A bytes with)'")
    elif (number(m.group(1)), number(m.group(2))) != (len(bare), len(dll)):
        problems.append("README.md gives %s and %s bytes; the build: %d without, %d with"
                        % (m.group(1), m.group(2), len(bare), len(dll)))
    for p in problems:
        print("FAILED: " + p)
    if not problems:
        print("the documents' DLL figures are the build's: %d bytes, %d without the resource"
              % (len(dll), len(bare)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
