#!/usr/bin/python3
"""The release archive (tools/package/package.py).

  test_package.py archive --root DIR --win-dir DIR --version V --work DIR
      packages the Windows build in DIR and checks the archive: its name
      (and no older version's archive beside it),
      its entries in order with their dates and attributes, the binaries and
      LICENSE as they are, SHA256SUMS (inside and beside it, and as `sha256sum
      -c` reads it), README.txt and CHANGELOG.txt (CR LF, plain text, the
      players' sections; the releases from this one); then unpacks it into a
      stand-in game folder and loads the
      unpacked plug-in there once under Wine (prefix DIR/prefix), with the
      checks of the scenario worker_finds_vhud (its whole log)
  test_package.py reproducible --version V --commit C --source-date S
      copies this tree into two temporary folders, builds the plug-in and
      the checker in each (MinGW, two jobs) and packages them: the .asi, the
      .exe, the archive (its text files too) and SHA256SUMS must be the same
      bytes, the PE headers must hold no time stamp, and no binary may hold
      the folders' names
"""
import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from checks import Checks  # noqa: E402
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))
import scenarios_hook  # noqa: E402
import wine_checks  # noqa: E402
PACKAGE = os.path.join(ROOT, "tools", "package", "package.py")
SHORT_LOAD = scenarios_hook.SCENARIOS["worker_finds_vhud"]
ENTRIES = ["Quorvel_Icons.asi", "quorvel-check.exe", "README.txt", "CHANGELOG.txt", "LICENSE",
           "SHA256SUMS"]
BINARIES = ENTRIES[:2]
PLAYER_HEADINGS = ["What it does", "The download", "Checking a download", "Installing",
                   "Checking a VHud version: quorvel-check",
                   "What happened in your last game: quorvel-check --log",
                   "Checking the whole install: quorvel-check --game",
                   "No log, or the plug-in has gone",
                   "Troubleshooting: every line of the log"]




def sha256(data):
    return hashlib.sha256(data).hexdigest()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def source_date(win_dir):
    text = read(os.path.join(win_dir, "generated", "version.txt")).decode()
    return int(dict(line.split("=", 1) for line in text.split())["source_date"])


def check_text(c, name, text, title, headings):
    """Returns the lines of a text file of the archive."""
    c.true(b"\n" not in text.replace(b"\r\n", b""), "%s: a line end other than CR LF" % name)
    c.true(text.endswith(b"\r\n"), "%s: no line end at the end" % name)
    c.true(all(byte < 0x80 for byte in text), "%s: not plain ASCII" % name)
    lines = text.decode("ascii", "replace").split("\r\n")
    c.equal(lines[:2], [title, "=" * len(title)], "%s: title" % name)
    found = [lines[i - 1] for i in range(1, len(lines))
             if lines[i] and set(lines[i]) == {"-"} and len(lines[i]) == len(lines[i - 1])]
    c.equal(found, headings, "%s: the sections, in order" % name)
    for markup in ("`", "**", "](", "|---", "## "):
        c.true(markup not in "\n".join(lines), "%s: Markdown left: %r" % (name, markup))
    return lines


def check_changelog(c, text, version):
    with open(os.path.join(ROOT, "CHANGELOG.md"), encoding="utf-8") as f:
        releases = [line[3:].strip() for line in f if line.startswith("## ")]
    c.equal(releases[:1], [version.split("+")[0]], "CHANGELOG.md: the newest release")
    check_text(c, "CHANGELOG.txt", text, "Quorvel Icons: Changes", releases)


def check_readme(c, text, version):
    lines = check_text(c, "README.txt", text, "Quorvel Icons %s" % version, PLAYER_HEADINGS)
    for needed in ("sha256sum -c SHA256SUMS", "certutil -hashfile Quorvel_Icons.asi SHA256",
                   "[BOOT] Quorvel Icons + STATIC WHEEL + SPACING TEST13 SAFE RADAR started"):
        c.true(any(needed in line for line in lines), "README.txt: no line with %r" % needed)
    c.true("For developers" not in "\n".join(lines), "README.txt: the developers' part")


def cmd_archive(args):
    c = Checks()
    work = os.path.abspath(args.work)
    win_dir = os.path.abspath(args.win_dir)
    shutil.rmtree(work, ignore_errors=True)
    dist = os.path.join(work, "dist")
    # An older version's archive goes, anything else stays.
    os.makedirs(dist)
    for stale in ("Quorvel_Icons-0.9.0.zip", "notes.txt"):
        with open(os.path.join(dist, stale), "wb") as f:
            f.write(b"x")
    proc = subprocess.run([sys.executable, PACKAGE, "--win-dir", win_dir, "--out", dist],
                          capture_output=True, text=True)
    print(proc.stdout + proc.stderr)
    if proc.returncode != 0:
        print("FAILED: package.py exited %d" % proc.returncode)
        return 1
    name = "Quorvel_Icons-%s.zip" % args.version
    c.equal(sorted(os.listdir(dist)), sorted([name, "SHA256SUMS", "notes.txt"]),
            "files in the output folder")
    # The commit's time, in the zip format's two-second steps.
    stamp = time.gmtime(max(source_date(win_dir), 315532800) // 2 * 2)[:6]
    with zipfile.ZipFile(os.path.join(dist, name)) as archive:
        infos = archive.infolist()
        c.equal([(i.filename, i.date_time, i.create_system, i.external_attr, i.compress_type)
                 for i in infos],
                [(e, stamp, 0, 0x20, zipfile.ZIP_DEFLATED) for e in ENTRIES],
                "entries: name, date, system, attributes, method")
        files = {i.filename: archive.read(i) for i in infos}
    if set(files) != set(ENTRIES):
        return c.finish("the release archive")
    for binary in BINARIES:
        c.true(files[binary] == read(os.path.join(win_dir, binary)),
               "%s differs from the build's" % binary)
    c.true(files["LICENSE"] == read(os.path.join(ROOT, "LICENSE")),
           "LICENSE differs from the tree's")
    c.equal(files["SHA256SUMS"].decode(), "".join("%s  %s\n" % (sha256(files[e]), e)
                                                  for e in ENTRIES[:-1]), "SHA256SUMS")
    c.equal(read(os.path.join(dist, "SHA256SUMS")), files["SHA256SUMS"],
            "SHA256SUMS beside the archive")
    check_readme(c, files["README.txt"], args.version)
    check_changelog(c, files["CHANGELOG.txt"], args.version)

    # A player's folder: the stand-in game and VHud, the archive unpacked.
    game = os.path.join(work, "game")
    os.makedirs(game)
    for standin in ("standin_game.exe", "VHud.asi"):
        shutil.copy(os.path.join(win_dir, standin), game)
    with zipfile.ZipFile(os.path.join(dist, name)) as archive:
        archive.extractall(game)
    check = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=game, capture_output=True,
                           text=True)
    c.equal((check.returncode, check.stdout),
            (0, "".join("%s: OK\n" % e for e in ENTRIES[:-1])), "sha256sum -c SHA256SUMS")
    # The binaries are the build's, byte for byte (above), and the build's
    # runs are the Wine tests': one load of the unpacked DLL in the game
    # folder, the worker finding VHud and hooking the HUD, shows the rest.
    run = wine_checks.Run(args.root, game, "archive_unpacked", SHORT_LOAD[0])
    load = wine_checks.Checks(run)
    SHORT_LOAD[1](load)
    c.equal(load.finish("archive_unpacked"), 0,
            "one load of the unpacked plug-in in the game folder")
    return c.finish("the release archive, unpacked into the stand-in game's folder")


def tree_files(source):
    """The files a clone of `source` would have (and new ones not ignored)."""
    listed = subprocess.run(["git", "-C", source, "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], capture_output=True)
    if listed.returncode == 0:
        return [p for p in listed.stdout.decode().split("\0")
                if p and os.path.isfile(os.path.join(source, p))]
    found = []
    for folder, dirs, names in os.walk(source):
        dirs[:] = [d for d in dirs if d not in (".git", "build")]
        found += [os.path.relpath(os.path.join(folder, n), source) for n in names]
    return found


def build(source, files, folder, args):
    """Copies the tree to folder/src-like paths, builds and packages it;
    returns {name: bytes} of the outputs and the seconds taken."""
    started = time.time()
    for path in files:
        os.makedirs(os.path.dirname(os.path.join(folder, path)), exist_ok=True)
        shutil.copy2(os.path.join(source, path), os.path.join(folder, path))
    build_dir = os.path.join(folder, "build", "win")
    env = dict(os.environ, SOURCE_DATE_EPOCH=str(args.source_date))
    steps = [["cmake", "-S", folder, "-B", build_dir,
              "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/mingw-i686.cmake" % folder,
              "-DQI_COMMIT=%s" % args.commit],
             ["cmake", "--build", build_dir, "-j2", "--target", "quorvel_icons",
              "quorvel-check"],
             [sys.executable, os.path.join(folder, "tools", "package", "package.py"),
              "--win-dir", build_dir, "--out", os.path.join(folder, "dist")]]
    for step in steps:
        proc = subprocess.run(step, env=env, capture_output=True, text=True)
        if proc.returncode != 0:
            raise RuntimeError("%s failed:\n%s%s" % (" ".join(step), proc.stdout, proc.stderr))
    zip_name = "Quorvel_Icons-%s.zip" % args.version
    outputs = {name: read(os.path.join(build_dir, name)) for name in BINARIES}
    outputs[zip_name] = read(os.path.join(folder, "dist", zip_name))
    outputs["SHA256SUMS"] = read(os.path.join(folder, "dist", "SHA256SUMS"))
    return outputs, time.time() - started


def pe_time_stamp(data):
    (lfanew,) = struct.unpack_from("<I", data, 0x3C)
    return struct.unpack_from("<I", data, lfanew + 8)[0]


def cmd_reproducible(args):
    if os.environ.get("QI_IN_VM"):
        print("SKIPPED: two MinGW builds under the VM's software emulation would take many "
              "minutes; the builds need nothing 32-bit (run this test on the machine itself)")
        return 77
    c = Checks()
    files = tree_files(ROOT)
    temps = [tempfile.mkdtemp(prefix="qi_repro_") for _ in range(2)]
    # Folders of different names and depths.
    folders = [os.path.join(temps[0], "src"),
               os.path.join(temps[1], "another", "Quorvel Icons source")]
    try:
        results = [build(ROOT, files, folder, args) for folder in folders]
        for (outputs, seconds), folder in zip(results, folders):
            print("%s: built and packaged in %.0f s" % (folder, seconds))
            for name, data in outputs.items():
                print("  %-40s %7d bytes  %s" % (name, len(data), sha256(data)))
            for binary in BINARIES:
                c.equal(pe_time_stamp(outputs[binary]), 0, "%s's time stamp" % binary)
                for name in set(folders + temps):
                    for text in (name.encode(), name.encode("utf-16-le")):
                        c.true(text not in outputs[binary],
                               "%s holds the folder name %s" % (binary, name))
        (first, _), (second, _) = results
        c.equal(sorted(first), sorted(second), "outputs")
        for name in first:
            c.true(first[name] == second.get(name), "%s differs between the builds" % name)
    finally:
        for temp in temps:
            shutil.rmtree(temp, ignore_errors=True)
    return c.finish("two builds in two folders give the same bytes")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    archive = sub.add_parser("archive")
    for option in ("--root", "--win-dir", "--version", "--work"):
        archive.add_argument(option, required=True)
    reproducible = sub.add_parser("reproducible")
    reproducible.add_argument("--version", required=True)
    reproducible.add_argument("--commit", default="")
    reproducible.add_argument("--source-date", type=int, default=0)
    args = parser.parse_args()
    if args.command == "archive":
        return cmd_archive(args)
    return cmd_reproducible(args)


if __name__ == "__main__":
    sys.exit(main())
