#!/usr/bin/python3
"""Writes the release archive from a Windows build.

  package.py --win-dir DIR --out DIR

reads DIR/Quorvel_Icons.asi, DIR/quorvel-check.exe and the version of that
build (DIR/generated/version.txt), makes README.txt from README.md and
CHANGELOG.txt from CHANGELOG.md, and writes OUT/Quorvel_Icons-<version>.zip
with, in this order, Quorvel_Icons.asi, quorvel-check.exe, README.txt,
CHANGELOG.txt, LICENSE (the repository's) and SHA256SUMS (their checksums),
and OUT/SHA256SUMS, the same file beside it; the archives of
other versions in OUT are removed. Prints what it wrote, with sizes and
checksums.

The archive's bytes depend on nothing but those files: fixed order, every
entry dated at the commit's time (1980-01-01 without one), no owner or
permission bits (only the MS-DOS archive attribute), deflated at level 9.
"""
import argparse
import hashlib
import io
import os
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import readme_text  # noqa: E402

BINARIES = ["Quorvel_Icons.asi", "quorvel-check.exe"]
ZIP_EPOCH = 315532800  # 1980-01-01 00:00:00 UTC, the earliest time a zip entry holds


def read_build_version(win_dir):
    """(version, source date) of the build in win_dir."""
    path = os.path.join(win_dir, "generated", "version.txt")
    fields = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            fields[key] = value
    if not fields.get("version"):
        raise ValueError("%s names no version" % path)
    return fields["version"], int(fields.get("source_date") or 0)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def contents(win_dir, version):
    """The archive's files in order: [(name, bytes)]."""
    files = []
    for name in BINARIES:
        with open(os.path.join(win_dir, name), "rb") as f:
            files.append((name, f.read()))
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        files.append(("README.txt", readme_text.readme_text(f.read(), version)))
    with open(os.path.join(ROOT, "CHANGELOG.md"), encoding="utf-8") as f:
        files.append(("CHANGELOG.txt", readme_text.changelog_text(f.read())))
    with open(os.path.join(ROOT, "LICENSE"), "rb") as f:
        files.append(("LICENSE", f.read()))
    sums = "".join("%s  %s\n" % (sha256(data), name) for name, data in files)
    files.append(("SHA256SUMS", sums.encode()))
    return files


def zip_bytes(files, source_date):
    stamp = time.gmtime(max(source_date, ZIP_EPOCH))[:6]
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, data in files:
            entry = zipfile.ZipInfo(name, date_time=stamp)
            entry.compress_type = zipfile.ZIP_DEFLATED
            # Made on MS-DOS, attribute "archive": no Unix owner or mode bits.
            entry.create_system = 0
            entry.external_attr = 0x20
            archive.writestr(entry, data, compresslevel=9)
    return buffer.getvalue()


def write_file(path, data):
    """Writes through a temporary name, so that a reader never sees half a file."""
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--win-dir", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    try:
        version, source_date = read_build_version(args.win_dir)
        files = contents(args.win_dir, version)
    except (OSError, ValueError) as e:
        print("package: %s" % e, file=sys.stderr)
        return 1
    os.makedirs(args.out, exist_ok=True)
    zip_name = "Quorvel_Icons-%s.zip" % version
    zip_path = os.path.join(args.out, zip_name)
    # OUT holds one release: the SHA256SUMS beside it is that archive's.
    for old in os.listdir(args.out):
        if old.startswith("Quorvel_Icons-") and old.endswith(".zip") and old != zip_name:
            os.remove(os.path.join(args.out, old))
    archive = zip_bytes(files, source_date)
    write_file(zip_path, archive)
    write_file(os.path.join(args.out, "SHA256SUMS"), files[-1][1])
    print("%s (%d bytes, sha256 %s):" % (zip_path, len(archive), sha256(archive)))
    for name, data in files:
        print("  %-18s %7d bytes  %s" % (name, len(data), sha256(data)))
    print("%s (the archive's SHA256SUMS)" % os.path.join(args.out, "SHA256SUMS"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
