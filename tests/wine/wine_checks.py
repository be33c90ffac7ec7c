"""What every Wine scenario shares: one run of the stand-in game (its exit
code, JSON records and the plug-in's log), the collected checks, and the
checks that every run passes (boot lines first, the detach line last, VHud's
record, where the plug-in loaded) or that every hooked run passes (the [HOOK]
line)."""
import json
import os
import shutil
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                "demo"))
import wine  # noqa: E402  (the Wine environment every run here shares)

BOOT_LINES = [
    "[BOOT] Quorvel Icons + STATIC WHEEL + SPACING TEST13 SAFE RADAR started",
    "[INFO] External ASI only; VHud.asi / hud.dat are not modified on disk",
    "[INFO] Weapon wheel mode: TEST11 layout + ammo centering + SAFE temporary radar hide"
    " + hide custom health/armour icons while wheel open",
]
WORKER_LINE = "[THREAD] worker started"
STOP_LINE = "[STOP] DLL detach"
NOT_FOUND_LINE = "[ERR] VHud.asi not found"
OTHER_BUILD_LINE = "[ERR] VHud.asi build not recognised; nothing patched"
WHEEL_LINES = [
    "[WHEEL][OK] horizontal slot-spacing patch installed (background + weapon + ammo) [TEST11]",
    "[WHEEL][INFO] X offsets: 0,-62,-48,-62,0,+62,+48,+62; Y unchanged; content offsets use"
    " screen-height scaling too; ammo fine-tune: 0,+8,+10,+8,0,-8,-10,-8",
    "[WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]",
    "[WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)",
]
VHUD_ROTATE_VERTICES = 0x50290
MIN_VHUD_SIZE = 0x104A000
# The step that loads the plug-in with its preferred range left free; every
# other scenario has it relocated.
AT_IMAGE_BASE = "plugin-at-image-base"
RUN_TIMEOUT = wine.RUN_TIMEOUT


def f32(value):
    """Bit pattern of the single-precision float nearest to value."""
    return struct.unpack("<I", struct.pack("<f", value))[0]


def fbits(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def hx(value):
    return "0x%08X" % value


def wine_env(root):
    return wine.env(root)


class Run:
    """One run of the stand-in game: exit code, JSON records, the log."""

    def __init__(self, root, win_dir, name, steps, extra_env=None):
        self.steps = steps
        self.plugin_file = os.path.join(win_dir, "Quorvel_Icons.asi")
        self.dir = os.path.join(root, "runs", name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.command = ["wine", os.path.join(win_dir, "standin_game.exe"),
                        "--out", "results.jsonl"] + steps
        started = time.time()
        # Output goes to a file rather than a pipe: a wine server started by
        # this run outlives it and would hold a pipe open.
        output_path = os.path.join(self.dir, "output.txt")
        with open(output_path, "wb") as output:
            proc = subprocess.run(self.command, cwd=self.dir,
                                  env=dict(wine_env(root), **(extra_env or {})),
                                  stdin=subprocess.DEVNULL, stdout=output,
                                  stderr=subprocess.STDOUT, timeout=RUN_TIMEOUT)
        self.seconds = time.time() - started
        self.exit_code = proc.returncode
        with open(output_path, "rb") as output:
            self.output = output.read().decode(errors="replace")
        self.records = []
        path = os.path.join(self.dir, "results.jsonl")
        if os.path.exists(path):
            with open(path, "rb") as f:
                for raw in f.read().decode().splitlines():
                    self.records.append(json.loads(raw))
        self.log_path = os.path.join(self.dir, "Quorvel_Icons.log")
        self.log_bytes = b""
        if os.path.exists(self.log_path):
            with open(self.log_path, "rb") as f:
                self.log_bytes = f.read()
        self.lines = self.log_bytes.decode("latin-1").split("\r\n")
        if self.lines and self.lines[-1] == "":
            self.lines.pop()

    def events(self, name):
        return [r for r in self.records if r["event"] == name]

    def event(self, name):
        found = self.events(name)
        return found[0] if len(found) == 1 else None

    def dump(self):
        print("---- command: %s (cwd %s)" % (" ".join(self.command), self.dir))
        print("---- exit code %d after %.1f s; output:" % (self.exit_code, self.seconds))
        print(self.output.rstrip())
        print("---- results.jsonl:")
        for r in self.records:
            print(json.dumps(r)[:300])
        print("---- Quorvel_Icons.log:")
        print(self.log_bytes.decode("latin-1").rstrip())


class Checks:
    def __init__(self, run):
        self.run = run
        self.failures = []

    def expect(self, condition, what):
        if not condition:
            self.failures.append(what)
        return condition

    def equal(self, actual, expected, what):
        return self.expect(actual == expected, "%s: got %r, expected %r" % (what, actual, expected))

    def finish(self, name):
        if self.failures:
            self.run.dump()
            print("---- FAILED checks of %s:" % name)
            for f in self.failures:
                print("  - " + f)
            return 1
        print("scenario %s passed (%d log lines, %d records, %.1f s)" % (
            name, len(self.run.lines), len(self.run.records), self.run.seconds))
        return 0


def common_checks(c, with_vhud):
    """Exit code, CR LF line ends, the boot lines and the worker line first,
    the detach line last."""
    run = c.run
    c.equal(run.exit_code, 0, "exit code of standin_game.exe")
    c.expect(run.event("unload") is not None, "the run reached its unload step")
    c.expect(run.log_bytes.endswith(b"\r\n"), "the log ends with CR LF")
    c.expect(b"\n" not in run.log_bytes.replace(b"\r\n", b"") and
             b"\r" not in run.log_bytes.replace(b"\r\n", b""),
             "every line of the log ends in CR LF and holds no other CR or LF")
    c.equal(run.lines[:4], BOOT_LINES + [WORKER_LINE], "first four log lines")
    c.expect(run.lines[-1:] == [STOP_LINE], "last log line is %r" % STOP_LINE)
    game = run.event("game")
    if c.expect(game is not None, "game record"):
        c.equal(game["image_base"], hx(0x400000), "stand-in game image base")
    plugin_base_checks(c)
    if with_vhud:
        vhud = run.event("vhud")
        if c.expect(vhud is not None, "one vhud record"):
            base, size = int(vhud["base"], 16), int(vhud["size"], 16)
            c.expect(size >= MIN_VHUD_SIZE, "VHud SizeOfImage 0x%X >= 0x%X" % (size, MIN_VHUD_SIZE))
            c.expect(base % 0x10000 == 0, "VHud base 0x%X is 64 KiB aligned" % base)
            c.equal(vhud["hooked_game"], 1, "VHud pointed the game's HUD jump at its routine")
            # With the plug-in loaded first, its worker may have hooked the
            # jump before VHud's load returned, however fast the machine.
            plugin_first = any(r["event"] == "plugin"
                               for r in run.records[:run.records.index(vhud)])
            hook = run.event("hook")
            allowed = [vhud["hud_routine"]]
            if plugin_first and hook is not None:
                allowed.append(hook["target"])
            c.expect(vhud["hud_jump_target"] in allowed,
                     "HUD jump target after VHud load: got %s, expected one of %s"
                     % (vhud["hud_jump_target"], allowed))
        return vhud
    return None


def plugin_base_checks(c):
    """The plug-in loaded away from its ImageBase (read here from its file)
    or, where the steps say so, at it."""
    run = c.run
    plugin = run.event("plugin")
    if not c.expect(plugin is not None, "one plugin record"):
        return
    with open(run.plugin_file, "rb") as f:
        header = f.read(0x400)
    image_base = hx(struct.unpack_from("<I", header, struct.unpack_from("<I", header, 0x3C)[0]
                                       + 24 + 28)[0])
    c.equal(plugin.get("image_base"), image_base, "the plug-in's ImageBase as the stand-in read it")
    if AT_IMAGE_BASE in run.steps:
        c.equal(plugin["base"], image_base, "the plug-in's base with its range left free")
    else:
        c.expect(plugin["base"] != image_base,
                 "the plug-in relocated: base %s, ImageBase %s" % (plugin["base"], image_base))


def hook_checks(c, vhud, plugin):
    """The hook record and the [HOOK] line; returns the index of that line."""
    run = c.run
    hook = run.event("hook")
    if not c.expect(hook is not None and hook["redirected"] == 1,
                    "the plug-in redirected the HUD jump within the wait"):
        return None
    target = int(hook["target"], 16)
    pbase, psize = int(plugin["base"], 16), int(plugin["size"], 16)
    c.expect(pbase <= target < pbase + psize,
             "HUD jump target 0x%X lies inside the plug-in 0x%X+0x%X" % (target, pbase, psize))
    line = "[HOOK] installed; original=%s hook=%s" % (vhud["hud_routine"], hx(target))
    if not c.expect(run.lines.count(line) == 1, "exactly one %r" % line):
        return None
    return run.lines.index(line)
