"""Base relocations of a PE32 image, and the proof that they cover every
absolute address: the same objects linked at another image base may differ
from the image only in its ImageBase field and in the 32-bit words its
relocations name, each by exactly the difference of the two bases (and in
the header's CheckSum)."""
import struct

from pe_check import DIR_BASERELOC, parse

REL_ABSOLUTE, REL_HIGHLOW = 0, 3
# Fields of the optional header that follow from the base: ImageBase, and
# CheckSum, a sum over the whole file.
BASE_FIELDS = ((28, 4), (64, 4))


class RelocError(Exception):
    pass


def file_offset(img, rva, size):
    """The file offset of `size` bytes at `rva`, or None when they do not lie
    in one section's file data."""
    for (_, va, _), (pointer, rawsize) in zip(img.sections, img.raw):
        if va <= rva and rva + size <= va + rawsize:
            return pointer + rva - va
    return None


def rva_of(img, offset):
    for (_, va, _), (pointer, rawsize) in zip(img.sections, img.raw):
        if pointer <= offset < pointer + rawsize:
            return va + offset - pointer
    return None


def entries(data, img):
    """[(offset of the entry in the file, type, RVA)] of every entry of the
    base relocation directory, padding included."""
    rva, size = img.dirs[DIR_BASERELOC]
    start = file_offset(img, rva, size)
    if start is None:
        raise RelocError("directory 0x%X+0x%X not in a section's file data" % (rva, size))
    found, at = [], start
    while at < start + size:
        if at + 8 > start + size:
            raise RelocError("block header at RVA 0x%X truncated" % rva_of(img, at))
        page, block = struct.unpack_from("<II", data, at)
        if block < 8 or block % 2 or at + block > start + size:
            raise RelocError("block at RVA 0x%X has size 0x%X" % (rva_of(img, at), block))
        for e in range(at + 8, at + block, 2):
            (word,) = struct.unpack_from("<H", data, e)
            found.append((e, word >> 12, page + (word & 0xFFF)))
        at += block
    return found


def rebase_problems(data, other):
    """What keeps DATA and OTHER (the same link at another image base) from
    differing only where DATA's relocations say (empty: nothing)."""
    img, error = parse(data)
    ref, ref_error = parse(other)
    if error or ref_error:
        return [error or "other image: " + ref_error]
    delta = (ref.image_base - img.image_base) & 0xFFFFFFFF
    if delta == 0:
        return ["both images have ImageBase 0x%X" % img.image_base]
    if len(data) != len(other):
        return ["sizes differ: 0x%X and 0x%X" % (len(data), len(other))]
    headers = bytearray(other[:img.size_of_headers])
    for field, size in BASE_FIELDS:
        headers[img.opt + field:img.opt + field + size] = data[img.opt + field:
                                                               img.opt + field + size]
    problems = []
    if headers != data[:img.size_of_headers]:
        problems.append("headers differ beyond ImageBase and CheckSum")
    try:
        found = entries(data, img)
    except RelocError as e:
        return problems + ["base relocations unreadable: %s" % e]
    covered = bytearray(len(data))
    for _, kind, rva in found:
        if kind == REL_ABSOLUTE:
            continue
        at = file_offset(img, rva, 4)
        if kind != REL_HIGHLOW or at is None:
            problems.append("relocation of type %d at RVA 0x%X %s" % (
                kind, rva, "not expected" if kind != REL_HIGHLOW else "outside the file data"))
            continue
        if any(covered[at:at + 4]):
            problems.append("relocations overlap at RVA 0x%X" % rva)
        covered[at:at + 4] = b"\1\1\1\1"
        (mine,), (theirs,) = struct.unpack_from("<I", data, at), struct.unpack_from("<I", other, at)
        if (mine + delta) & 0xFFFFFFFF != theirs:
            problems.append("word at RVA 0x%X is 0x%08X, at the other base 0x%08X, expected 0x%08X"
                            % (rva, mine, theirs, (mine + delta) & 0xFFFFFFFF))
    loose = [i for i in range(img.size_of_headers, len(data))
             if data[i] != other[i] and not covered[i]]
    # Bytes within one word of each other count as one place.
    places = [i for n, i in enumerate(loose) if n == 0 or i - loose[n - 1] > 3]
    if places:
        problems.append("%d places differ without a relocation, first bytes at %s" % (
            len(places), " ".join("RVA 0x%X" % rva_of(img, i) if rva_of(img, i) is not None
                                  else "file offset 0x%X" % i for i in places[:5])))
    return problems


def drop_relocation(data, index):
    """DATA with its `index`th relocation (padding not counted) made padding."""
    img, _ = parse(data)
    at = [e for e, kind, _ in entries(data, img) if kind != REL_ABSOLUTE][index]
    out = bytearray(data)
    struct.pack_into("<H", out, at, REL_ABSOLUTE)
    return bytes(out)
