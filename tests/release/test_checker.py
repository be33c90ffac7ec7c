#!/usr/bin/python3
"""quorvel-check's version, and its Windows build started the ways players
start it.

  test_checker.py version-linux CHECK VERSION
      the Linux build's --version prints "quorvel-check VERSION"
  test_checker.py log-linux CHECK LOG
      the Linux build explains the demo's log (LOG): exit 0, every part of
      the game in order, the stop line, nothing to act on
  test_checker.py explorer --root DIR --win-dir DIR --version V --work DIR
      the Windows build under Wine (prefix DIR/prefix): --version; without
      a path it checks the install in its own folder, else, when no VHud.asi
      is there, in the current folder, else in its own folder (exit 2); its
      report is the one it prints for that folder given (--game). Started by standin_explorer.exe in a
      console of its own (double-click, drag-and-drop) it ends with "Press
      Enter to close" and reads standard input up to the first line end and
      no further; in a shared console (a command prompt) it reads nothing.
      Double-clicked in a game folder that holds a Quorvel_Icons.log, it
      prints the install check, the log's explanation in it, then the
      prompt; a log dropped on it is explained alone. --game on each of
      INSTALLS.
  test_checker.py install-linux CHECK WIN_DIR WORK
      the Linux build's --game on each of INSTALLS, folders made in WORK
      from the Windows build's VHud.asi and plug-in (WIN_DIR)
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from checks import Checks  # noqa: E402
sys.path.insert(0, os.path.join(ROOT, "tools", "demo"))
import wine  # noqa: E402
from png import write_png  # noqa: E402

PROMPT = b"Press Enter to close"




def windows_path(path):
    """The path as Wine's programs see it (drive Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# Game folders the install check is run on: name, exit code, and the
# finding that gives it: (section, kind of verdict, texts the verdict holds).
INSTALLS = [
    ("clean", 0, None),
    ("two_copies", 1, (2, "act", ["Quorvel_Icons.asi", "\u00c4ltere Kopie.asi"])),
    ("changed_byte", 1, (3, "act", [])),
    ("missing_icon", 1, (4, "act", ["armour_icon"])),
    ("big_png", 1, (4, "act", ["health_icon.png", "5000 x 10"])),
    ("no_vhud", 2, (1, "error", ["VHud.asi"])),
]
# The changed byte lies in the plug-in's code, past the headers.
CHANGED_AT = 0x500


def make_install(folder, win_dir, case):
    """A game folder: VHud.asi, the plug-in, its two icons, changed as `case`
    says (the clean one with 300 other .asi files). Returns the folder's SHA-256 texts of the plug-in: (the file's,
    the build's)."""
    icons = os.path.join(folder, "VHud", "icons")
    os.makedirs(icons)
    if case != "no_vhud":
        shutil.copy(os.path.join(win_dir, "VHud.asi"), folder)
    plugin = os.path.join(folder, "Quorvel_Icons.asi")
    shutil.copy(os.path.join(win_dir, "Quorvel_Icons.asi"), plugin)
    with open(plugin, "rb") as f:
        data = bytearray(f.read())
    built = hashlib.sha256(data).hexdigest()
    if case == "changed_byte":
        data[CHANGED_AT] ^= 0x01
        with open(plugin, "wb") as f:
            f.write(data)
    if case == "two_copies":
        os.makedirs(os.path.join(folder, "scripts"))
        shutil.copy(plugin, os.path.join(folder, "scripts", "\u00c4ltere Kopie.asi"))
    if case == "clean":
        # Hundreds of other .asi files: text, and images that are not the plug-in.
        others = os.path.join(folder, "scripts", "others")
        os.makedirs(others)
        for i in range(300):
            shutil.copy(os.path.join(win_dir, "standin_explorer.exe") if i % 3 == 0 else
                        os.path.join(ROOT, "VERSION"), os.path.join(others, "other%03d.asi" % i))
    write_png(os.path.join(icons, "health_icon.png"), *((5000, 10) if case == "big_png" else (24, 24)))
    if case != "missing_icon":
        write_png(os.path.join(icons, "armour_icon.png"), 24, 24)
    return hashlib.sha256(data).hexdigest(), built


def install_folders(work):
    """Where each case's game folder goes: the changed byte's in a folder
    whose path passes 260 characters, two copies under a non-ASCII name."""
    deep = os.path.join(work, *(["long folder name " * 4] * 4))
    return {name: os.path.join(deep if name == "changed_byte" else work, name)
            for name, _, _ in INSTALLS}


def check_install(c, case, code, out, err, hashes):
    """The install report of `case`: exit code, no error output, and the
    finding's verdict in its section."""
    name, want, finding = next(i for i in INSTALLS if i[0] == case)
    text = out.decode("utf-8", "replace").replace("\r\n", "\n")
    c.equal((code, err), (want, b""), "%s: exit, error" % name)
    found = {}
    section = 0
    for line in text.split("\n"):
        m = re.match(r"(\d)\. ", line)
        section = int(m.group(1)) if m else section
        if line.startswith("verdict: "):
            found.setdefault(section, []).append(line[len("verdict: "):])
    c.equal(sorted(found), [1, 2, 3, 4] + ([5] if 5 in found else []),
            "%s: a verdict in every section" % name)
    if finding is None:
        c.true(all(v.startswith("ok: ") for vs in found.values() for v in vs),
               "%s: every verdict ok" % name)
        return
    number, kind, words = finding
    if name == "changed_byte":
        words = list(hashes)
    hits = [v for v in found.get(number, []) if v.startswith(kind + ": ") and
            all(w in v for w in words)]
    c.true(hits, "%s: section %d says %s: %s" % (name, number, kind, words))
    c.equal([s for s, vs in found.items() if s != number and any(not v.startswith("ok: ")
                                                                   for v in vs)],
            [], "%s: the other sections ok" % name)


def cmd_install_linux(args):
    c = Checks()
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    for case, folder in install_folders(work).items():
        hashes = make_install(folder, args.win_dir, case)
        proc = subprocess.run([args.check, "--game", folder], capture_output=True)
        check_install(c, case, proc.returncode, proc.stdout, proc.stderr, hashes)
    return c.finish("quorvel-check --game on game folders (Linux build)")


def cmd_version_linux(args):
    c = Checks()
    proc = subprocess.run([args.check, "--version"], capture_output=True)
    c.equal((proc.returncode, proc.stdout, proc.stderr),
            (0, ("quorvel-check %s\n" % args.version).encode(), b""), "exit, output, error")
    return c.finish("quorvel-check --version (Linux build)")


LOG_PARTS = [b"Start", b"VHud", b"Weapon wheel patches", b"HUD hook", b"Icons",
             b"Visibility of the icons", b"End of the game"]


def cmd_log_linux(args):
    c = Checks()
    proc = subprocess.run([args.check, "--log", args.log], capture_output=True)
    lines = proc.stdout.split(b"\n")
    c.equal((proc.returncode, proc.stderr), (0, b""), "exit, error")
    c.equal(lines[0], b"log: %s (%d bytes)" % (args.log.encode(), os.path.getsize(args.log)),
            "the first line names the log")
    c.equal([l for l in lines if l in LOG_PARTS], LOG_PARTS, "every part of the game, in order")
    c.true(b"  The log ends with the stop line" in b"\n".join(lines), "the stop line seen")
    c.equal(lines[-2:], [b"result: all went well", b""], "the last line")
    return c.finish("quorvel-check --log on the demo's log (Linux build)")


class Runner:
    """Runs Windows programs under Wine, output through files (a wine
    server started by a run outlives it and would hold a pipe open)."""

    def __init__(self, root, work):
        self.env = wine.env(root)
        self.work = work
        self.count = 0

    def run(self, command, cwd):
        """(exit code, standard output, standard error) of `command`."""
        self.count += 1
        out = os.path.join(self.work, "run%02d.out" % self.count)
        err = os.path.join(self.work, "run%02d.err" % self.count)
        with open(out, "wb") as o, open(err, "wb") as e:
            code = subprocess.run(["wine"] + command, cwd=cwd, env=self.env,
                                  stdin=subprocess.DEVNULL, stdout=o, stderr=e,
                                  timeout=wine.RUN_TIMEOUT).returncode
        with open(out, "rb") as o, open(err, "rb") as e:
            return code, o.read(), e.read()

    def explorer(self, explorer_exe, mode, command_line, stdin_bytes, cwd):
        """standin_explorer.exe: (child's exit code, how far it read its
        input, its output and error in one)."""
        self.count += 1
        given = os.path.join(self.work, "run%02d.in" % self.count)
        taken = os.path.join(self.work, "run%02d.console" % self.count)
        with open(given, "wb") as f:
            f.write(stdin_bytes)
        code, out, err = self.run([explorer_exe, mode, windows_path(given), windows_path(taken),
                                   command_line], cwd)
        match = re.fullmatch(rb"exit (\d+)\r?\ninput read to byte (\d+)\r?\n", out)
        if code != 0 or not match:
            raise RuntimeError("standin_explorer failed (%d): %r %r" % (code, out, err))
        with open(taken, "rb") as f:
            return int(match.group(1)), int(match.group(2)), f.read()


def cmd_explorer(args):
    c = Checks()
    if not wine.boot(args.root):
        print("FAILED: the Wine prefix could not be made")
        return 1
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    # game/: the checker in a clean install. beside_junk/: a file named
    # VHud.asi that is no image. lone/: the checker alone. empty/.
    # game_log/: the checker in a clean install with a log of a crashed game.
    folders = {name: os.path.join(work, name) for name in ("game", "beside_junk", "lone",
                                                             "empty", "game_log")}
    for name in ("beside_junk", "lone", "empty"):
        os.makedirs(folders[name])
    win_dir = os.path.abspath(args.win_dir)
    for name in ("game", "game_log"):
        make_install(folders[name], win_dir, "clean")
    exe = os.path.join(win_dir, "quorvel-check.exe")
    vhud = os.path.join(win_dir, "VHud.asi")
    for name in ("game", "lone", "game_log"):
        shutil.copy(exe, folders[name])
    logs = os.path.join(ROOT, "tests", "check", "logs")
    shutil.copy(os.path.join(logs, "crash_mid_game.log"),
                os.path.join(folders["game_log"], "Quorvel_Icons.log"))
    shutil.copy(os.path.join(logs, "sites_repatched.log"), os.path.join(work, "dropped.log"))
    with open(os.path.join(folders["beside_junk"], "VHud.asi"), "wb") as f:
        f.write(b"not an image")
    game_exe = os.path.join(folders["game"], "quorvel-check.exe")
    lone_exe = os.path.join(folders["lone"], "quorvel-check.exe")
    game_vhud = os.path.join(folders["game"], "VHud.asi")
    r = Runner(args.root, work)

    code, out, err = r.run([game_exe, "--version"], folders["empty"])
    c.equal((code, out, err), (0, ("quorvel-check %s\r\n" % args.version).encode(), b""),
            "--version: exit, output, error")

    # The reports for the path and the folder given, to compare the
    # searches with.
    code, report, err = r.run([game_exe, windows_path(game_vhud)], folders["empty"])
    c.equal((code, err), (0, b""), "the stand-in VHud.asi given: exit, error")
    c.equal(report.split(b"\r\n")[0], b"file: %s (%d bytes)" % (
        windows_path(game_vhud).encode(), os.path.getsize(vhud)), "its first line")
    install = r.run([game_exe, "--game", windows_path(folders["game"])], folders["empty"])
    c.equal(install[0], 0, "the clean install given: exit 0")
    c.true(report in install[1], "its VHud part is the report for that VHud.asi")

    c.equal(r.run([game_exe], folders["beside_junk"]), install,
            "no path: the folder of the checker, before the current folder")
    # The report names the folder, not the checker: the same as the game
    # folder's checker gives for that folder.
    c.equal(r.run([lone_exe], folders["game"]), install,
            "no path, no VHud.asi beside the checker: the current folder")
    nowhere = r.run([lone_exe], folders["empty"])
    c.equal(nowhere, r.run([lone_exe, "--game", windows_path(folders["lone"])], folders["lone"]),
            "no path, no VHud.asi anywhere: the checker's own folder")
    c.equal(nowhere[0], 2, "no VHud.asi anywhere: exit 2")
    for case, folder in install_folders(os.path.join(work, "installs")).items():
        hashes = make_install(folder, win_dir, case)
        code, out, err = r.run([game_exe, "--game", windows_path(folder)], folders["empty"])
        check_install(c, case, code, out, err, hashes)

    explorer = os.path.join(win_dir, "standin_explorer.exe")
    quoted_game = '"%s"' % windows_path(game_exe)
    line_and_more = b"\r\nnot for the checker\r\n"
    c.equal(r.explorer(explorer, "own", quoted_game, line_and_more, folders["beside_junk"]),
            (0, 2, install[1] + PROMPT),
            "double-clicked (a console of its own): exit, input read, console")
    c.equal(r.explorer(explorer, "own", '%s "%s"' % (quoted_game, windows_path(game_vhud)),
                       b"y\r\n", folders["empty"]),
            (0, 3, report + PROMPT), "VHud.asi dropped on it: exit, input read, console")
    c.equal(r.explorer(explorer, "own", '"%s"' % windows_path(lone_exe), line_and_more,
                       folders["empty"]),
            (2, 2, nowhere[1] + PROMPT), "double-clicked, no VHud.asi: the report, then the wait")
    c.equal(r.explorer(explorer, "own", quoted_game, b"", folders["empty"]),
            (0, 0, install[1] + PROMPT), "a console of its own, input at its end: no hang")
    c.equal(r.explorer(explorer, "shared", quoted_game, line_and_more, folders["empty"]),
            (0, 0, install[1]), "from a command prompt (a shared console): no wait")

    # A game folder with a log: the VHud check, then the explanation.
    log_exe = os.path.join(folders["game_log"], "quorvel-check.exe")
    log_vhud = windows_path(os.path.join(folders["game_log"], "VHud.asi"))
    log_path = windows_path(os.path.join(folders["game_log"], "Quorvel_Icons.log"))
    vhud_only = r.run([log_exe, log_vhud], folders["empty"])
    log_only = r.run([log_exe, "--log", log_path], folders["empty"])
    c.equal((log_only[0], log_only[2]), (1, b""), "the crashed game's log: exit 1, no error")
    c.true(b"\r\nEnd of the game\r\n  The log ends without the stop line" in log_only[1],
           "the crash told")
    both = r.run([log_exe, log_vhud, "--log", log_path], folders["empty"])
    c.equal(both, (1, vhud_only[1] + b"\r\n" + log_only[1], b""),
            "VHud.asi and the log given: the check, a blank line, the explanation")
    log_install = r.run([log_exe, "--game", windows_path(folders["game_log"])], folders["empty"])
    c.equal(log_install[0], 1, "the install with a crashed game's log: exit 1")
    c.true(log_only[1] in log_install[1], "the install with a log: the log's explanation in it")
    c.equal(r.explorer(explorer, "own", '"%s"' % windows_path(log_exe), line_and_more,
                       folders["empty"]),
            (1, 2, log_install[1] + PROMPT), "double-clicked beside a log: the install, wait")
    dropped = windows_path(os.path.join(work, "dropped.log"))
    c.equal(r.explorer(explorer, "own", '"%s" "%s"' % (windows_path(log_exe), dropped),
                       b"\r\n", folders["empty"]),
            (0, 2, r.run([log_exe, "--log", dropped], folders["empty"])[1] + PROMPT),
            "a log dropped on it: its explanation alone, then the wait")
    return c.finish("quorvel-check from Explorer and without a path (Windows build, Wine)")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    version = sub.add_parser("version-linux")
    version.add_argument("check")
    version.add_argument("version")
    log = sub.add_parser("log-linux")
    log.add_argument("check")
    log.add_argument("log")
    install = sub.add_parser("install-linux")
    for name in ("check", "win_dir", "work"):
        install.add_argument(name)
    explorer = sub.add_parser("explorer")
    for option in ("--root", "--win-dir", "--version", "--work"):
        explorer.add_argument(option, required=True)
    args = parser.parse_args()
    if args.command == "version-linux":
        return cmd_version_linux(args)
    if args.command == "log-linux":
        return cmd_log_linux(args)
    if args.command == "install-linux":
        return cmd_install_linux(args)
    return cmd_explorer(args)


if __name__ == "__main__":
    sys.exit(main())
