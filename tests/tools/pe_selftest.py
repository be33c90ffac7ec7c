"""The self-test of pe_check.py: its checks against synthesized good and
broken images."""
import os
import struct

from pe_check import (COPY_MARK, DIR_BASERELOC, DIR_EXPORT, DIR_IAT, DIR_IMPORT, DIR_LOAD_CONFIG,
                      DIR_TLS, MACHINE_I386, PE32_MAGIC, parse, rest_problems, verdict, version_problems,
                      write_and_check)
from pe_reloc import drop_relocation, rebase_problems
from pe_resource import DIR_RESOURCE, make_rsrc, make_version_info


def make_pe(machine=MACHINE_I386, characteristics=0x2102, magic=PE32_MAGIC,
            sections=((".text", 0x1000, 0x800), (".data", 0x2000, 0x10),
                      (".rdata", 0x3000, 0x40), (".bss", 0x4000, 0x20),
                      (".reloc", 0x5000, 0x30)),
            entry=0x1010, dirs=None, contents=None, size_of_image=0x6000,
            image_base=0x10000000, dll_characteristics=0x140):
    """A PE image; `contents` maps section names to their file data, laid
    out one after another in section order from 0x400 (0x200-aligned)."""
    directories = {DIR_BASERELOC: (0x5000, 0x30)}
    directories.update(dirs or {})
    lfanew = 0x80
    out = bytearray(0x400)
    out[0:2] = b"MZ"
    struct.pack_into("<I", out, 0x3C, lfanew)
    out[lfanew:lfanew + 4] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", out, lfanew + 4, machine, len(sections), 0, 0, 0, 0xE0,
                     characteristics)
    opt = lfanew + 24
    struct.pack_into("<H", out, opt, magic)
    struct.pack_into("<I", out, opt + 16, entry)
    struct.pack_into("<I", out, opt + 28, image_base)
    struct.pack_into("<II", out, opt + 32, 0x1000, 0x200)
    struct.pack_into("<I", out, opt + 56, size_of_image)
    struct.pack_into("<I", out, opt + 60, 0x400)
    struct.pack_into("<H", out, opt + 70, dll_characteristics)
    struct.pack_into("<I", out, opt + 92, 16)
    for index, (rva, size) in directories.items():
        struct.pack_into("<II", out, opt + 96 + 8 * index, rva, size)
    table = opt + 0xE0
    for i, (name, va, vsize) in enumerate(sections):
        raw = (contents or {}).get(name, b"")
        raw += b"\0" * ((-len(raw)) % 0x200)
        pointer = len(out) if raw else 0
        struct.pack_into("<8sIIII", out, table + 40 * i, name.encode(), vsize, va, len(raw),
                         pointer)
        out += raw
    return bytes(out)


SELF_TESTS = [
    # name, image, words that the rejection must contain (None: must pass)
    ("good", make_pe(), None),
    ("amd64", make_pe(machine=0x8664), ["machine"]),
    ("not_dll", make_pe(characteristics=0x0102), ["DLL characteristic"]),
    ("pe32plus", make_pe(magic=0x20B), ["PE32"]),
    ("imports", make_pe(dirs={DIR_IMPORT: (0x3000, 0x28)}), ["import directory"]),
    ("exports", make_pe(dirs={DIR_EXPORT: (0x3000, 0x28)}), ["export directory"]),
    ("tls", make_pe(dirs={DIR_TLS: (0x2000, 0x18)}), ["TLS directory"]),
    ("iat", make_pe(dirs={DIR_IAT: (0x3000, 0x8)}), ["IAT directory"]),
    ("load_config", make_pe(dirs={DIR_LOAD_CONFIG: (0x3000, 0x48)}), ["load-config directory"]),
    ("no_seh", make_pe(dll_characteristics=0x540), ["NO_SEH"]),
    ("crt_section", make_pe(sections=((".text", 0x1000, 0x800), (".CRT", 0x2000, 0x10),
                                      (".reloc", 0x5000, 0x30))), [".CRT"]),
    ("tls_section", make_pe(sections=((".text", 0x1000, 0x800), (".tls", 0x2000, 0x10),
                                      (".reloc", 0x5000, 0x30))), [".tls"]),
    ("idata_section", make_pe(sections=((".text", 0x1000, 0x800), (".idata", 0x2000, 0x10),
                                        (".reloc", 0x5000, 0x30))), [".idata"]),
    ("ctors_section", make_pe(sections=((".text", 0x1000, 0x800), (".ctors", 0x2000, 0x10),
                                        (".reloc", 0x5000, 0x30))), [".ctors"]),
    ("entry_zero", make_pe(entry=0), ["entry point is zero"]),
    ("entry_in_data", make_pe(entry=0x2004), ["outside .text"]),
    ("entry_past_text", make_pe(entry=0x1800), ["outside .text"]),
    ("no_relocs", make_pe(dirs={DIR_BASERELOC: (0, 0)}), ["no base relocation"]),
    ("relocs_in_data", make_pe(dirs={DIR_BASERELOC: (0x2000, 0x10)}), ["not inside .reloc"]),
    ("not_mz", b"ZM" + make_pe()[2:], ["not an MZ"]),
    ("truncated", make_pe()[:0x90], ["PE signature"]),
]


# A DLL with section data, and the same with a version resource added last.
BASE_SECTIONS = ((".text", 0x1000, 0x800), (".data", 0x2000, 0x10), (".rdata", 0x3000, 0x40),
                 (".bss", 0x4000, 0x20), (".reloc", 0x5000, 0x30))
BASE_CONTENTS = {".text": bytes(range(256)) * 8, ".data": b"\x11" * 0x10,
                 ".rdata": b"\x22" * 0x40, ".reloc": b"\x00\x10\x00\x00\x0C\x00\x00\x00"}
VERSION = ("1.2.3+0123456789ab", "X.asi", "dll", "What X does")
STRINGS = {"ProductName": "Quorvel Icons", "FileDescription": VERSION[3],
           "FileVersion": VERSION[0], "ProductVersion": VERSION[0], "OriginalFilename": "X.asi"}


def bare(**kw):
    return make_pe(sections=BASE_SECTIONS, contents=BASE_CONTENTS, **kw)


def versioned(strings=None, rsrc=None, resource_dir=None, contents=None, sections=(),
              **info):
    """The DLL plus .rsrc; `info` goes to make_version_info; `rsrc` replaces
    the section's bytes, `resource_dir` the directory entry."""
    info.setdefault("file_version", (1, 2, 3, 0))
    info.setdefault("product_version", (1, 2, 3, 0))
    data = rsrc or make_rsrc(0x6000, make_version_info(STRINGS if strings is None else strings,
                                                       **info))
    return make_pe(sections=BASE_SECTIONS + tuple(sections) + ((".rsrc", 0x6000, len(data)),),
                   contents=dict(BASE_CONTENTS, **(contents or {}), **{".rsrc": data}),
                   dirs={DIR_RESOURCE: resource_dir or (0x6000, len(data))},
                   size_of_image=0x7000)


def changed_header(offset, size, value):
    out = bytearray(versioned())
    out[offset:offset + size] = value.to_bytes(size, "little")
    return bytes(out)


SELF_TESTS += [
    ("rsrc_good", versioned(), None),
    ("rsrc_dir_in_data", versioned(resource_dir=(0x2000, 0x10)), ["not inside .rsrc"]),
    ("rsrc_no_dir", make_pe(sections=BASE_SECTIONS + ((".rsrc", 0x6000, 0x80),)),
     [".rsrc without a resource directory"]),
    ("rsrc_truncated", versioned(resource_dir=(0x6000, 0x20)), ["unreadable", "truncated"]),
]

# name, image, words that the rejection must contain (None: must pass)
VERSION_TESTS = [
    ("version_good", versioned(), None),
    ("version_string", versioned(strings=dict(STRINGS, FileVersion="1.2.3")),
     ["FileVersion is '1.2.3'"]),
    ("no_original_name", versioned(strings={k: v for k, v in STRINGS.items()
                                            if k != "OriginalFilename"}),
     ["OriginalFilename missing"]),
    ("extra_string", versioned(strings=dict(STRINGS, Comments="x")), ["Comments not expected"]),
    ("fixed_version", versioned(file_version=(1, 2, 4, 0)), ["file_version"]),
    ("product_version", versioned(product_version=(1, 2, 3, 1)), ["product_version"]),
    ("app_type", versioned(file_type=1), ["type is 1"]),
    ("string_table", versioned(table="040704B0"), ["table"]),
    ("translation", versioned(translation=(0x407, 1200)), ["translation"]),
    ("signature", versioned(signature=0xFEEF04BC), ["signature"]),
    ("language", versioned(rsrc=make_rsrc(0x6000, make_version_info(STRINGS, (1, 2, 3, 0),
                                                                     (1, 2, 3, 0)), lang=0x407)),
     ["resources"]),
    ("manifest_only", versioned(rsrc=make_rsrc(0x6000, b"<assembly/>", type_id=24)),
     ["0 version resources"]),
    ("no_resources", bare(), ["0 version resources"]),
    # VS_VERSION_INFO's length (its block follows the data entry, at .rsrc
    # + 0x58) larger than the resource: an error, no crash.
    ("block_too_long", changed_header(parse(versioned())[0].raw[-1][0] + 0x58, 2, 0xFFF0),
     ["past its parent"]),
    ("strings_past_end", changed_header(parse(versioned())[0].raw[-1][0] + 0x58, 2, 0x60),
     ["version block", "truncated"]),
]

# name, image, bare image, words that the rejection must contain
REST_TESTS = [
    ("rest_good", versioned(), bare(), None),
    ("rest_text_changed", versioned(contents={".text": b"\x90" * 0x800}), bare(),
     ["section data differs"]),
    ("rest_entry_moved", changed_header(0x80 + 24 + 16, 4, 0x1020), bare(), ["headers differ"]),
    ("rest_not_dll", changed_header(0x80 + 22, 2, 0x0102), bare(), ["headers differ"]),
    ("rest_tls_added", versioned(sections=[(".tls", 0x7000, 0x10)]), bare(), ["sections"]),
    ("rest_bare_versioned", versioned(), versioned(), ["sections"]),
    ("rest_rsrc_first", make_pe(sections=((".rsrc", 0x6000, 0x80),) + BASE_SECTIONS,
                                contents=BASE_CONTENTS), bare(), ["sections"]),
]


def linked_at(image_base, relocs=(0x10, 0x23, 0x40), words=None, kinds=None):
    """The DLL linked at `image_base`: addresses in .text at `relocs` (the
    RVAs in .reloc, HIGHLOW unless `kinds` says otherwise) or, when given, at
    `words`."""
    text = bytearray(bytes(range(256)) * 8)
    for at in relocs if words is None else words:
        struct.pack_into("<I", text, at, image_base + 0x2004 + at)
    block = struct.pack("<II", 0x1000, 8 + 2 * len(relocs)) + b"".join(
        struct.pack("<H", (kind << 12) | at) for at, kind in zip(relocs, kinds or [3] * 8))
    return make_pe(sections=BASE_SECTIONS, image_base=image_base, dirs={
        DIR_BASERELOC: (0x5000, len(block))}, contents=dict(BASE_CONTENTS, **{
            ".text": bytes(text), ".reloc": block}))


def changed(data, offset, size, value):
    out = bytearray(data)
    out[offset:offset + size] = value.to_bytes(size, "little")
    return bytes(out)


RELOC_AT = parse(linked_at(0x10000000))[0].raw[4][0]  # .reloc's file offset
# name, image, the same at another base, words that the rejection must contain
RELOC_TESTS = [
    ("reloc_good", linked_at(0x10000000), linked_at(0x6EF20000), None),
    ("reloc_dropped", drop_relocation(linked_at(0x10000000), 1),
     drop_relocation(linked_at(0x6EF20000), 1),
     ["1 places differ without a relocation", "RVA 0x1025"]),
    ("reloc_not_address", linked_at(0x10000000, words=(0x10, 0x40)),
     linked_at(0x6EF20000, words=(0x10, 0x40)), ["RVA 0x1023", "expected 0x"]),
    ("reloc_twice", linked_at(0x10000000, (0x10, 0x10)), linked_at(0x6EF20000, (0x10, 0x10)),
     ["overlap at RVA 0x1010"]),
    ("reloc_dir64", linked_at(0x10000000, kinds=(3, 10, 3)),
     linked_at(0x6EF20000, kinds=(3, 10, 3)), ["type 10 at RVA 0x1023", "at RVA 0x1025"]),
    ("reloc_same_base", linked_at(0x10000000), linked_at(0x10000000), ["both images"]),
    ("reloc_header", linked_at(0x10000000), changed(linked_at(0x6EF20000), 0x80 + 24 + 16, 4,
                                                    0x1020), ["headers differ"]),
    ("reloc_block_size", changed(linked_at(0x10000000), RELOC_AT + 4, 4, 0x30),
     changed(linked_at(0x6EF20000), RELOC_AT + 4, 4, 0x30), ["unreadable", "size 0x30"]),
]


def judge(name, problems, expected):
    text = "; ".join(problems)
    ok = not problems if expected is None else bool(problems) and all(w in text
                                                                      for w in expected)
    print("%-20s %s  %s" % (name, "ok  " if ok else "FAIL", text or "passes"))
    return 0 if ok else 1


def self_test(directory):
    os.makedirs(directory, exist_ok=True)
    failures = 0
    for name, data, expected in SELF_TESTS:
        failures += judge(name, verdict(data)[0], expected)
    for name, data, expected in VERSION_TESTS:
        failures += judge(name, version_problems(data, parse(data)[0], *VERSION), expected)
    for name, data, reference, expected in REST_TESTS:
        failures += judge(name, rest_problems(data, reference), expected)
    for name, data, other, expected in RELOC_TESTS:
        failures += judge(name, rebase_problems(data, other), expected)
    # The command line too: a broken file on disk makes `check` exit non-zero,
    # a good one exit zero.
    # The command line also wants the copy mark in .qimark.
    images = dict((n, d) for n, d, _ in SELF_TESTS)
    images["unmarked"] = images["good"]
    images["good"] = make_pe(sections=((".text", 0x1000, 0x800), (".reloc", 0x5000, 0x30),
                                       (".qimark", 0x6000, 0x28)),
                             contents={".qimark": COPY_MARK + bytes(8)}, size_of_image=0x7000)
    for name, want in (("imports", 1), ("unmarked", 1), ("good", 0)):
        rc = write_and_check(os.path.join(directory, name + ".dll"), images[name])
        ok = (rc != 0) == bool(want)
        print("%-20s %s  command line exit %d" % ("cli_" + name, "ok  " if ok else "FAIL", rc))
        failures += 0 if ok else 1
    total = len(SELF_TESTS) + len(VERSION_TESTS) + len(REST_TESTS) + len(RELOC_TESTS) + 3
    print("%d passed, %d failed" % (total - failures, failures))
    return failures


