#!/usr/bin/python3
"""quorvel-check's version, and its Windows build started the ways players
start it.

  test_checker.py version-linux CHECK VERSION
      the Linux build's --version prints "quorvel-check VERSION"
  test_checker.py explorer --root DIR --win-dir DIR --version V --work DIR
      the Windows build under Wine (prefix DIR/prefix): --version; without
      a path it checks the VHud.asi beside it, else the one in the current
      folder, else names both folders and exits 2; its report is the one it
      prints for that path given. Started by standin_explorer.exe in a
      console of its own (double-click, drag-and-drop) it ends with "Press
      Enter to close" and reads standard input up to the first line end and
      no further; in a shared console (a command prompt) it reads nothing.
"""
import argparse
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

PROMPT = b"Press Enter to close"




def windows_path(path):
    """The path as Wine's programs see it (drive Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def cmd_version_linux(args):
    c = Checks()
    proc = subprocess.run([args.check, "--version"], capture_output=True)
    c.equal((proc.returncode, proc.stdout, proc.stderr),
            (0, ("quorvel-check %s\n" % args.version).encode(), b""), "exit, output, error")
    return c.finish("quorvel-check --version (Linux build)")


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
    # game/: the checker beside the stand-in VHud.asi. beside_junk/: a file
    # named VHud.asi that is no image. lone/: the checker alone. empty/.
    folders = {name: os.path.join(work, name) for name in ("game", "beside_junk", "lone",
                                                             "empty")}
    for folder in folders.values():
        os.makedirs(folder)
    win_dir = os.path.abspath(args.win_dir)
    exe = os.path.join(win_dir, "quorvel-check.exe")
    vhud = os.path.join(win_dir, "VHud.asi")
    for name in ("game", "lone"):
        shutil.copy(exe, folders[name])
    shutil.copy(vhud, folders["game"])
    with open(os.path.join(folders["beside_junk"], "VHud.asi"), "wb") as f:
        f.write(b"not an image")
    game_exe = os.path.join(folders["game"], "quorvel-check.exe")
    lone_exe = os.path.join(folders["lone"], "quorvel-check.exe")
    game_vhud = os.path.join(folders["game"], "VHud.asi")
    r = Runner(args.root, work)

    code, out, err = r.run([game_exe, "--version"], folders["empty"])
    c.equal((code, out, err), (0, ("quorvel-check %s\r\n" % args.version).encode(), b""),
            "--version: exit, output, error")

    # The reports for the two paths given, to compare the searches with.
    code, report, err = r.run([game_exe, windows_path(game_vhud)], folders["empty"])
    c.equal((code, err), (0, b""), "the stand-in VHud.asi given: exit, error")
    c.equal(report.split(b"\r\n")[0], b"file: %s (%d bytes)" % (
        windows_path(game_vhud).encode(), os.path.getsize(vhud)), "its first line")

    c.equal(r.run([game_exe], folders["beside_junk"]), (0, report, b""),
            "no path: VHud.asi beside the checker, before the current folder's")
    lone_vhud_report = r.run([lone_exe, windows_path(game_vhud)], folders["game"])
    c.equal(r.run([lone_exe], folders["game"]), lone_vhud_report,
            "no path, none beside the checker: the current folder's VHud.asi")
    c.equal(r.run([lone_exe], folders["empty"]),
            (2, b"", b"quorvel-check: no VHud.asi beside quorvel-check.exe (%s) or in the "
             b"current folder (%s)\r\n" % (windows_path(folders["lone"]).encode(),
                                           windows_path(folders["empty"]).encode())),
            "no path, no VHud.asi anywhere: exit, output, error")
    c.equal(r.run([lone_exe], folders["lone"]),
            (2, b"", b"quorvel-check: no VHud.asi beside quorvel-check.exe (%s)\r\n"
             % windows_path(folders["lone"]).encode()),
            "no path, run in its own folder without VHud.asi: one folder named")

    explorer = os.path.join(win_dir, "standin_explorer.exe")
    quoted_game = '"%s"' % windows_path(game_exe)
    line_and_more = b"\r\nnot for the checker\r\n"
    c.equal(r.explorer(explorer, "own", quoted_game, line_and_more, folders["beside_junk"]),
            (0, 2, report + PROMPT),
            "double-clicked (a console of its own): exit, input read, console")
    c.equal(r.explorer(explorer, "own", '%s "%s"' % (quoted_game, windows_path(game_vhud)),
                       b"y\r\n", folders["empty"]),
            (0, 3, report + PROMPT), "VHud.asi dropped on it: exit, input read, console")
    not_found = r.run([lone_exe], folders["empty"])[2]
    c.equal(r.explorer(explorer, "own", '"%s"' % windows_path(lone_exe), line_and_more,
                       folders["empty"]),
            (2, 2, not_found + PROMPT), "double-clicked, no VHud.asi: the error, then the wait")
    c.equal(r.explorer(explorer, "own", quoted_game, b"", folders["empty"]),
            (0, 0, report + PROMPT), "a console of its own, input at its end: no hang")
    c.equal(r.explorer(explorer, "shared", quoted_game, line_and_more, folders["empty"]),
            (0, 0, report), "from a command prompt (a shared console): no wait")
    return c.finish("quorvel-check from Explorer and without a path (Windows build, Wine)")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    version = sub.add_parser("version-linux")
    version.add_argument("check")
    version.add_argument("version")
    explorer = sub.add_parser("explorer")
    for option in ("--root", "--win-dir", "--version", "--work"):
        explorer.add_argument(option, required=True)
    args = parser.parse_args()
    if args.command == "version-linux":
        return cmd_version_linux(args)
    return cmd_explorer(args)


if __name__ == "__main__":
    sys.exit(main())
