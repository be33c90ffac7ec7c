"""The resource directory of a PE image and the version resource in it.

read_version(data, image) reads what Explorer's Details tab shows: the fixed
file information and the strings. make_rsrc(...) builds a .rsrc section with
one version resource, for the self-test's synthesized images.
"""
import struct

DIR_RESOURCE = 2
RT_VERSION = 16
FIXED_SIGNATURE = 0xFEEF04BD
LANG_EN_US = 0x409


class ResourceError(Exception):
    pass


def rva_to_offset(image, rva, size):
    """The file offset of [rva, rva + size), which must lie in one section's
    raw data."""
    for (_, va, _), (pointer, raw_size) in zip(image.sections, image.raw):
        if va <= rva and rva + size <= va + raw_size:
            return pointer + rva - va
    raise ResourceError("RVA 0x%X+0x%X is not in any section's file data" % (rva, size))


def _directory(data, offset, end):
    """The entries (id, high bit set, offset) of one resource directory."""
    if offset + 16 > end:
        raise ResourceError("resource directory at +0x%X truncated" % offset)
    named, ids = struct.unpack_from("<HH", data, offset + 12)
    if named:
        raise ResourceError("named resource entries (%d)" % named)
    if offset + 16 + 8 * ids > end:
        raise ResourceError("resource directory entries at +0x%X truncated" % offset)
    entries = []
    for i in range(ids):
        ident, target = struct.unpack_from("<II", data, offset + 16 + 8 * i)
        entries.append((ident, bool(target & 0x80000000), target & 0x7FFFFFFF))
    return entries


def resources(data, image):
    """Every resource as (type, id, language, rva, size); the directory must
    be the usual three levels, each entry an id."""
    rva, size = image.dirs[DIR_RESOURCE]
    if not rva:
        return []
    base = rva_to_offset(image, rva, size)
    end = base + size
    found = []
    for type_id, is_dir, type_at in _directory(data, base, end):
        if not is_dir:
            raise ResourceError("resource type %d is not a directory" % type_id)
        for name_id, is_dir, name_at in _directory(data, base + type_at, end):
            if not is_dir:
                raise ResourceError("resource %d/%d is not a directory" % (type_id, name_id))
            for lang, is_dir, entry_at in _directory(data, base + name_at, end):
                if is_dir or base + entry_at + 16 > end:
                    raise ResourceError("resource %d/%d/%d has no data entry"
                                        % (type_id, name_id, lang))
                data_rva, data_size = struct.unpack_from("<II", data, base + entry_at)
                found.append((type_id, name_id, lang, data_rva, data_size))
    return found


def _block(data, offset, end):
    """One version-information block: (key, type, value bytes, children)."""
    if offset + 6 > end:
        raise ResourceError("version block at +0x%X truncated" % offset)
    length, value_length, kind = struct.unpack_from("<HHH", data, offset)
    block_end = offset + length
    if length < 6 or block_end > end:
        raise ResourceError("version block at +0x%X has length %d past its parent" % (offset,
                                                                                      length))
    at = offset + 6
    key_end = at
    while key_end + 2 <= block_end and data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    if key_end + 2 > block_end:
        raise ResourceError("version block at +0x%X: key not terminated" % offset)
    key = data[at:key_end].decode("utf-16-le")
    at = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if kind == 1 else value_length
    if at + value_size > block_end:
        raise ResourceError("version block %r: value past the block" % key)
    value = data[at:at + value_size]
    children = []
    at = (at + value_size + 3) & ~3
    while at < block_end:
        child = _block(data, at, block_end)
        children.append(child)
        at = (at + struct.unpack_from("<H", data, at)[0] + 3) & ~3
    return key, kind, value, children


def read_version(data, image):
    """The version resource as a dict: "resources" (all of the image's, as
    (type, id, language)), "fixed" (the VS_FIXEDFILEINFO fields by name),
    "table" (the string table's key), "strings" {name: text},
    "translation" [(language, code page)]."""
    found = resources(data, image)
    versions = [r for r in found if r[0] == RT_VERSION]
    if len(versions) != 1:
        raise ResourceError("%d version resources" % len(versions))
    _, _, _, rva, size = versions[0]
    offset = rva_to_offset(image, rva, size)
    key, _, value, children = _block(data, offset, offset + size)
    if key != "VS_VERSION_INFO" or len(value) != 52:
        raise ResourceError("no VS_VERSION_INFO with fixed file information (%r, %d bytes)"
                            % (key, len(value)))
    fields = struct.unpack("<13I", value)
    if fields[0] != FIXED_SIGNATURE:
        raise ResourceError("fixed file information signature 0x%08X" % fields[0])
    fixed = {
        "file_version": (fields[2] >> 16, fields[2] & 0xFFFF, fields[3] >> 16,
                         fields[3] & 0xFFFF),
        "product_version": (fields[4] >> 16, fields[4] & 0xFFFF, fields[5] >> 16,
                            fields[5] & 0xFFFF),
        "flags": fields[7], "os": fields[8], "type": fields[9], "subtype": fields[10],
        "date": (fields[11], fields[12]),
    }
    info = {"resources": [r[:3] for r in found], "fixed": fixed, "table": None,
            "strings": {}, "translation": []}
    for child_key, _, child_value, grandchildren in children:
        if child_key == "StringFileInfo":
            if len(grandchildren) != 1:
                raise ResourceError("%d string tables" % len(grandchildren))
            info["table"], _, _, strings = grandchildren[0]
            for name, kind, text, _ in strings:
                info["strings"][name] = text.decode("utf-16-le").rstrip("\0")
        elif child_key == "VarFileInfo":
            for var_key, _, var_value, _ in grandchildren:
                if var_key == "Translation":
                    info["translation"] += [struct.unpack_from("<HH", var_value, i)
                                            for i in range(0, len(var_value) - 3, 4)]
    return info


# ---- building a .rsrc section for synthesized images ---------------------

def _pack_block(key, kind, value, children=(), value_length=None):
    head = 6 + 2 * (len(key) + 1)
    body = bytearray(key.encode("utf-16-le") + b"\0\0")
    body += b"\0" * ((-head) % 4)
    body += value
    for child in children:
        body += b"\0" * ((-(6 + len(body))) % 4)
        body += child
    if value_length is None:
        value_length = len(value) // 2 if kind == 1 else len(value)
    return struct.pack("<HHH", 6 + len(body), value_length, kind) + bytes(body)


def make_version_info(strings, file_version=(1, 0, 0, 0), product_version=(1, 0, 0, 0),
                      file_type=2, signature=FIXED_SIGNATURE, table="040904B0",
                      translation=(LANG_EN_US, 1200)):
    def ms_ls(v):
        return (v[0] << 16 | v[1], v[2] << 16 | v[3])
    fixed = struct.pack("<13I", signature, 0x10000, *ms_ls(file_version),
                        *ms_ls(product_version), 0x3F, 0, 0x40004, file_type, 0, 0, 0)
    string_blocks = [_pack_block(name, 1, (text + "\0").encode("utf-16-le"))
                     for name, text in strings.items()]
    string_info = _pack_block("StringFileInfo", 1, b"",
                              [_pack_block(table, 1, b"", string_blocks)])
    var_info = _pack_block("VarFileInfo", 1, b"",
                           [_pack_block("Translation", 0, struct.pack("<HH", *translation))])
    return _pack_block("VS_VERSION_INFO", 0, fixed, [string_info, var_info])


def make_rsrc(section_rva, payload, type_id=RT_VERSION, name_id=1, lang=LANG_EN_US):
    """A .rsrc section's bytes: the three directory levels and one data
    entry pointing at `payload`, which follows them."""
    def directory(ident, target):
        return struct.pack("<IIHHHHII", 0, 0, 0, 0, 0, 1, ident, target)
    out = bytearray()
    out += directory(type_id, 0x80000000 | 0x18)
    out += directory(name_id, 0x80000000 | 0x30)
    out += directory(lang, 0x48)
    out += struct.pack("<IIII", section_rva + 0x58, len(payload), 0, 0)
    out += payload
    return bytes(out)
