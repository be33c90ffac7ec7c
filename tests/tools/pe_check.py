#!/usr/bin/env python3
"""Checks the shape of the plug-in DLL image.

  pe_check.py check FILE            verdict on one image; exit 0 when it passes
  pe_check.py reject FILE REASON..  exit 0 only when FILE is rejected and every
                                    REASON word occurs in the rejection
  pe_check.py self-test DIR         the checker against synthesized good and
                                    broken images (written to DIR)

The plug-in must be a PE32 i386 DLL with no import, export, TLS, IAT or
delay-import directory, only the sections .text/.data/.rdata/.bss/.reloc, an
entry point inside .text, and a base relocation directory.
"""
import os
import struct
import subprocess
import sys

MACHINE_I386 = 0x14C
FILE_DLL = 0x2000
PE32_MAGIC = 0x10B
ALLOWED_SECTIONS = {".text", ".data", ".rdata", ".bss", ".reloc"}
DIR_EXPORT, DIR_IMPORT, DIR_BASERELOC, DIR_TLS, DIR_IAT, DIR_DELAY = 0, 1, 5, 9, 12, 13
EMPTY_DIRS = {DIR_EXPORT: "export", DIR_IMPORT: "import", DIR_TLS: "TLS",
              DIR_IAT: "IAT", DIR_DELAY: "delay-import"}


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
    (img.size_of_image,) = struct.unpack_from("<I", data, opt + 56)
    (ndirs,) = struct.unpack_from("<I", data, opt + 92)
    if opt + 96 + 8 * min(ndirs, 16) > len(data) or 96 + 8 * min(ndirs, 16) > opt_size:
        return None, "data directories truncated"
    img.dirs = [struct.unpack_from("<II", data, opt + 96 + 8 * i) if i < ndirs else (0, 0)
                for i in range(16)]
    table = opt + opt_size
    if table + 40 * nsections > len(data):
        return None, "section table truncated"
    img.sections = []
    for i in range(nsections):
        raw = data[table + 40 * i:table + 40 * (i + 1)]
        name = raw[:8].rstrip(b"\0").decode("latin-1")
        vsize, va, rawsize = struct.unpack_from("<III", raw, 8)
        img.sections.append((name, va, max(vsize, rawsize)))
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
    return problems, img


def check(path):
    with open(path, "rb") as f:
        data = f.read()
    problems, img = verdict(data)
    print("%s: %d bytes on disk" % (path, len(data)))
    if img:
        print("  SizeOfImage 0x%X, entry 0x%X, sections %s" % (
            img.size_of_image, img.entry, " ".join(
                "%s@0x%X+0x%X" % s for s in img.sections)))
    for p in problems:
        print("  REJECTED: " + p)
    if not problems:
        print("  PASSED: PE32 i386 DLL, no import/export/TLS directories, "
              "sections within .text/.data/.rdata/.bss/.reloc, entry in .text, relocations present")
    return problems


# ---- synthesized images for the self-test -------------------------------

def make_pe(machine=MACHINE_I386, characteristics=0x2102, magic=PE32_MAGIC,
            sections=((".text", 0x1000, 0x800), (".data", 0x2000, 0x10),
                      (".rdata", 0x3000, 0x40), (".bss", 0x4000, 0x20),
                      (".reloc", 0x5000, 0x30)),
            entry=0x1010, dirs=None):
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
    struct.pack_into("<I", out, opt + 28, 0x10000000)
    struct.pack_into("<II", out, opt + 32, 0x1000, 0x200)
    struct.pack_into("<I", out, opt + 56, 0x6000)
    struct.pack_into("<I", out, opt + 60, 0x400)
    struct.pack_into("<I", out, opt + 92, 16)
    for index, (rva, size) in directories.items():
        struct.pack_into("<II", out, opt + 96 + 8 * index, rva, size)
    table = opt + 0xE0
    for i, (name, va, vsize) in enumerate(sections):
        struct.pack_into("<8sIIII", out, table + 40 * i, name.encode(), vsize, va, 0, 0)
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


def self_test(directory):
    os.makedirs(directory, exist_ok=True)
    failures = 0
    for name, data, expected in SELF_TESTS:
        problems, _ = verdict(data)
        text = "; ".join(problems)
        if expected is None:
            ok = not problems
        else:
            ok = bool(problems) and all(word in text for word in expected)
        print("%-16s %s  %s" % (name, "ok  " if ok else "FAIL", text or "passes"))
        failures += 0 if ok else 1
    # The command line too: a broken file on disk makes `check` exit non-zero,
    # a good one exit zero.
    for name, want in (("imports", 1), ("good", 0)):
        path = os.path.join(directory, name + ".dll")
        with open(path, "wb") as f:
            f.write(dict((n, d) for n, d, _ in SELF_TESTS)[name])
        rc = subprocess.run([sys.executable, __file__, "check", path],
                            stdout=subprocess.DEVNULL).returncode
        ok = (rc != 0) == bool(want)
        print("%-16s %s  command line exit %d" % ("cli_" + name, "ok  " if ok else "FAIL", rc))
        failures += 0 if ok else 1
    print("%d passed, %d failed" % (len(SELF_TESTS) + 2 - failures, failures))
    return failures


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
    if len(argv) == 3 and argv[1] == "self-test":
        return 1 if self_test(argv[2]) else 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
