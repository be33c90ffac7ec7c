#!/usr/bin/env python3
"""Checks the shape of the plug-in DLL image.

  pe_check.py check FILE            verdict on one image; exit 0 when it passes
  pe_check.py reject FILE REASON..  exit 0 only when FILE is rejected and every
                                    REASON word occurs in the rejection
  pe_check.py version FILE VERSION NAME dll|app DESCRIPTION
                                    FILE's only resource is a version resource
                                    with exactly these fields
  pe_check.py rest-unchanged FILE BARE
                                    FILE is BARE (the same link without the
                                    resource) plus a last section .rsrc
  pe_check.py relocations FILE REBASED
                                    REBASED (the same link at another image
                                    base) differs from FILE only where FILE's
                                    base relocations say, and no longer so
                                    once one relocation is dropped from both
  pe_check.py self-test DIR         the checker against synthesized good and
                                    broken images (written to DIR)

The plug-in must be a PE32 i386 DLL with no import, export, TLS, load-config,
IAT or delay-import directory, not marked NO_SEH (its code store runs inside
a structured exception frame whose handler Windows would then refuse, as it
would one missing from a load-config's safe handler table), only the
sections .text/.data/.rdata/.bss/.qimark/.reloc/.rsrc,
an entry point inside .text, a base relocation directory, and a resource
directory (when there is one) inside .rsrc.
"""
import os
import struct
import subprocess
import sys

import pe_resource
from pe_resource import DIR_RESOURCE, ResourceError

MACHINE_I386 = 0x14C
FILE_DLL = 0x2000
PE32_MAGIC = 0x10B
ALLOWED_SECTIONS = {".text", ".data", ".rdata", ".bss", ".qimark", ".reloc", ".rsrc"}
# The copy mark's recognition: the first 32 of the 40 bytes that begin the
# section .qimark of every copy of the plug-in (src/platform/copy_mark.h).
COPY_MARK = b"Quorvel Icons copy mark\0" + bytes.fromhex("7530ABBB7D20F8B1")
DIR_EXPORT, DIR_IMPORT, DIR_BASERELOC, DIR_TLS, DIR_IAT, DIR_DELAY = 0, 1, 5, 9, 12, 13
DIR_LOAD_CONFIG = 10
DLL_NO_SEH = 0x400
EMPTY_DIRS = {DIR_EXPORT: "export", DIR_IMPORT: "import", DIR_TLS: "TLS",
              DIR_LOAD_CONFIG: "load-config", DIR_IAT: "IAT", DIR_DELAY: "delay-import"}


class Image:
    pass


def parse(data):
    """Returns (image, None) or (None, error text)."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        return None, "not an MZ image"
    (lfanew,) = struct.unpack_from("<I", data, 0x3C)
    if lfanew + 24 > len(data) or data[lfanew:lfanew + 4] != b"PE\0\0":
        return None, "no PE signature"
    img = Image()
    img.lfanew = lfanew
    (img.machine, nsections, _, _, _, opt_size,
     img.characteristics) = struct.unpack_from("<HHIIIHH", data, lfanew + 4)
    opt = lfanew + 24
    if opt + 96 > len(data) or opt_size < 96:
        return None, "optional header truncated"
    (img.magic,) = struct.unpack_from("<H", data, opt)
    if img.magic != PE32_MAGIC:
        return None, "optional header magic 0x%X is not PE32" % img.magic
    (img.entry,) = struct.unpack_from("<I", data, opt + 16)
    (img.image_base,) = struct.unpack_from("<I", data, opt + 28)
    (img.size_of_image, img.size_of_headers) = struct.unpack_from("<II", data, opt + 56)
    (img.dll_characteristics,) = struct.unpack_from("<H", data, opt + 70)
    img.opt = opt
    (ndirs,) = struct.unpack_from("<I", data, opt + 92)
    if opt + 96 + 8 * min(ndirs, 16) > len(data) or 96 + 8 * min(ndirs, 16) > opt_size:
        return None, "data directories truncated"
    img.dirs = [struct.unpack_from("<II", data, opt + 96 + 8 * i) if i < ndirs else (0, 0)
                for i in range(16)]
    table = opt + opt_size
    if table + 40 * nsections > len(data):
        return None, "section table truncated"
    img.table_end = table + 40 * nsections
    img.sections = []
    img.raw = []  # (file offset, size) of each section's data
    for i in range(nsections):
        raw = data[table + 40 * i:table + 40 * (i + 1)]
        name = raw[:8].rstrip(b"\0").decode("latin-1")
        vsize, va, rawsize, pointer = struct.unpack_from("<IIII", raw, 8)
        img.sections.append((name, va, max(vsize, rawsize)))
        img.raw.append((pointer, rawsize))
    return img, None


def verdict(data):
    """Returns the list of problems (empty when the image passes) and the image."""
    img, error = parse(data)
    if error:
        return [error], None
    problems = []
    if img.machine != MACHINE_I386:
        problems.append("machine 0x%X is not i386 (0x14C)" % img.machine)
    if not img.characteristics & FILE_DLL:
        problems.append("DLL characteristic not set")
    if img.dll_characteristics & DLL_NO_SEH:
        problems.append("marked NO_SEH")
    for index, name in EMPTY_DIRS.items():
        rva, size = img.dirs[index]
        if rva or size:
            problems.append("%s directory present (rva 0x%X size 0x%X)" % (name, rva, size))
    names = [s[0] for s in img.sections]
    for name in names:
        if name not in ALLOWED_SECTIONS:
            problems.append("section %s not allowed" % name)
    text = [s for s in img.sections if s[0] == ".text"]
    if not text:
        problems.append("no .text section")
    if img.entry == 0:
        problems.append("entry point is zero")
    elif text and not (text[0][1] <= img.entry < text[0][1] + text[0][2]):
        problems.append("entry point 0x%X outside .text" % img.entry)
    rva, size = img.dirs[DIR_BASERELOC]
    if rva == 0 or size == 0:
        problems.append("no base relocation directory")
    else:
        inside = [s for s in img.sections if s[1] <= rva and rva + size <= s[1] + s[2]]
        if not inside or inside[0][0] != ".reloc":
            problems.append("base relocation directory not inside .reloc")
    rva, size = img.dirs[DIR_RESOURCE]
    if rva or size:
        inside = [s for s in img.sections if s[1] <= rva and rva + size <= s[1] + s[2]]
        if not inside or inside[0][0] != ".rsrc":
            problems.append("resource directory not inside .rsrc")
        else:
            try:
                pe_resource.resources(data, img)
            except ResourceError as e:
                problems.append("resource directory unreadable: %s" % e)
    elif ".rsrc" in names:
        problems.append("section .rsrc without a resource directory")
    return problems, img


def check(path):
    with open(path, "rb") as f:
        data = f.read()
    problems, img = verdict(data)
    if img:
        # The plug-in itself carries its copy mark, kept whole by the linker.
        marks = [(s, r) for s, r in zip(img.sections, img.raw) if s[0] == ".qimark"]
        if len(marks) != 1 or marks[0][0][2] < 40 or marks[0][1][1] < 40 or \
                data[marks[0][1][0]:marks[0][1][0] + 32] != COPY_MARK:
            problems.append("no section .qimark beginning with the copy mark")
    print("%s: %d bytes on disk" % (path, len(data)))
    if img:
        print("  SizeOfImage 0x%X, entry 0x%X, sections %s" % (
            img.size_of_image, img.entry, " ".join(
                "%s@0x%X+0x%X" % s for s in img.sections)))
    for p in problems:
        print("  REJECTED: " + p)
    if not problems:
        print("  PASSED: PE32 i386 DLL, no import/export/TLS/load-config directories, "
              "not NO_SEH, sections within .text/.data/.rdata/.bss/.qimark/.reloc/.rsrc, entry in "
              ".text, relocations present, resources (if any) in .rsrc, the copy mark in .qimark")
    return problems


def version_problems(data, img, version, name, kind, description):
    """What differs from the expected version resource (empty: none)."""
    try:
        info = pe_resource.read_version(data, img)
    except ResourceError as e:
        return ["version resource unreadable: %s" % e]
    numbers = tuple(int(n) for n in version.split("+")[0].split(".")) + (0,)
    expected = {
        "resources": [(pe_resource.RT_VERSION, 1, pe_resource.LANG_EN_US)],
        "file_version": numbers, "product_version": numbers,
        "type": {"dll": 2, "app": 1}[kind], "os": 0x40004, "flags": 0,
        "table": "040904B0", "translation": [(pe_resource.LANG_EN_US, 1200)],
    }
    strings = {"ProductName": "Quorvel Icons", "FileDescription": description,
               "FileVersion": version, "ProductVersion": version, "OriginalFilename": name}
    actual = dict(info["fixed"])
    actual.update((k, info[k]) for k in ("resources", "table", "translation"))
    problems = ["%s is %r, expected %r" % (k, actual[k], want) for k, want in expected.items()
                if actual[k] != want]
    for key, want in strings.items():
        if key not in info["strings"]:
            problems.append("string %s missing" % key)
        elif info["strings"][key] != want:
            problems.append("string %s is %r, expected %r" % (key, info["strings"][key], want))
    problems += ["string %s not expected" % k for k in info["strings"] if k not in strings]
    return problems


def rest_problems(data, bare):
    """What in DATA differs from BARE other than the resource: the headers
    may differ only in the section count, the sizes, the checksum and the
    resource directory; every byte of BARE past its headers must be in DATA
    at the same offset; .rsrc must be DATA's last section, its data last."""
    img, error = parse(data)
    ref, ref_error = parse(bare)
    if error or ref_error:
        return [error or "bare image: " + ref_error]
    names = [s[0] for s in img.sections]
    if names != [s[0] for s in ref.sections] + [".rsrc"]:
        return ["sections %s are not those of the bare image plus .rsrc last" % names]
    if img.size_of_headers != ref.size_of_headers or img.lfanew != ref.lfanew:
        return ["headers moved or changed size"]
    problems = []
    headers, ref_headers = bytearray(data[:img.size_of_headers]), bytearray(
        bare[:ref.size_of_headers])
    masks = [(img.lfanew + 6, 2, "NumberOfSections"), (img.opt + 8, 4, "SizeOfInitializedData"),
             (img.opt + 56, 4, "SizeOfImage"), (img.opt + 64, 4, "CheckSum"),
             (img.opt + 96 + 8 * DIR_RESOURCE, 8, "resource directory"),
             (ref.table_end, 40, ".rsrc section header")]
    for offset, size, _ in masks:
        headers[offset:offset + size] = ref_headers[offset:offset + size]
    if ref.dirs[DIR_RESOURCE] != (0, 0):
        problems.append("the bare image has a resource directory")
    if headers != ref_headers:
        at = next(i for i in range(len(headers)) if headers[i] != ref_headers[i])
        problems.append("headers differ at 0x%X beyond the fields the resource changes" % at)
    if data[ref.size_of_headers:len(bare)] != bare[ref.size_of_headers:]:
        problems.append("section data differs from the bare image's")
    pointer, size = img.raw[-1]
    if pointer != len(bare) or len(data) != len(bare) + size:
        problems.append(".rsrc data (0x%X+0x%X) does not follow the bare image's end 0x%X"
                        % (pointer, size, len(bare)))
    return problems


def write_and_check(path, data):
    """`check` run as a command on DATA written to PATH: its exit code."""
    with open(path, "wb") as f:
        f.write(data)
    return subprocess.run([sys.executable, __file__, "check", path],
                          stdout=subprocess.DEVNULL).returncode


def main(argv):
    if len(argv) == 3 and argv[1] == "check":
        return 1 if check(argv[2]) else 0
    if len(argv) >= 4 and argv[1] == "reject":
        problems = check(argv[2])
        text = "; ".join(problems)
        missing = [w for w in argv[3:] if w not in text]
        if not problems or missing:
            print("expected a rejection mentioning: %s" % ", ".join(argv[3:]))
            return 1
        return 0
    if len(argv) == 7 and argv[1] == "version":
        with open(argv[2], "rb") as f:
            data = f.read()
        img, error = parse(data)
        problems = [error] if error else version_problems(data, img, *argv[3:])
        print("%s: %d bytes on disk" % (argv[2], len(data)))
        for p in problems:
            print("  REJECTED: " + p)
        if not problems:
            print("  PASSED: one version resource: %s %s (%s), %s" % (argv[5], argv[3], argv[4],
                                                                     argv[6]))
        return 1 if problems else 0
    if len(argv) == 4 and argv[1] == "rest-unchanged":
        with open(argv[2], "rb") as f:
            data = f.read()
        with open(argv[3], "rb") as f:
            bare = f.read()
        problems = rest_problems(data, bare)
        print("%s: %d bytes, without the resource %d bytes" % (argv[2], len(data), len(bare)))
        for p in problems:
            print("  REJECTED: " + p)
        if not problems:
            print("  PASSED: the same headers (but for the resource's fields) and section data, "
                  ".rsrc added last")
        return 1 if problems else 0
    if len(argv) == 4 and argv[1] == "relocations":
        import pe_reloc
        with open(argv[2], "rb") as f:
            data = f.read()
        with open(argv[3], "rb") as f:
            other = f.read()
        problems = pe_reloc.rebase_problems(data, other)
        print("%s against %s (%d bytes)" % (argv[2], argv[3], len(data)))
        if not problems:
            dropped = pe_reloc.rebase_problems(pe_reloc.drop_relocation(data, 0),
                                               pe_reloc.drop_relocation(other, 0))
            print("  with its first relocation dropped: %s" % ("; ".join(dropped) or "passes"))
            problems = [] if dropped else ["a relocation dropped goes unnoticed"]
        for p in problems:
            print("  REJECTED: " + p)
        if not problems:
            print("  PASSED: every difference is a relocated word, moved by the difference "
                  "of the bases")
        return 1 if problems else 0
    if len(argv) == 3 and argv[1] == "self-test":
        import pe_selftest
        return 1 if pe_selftest.self_test(argv[2]) else 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
