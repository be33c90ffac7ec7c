#!/usr/bin/python3
"""Tests of the demo's scenario runs, their traces and the layout preview.

  test_demo.py default --root DIR --win-dir DIR --out DIR
      runs scenarios/default.toml and scenarios/vhud_alone.toml under Wine
      (traces in DIR) and checks the plug-in's whole log, its draws at the
      three screen sizes as bit patterns, the wheel at 1280 x 1024 against
      VHud alone, the hidden states, the radar and the re-patch after a
      restore
  test_demo.py preview --out DIR
      draws the preview from the traces in DIR and checks the PNG and SVG
  test_demo.py scenario-errors
      scenario files with mistakes are refused with the step named
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools", "demo"))
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, os.path.join(ROOT, "tools", "preview"))
import scenario  # noqa: E402
import demo  # noqa: E402
from checks import Checks  # noqa: E402

TIME_SCALE = demo.wine.TIME_SCALE  # time limits only stop a hung run

OFFSETS = [0, -62, -48, -62, 0, 62, 48, 62]
FINE = [0, 8, 10, 8, 0, -8, -10, -8]


def f32(value):
    """The single-precision float nearest to value, as a Python float."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


def bits(value):
    return "0x%08X" % struct.unpack("<I", struct.pack("<f", value))[0]




def ev(records, name):
    return [r for r in records if r["event"] == name]


def expected_log(records):
    """The whole log the default scenario must produce, with the addresses
    of this run taken from the trace."""
    vhud = ev(records, "vhud")[0]
    base = int(vhud["base"], 16)
    hook = ev(records, "hook")[0]["target"]
    players = [p["record"] for p in ev(records, "player") if p["record"] != "0x00000000"]
    icons = ev(records, "icons")[0]
    pointers = "health=%s armour=%s" % (icons["health"], icons["armour"])
    hook_line = "[HOOK] installed; original=%s hook=%s" % (vhud["hud_routine"], hook)
    return [
        "[BOOT] Quorvel Icons + STATIC WHEEL + SPACING TEST13 SAFE RADAR started",
        "[INFO] External ASI only; VHud.asi / hud.dat are not modified on disk",
        "[INFO] Weapon wheel mode: TEST11 layout + ammo centering + SAFE temporary radar hide"
        " + hide custom health/armour icons while wheel open",
        "[THREAD] worker started",
        "[OK] VHud.asi base=%s size=%s" % (vhud["base"], vhud["size"]),
        "[WHEEL][OK] static-slot patch installed; original RotateVertices=0x%08X"
        % (base + 0x50290),
        "[WHEEL][OK] horizontal slot-spacing patch installed (background + weapon + ammo) [TEST11]",
        "[WHEEL][INFO] X offsets: 0,-62,-48,-62,0,+62,+48,+62; Y unchanged; content offsets use"
        " screen-height scaling too; ammo fine-tune: 0,+8,+10,+8,0,-8,-10,-8",
        "[WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]",
        "[WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)",
        hook_line,
        "[INFO] player pointer changed -> %s" % players[0],
        "[STATE] drawing allowed",
        "[LOAD] " + pointers,
        "[DRAW] first successful draw " + pointers,
        "[STATE] hidden: menu active",
        "[STATE] hidden: game frozen/paused",
        "[STATE] hidden: CHud::m_Wants_To_Draw_Hud = false",
        "[STATE] hidden: widescreen/cinematic",
        "[STATE] hidden: cutscene running",
        "[STATE] drawing allowed",
        "[STATE] hidden: player dead / invalid health",
        "[INFO] player pointer changed -> 0x00000000",
        "[INFO] cached icon textures invalidated after player transition",
        "[STATE] hidden: player ped unavailable",
        "[INFO] player pointer changed -> %s" % players[-1],
        "[STATE] drawing allowed",
        "[LOAD] " + pointers,
        "[RADAR][OK] safe wrapper active: temporarily disabling radar while weapon wheel is open",
        "[ICONS][OK] custom health/armour icons hidden while weapon wheel is open",
        hook_line,
        "[STOP] DLL detach",
    ]


# Draws per screen size: x, health y, armour y, size (bit patterns).
DRAWS = {
    (1920, 1080): ("0x41600000", "0x433C0000", "0x43550000", "0x41C00000"),  # 14 188 213 24
    # 13.274071, 178.25189, 201.95557, 22.755554
    (1280, 1024): ("0x41546298", "0x4332407C", "0x4349F4A0", "0x41B60B60"),
    (2560, 1080): ("0x43A70000", "0x433C0000", "0x43550000", "0x41C00000"),  # 334 188 213 24
}


def check_default(c, records, alone, log_file):
    lines = [r["line"] for r in ev(records, "log")]
    rest, early = demo.early_look(records, lines)
    c.equal(rest, expected_log(records), "the plug-in's log, as the trace recorded it%s"
            % (" (the early look's warning taken out)" if early else ""))
    c.equal(lines, log_file, "the trace's log lines against Quorvel_Icons.log")
    c.equal([r["code"] for r in ev(records, "exit")], [0], "exit code")
    header = records[0]
    c.equal(header["event"], "scenario", "the trace starts with its scenario header")
    c.true(all("step" in r for r in records[1:]), "every record names its scenario step")
    # The plug-in before VHud, VHud found by a later worker attempt.
    order = [r["event"] for r in records if r["event"] in ("plugin", "vhud", "hook")]
    c.equal(order, ["plugin", "vhud", "hook"], "plug-in loaded, then VHud, then the hook")
    frames = ev(records, "frame")
    c.true(all(f["fault"] == 0 for f in frames), "every frame kept the game's registers")
    # Draws: per frame two draws (health, armour) or none; exact bits.
    draws = ev(records, "draw")
    by_frame = {}
    for d in draws:
        by_frame.setdefault(d["frame"], []).append(d)
        c.equal(bits(d["x_value"]), d["x"], "draw %d: decimal x is the bit pattern's value"
                % d["index"])
        c.equal(bits(d["y_value"]), d["y"], "draw %d: decimal y" % d["index"])
    for f in frames:
        ds = by_frame.get(f["frame"], [])
        c.equal(len(ds), f["draws"], "frame %d: draw records" % f["frame"])
        if not ds:
            continue
        want = DRAWS[tuple(f["screen"])]
        got = [(d["x"], d["y"], d["width"], d["height"]) for d in ds]
        c.equal(got, [(want[0], want[1], want[3], want[3]), (want[0], want[2], want[3], want[3])],
                "frame %d at %dx%d: health then armour icon" % ((f["frame"],) + tuple(f["screen"])))
    c.equal(sorted({tuple(f["screen"]) for f in frames if f["draws"]}), sorted(DRAWS),
            "icons drawn at the three screen sizes")
    # Hidden states and the wheel draw nothing; the others draw both icons.
    hidden = {"menu 1", "frozen 1", "hud 0", "widescreen 1", "cutscene 1", "player 0.0",
              "player none"}
    for s in header["steps"]:
        fs = [f for f in frames if f["step"] == s["n"]]
        if not fs:
            continue
        hides = bool(hidden & set(s["do"])) or fs[0].get("wheel") == 1
        c.equal([f["draws"] for f in fs], [0 if hides else 2] * len(fs),
                "step %d (%s): draws per frame" % (s["n"], "; ".join(s["do"])))
    # Wheel frames: radar off while VHud drew, back on after.
    wheel_frames = [f for f in frames if f.get("wheel") == 1]
    c.equal(len(wheel_frames), 5, "frames with the wheel open")
    c.equal({(f["radar_seen"], f["radar_after"], f["wheel_seen"]) for f in wheel_frames},
            {(0, 1, 1)}, "radar as VHud saw it, radar after the frame, wheel seen")
    c.equal({f["radar_seen"] for f in frames if f.get("wheel") == 0}, {1},
            "radar on in frames with the wheel closed")
    # The wheel at 1280 x 1024 against VHud alone at the same size.
    mine = [w for w in ev(records, "wheel") if w["screen"] == [1280, 1024]]
    theirs = [w for w in ev(alone, "wheel") if w["screen"] == [1280, 1024]]
    if c.equal((len(mine), len(theirs)), (1, 1), "wheel records at 1280x1024"):
        w, a = mine[0], theirs[0]
        scale = f32(f32(1024.0) / f32(1080.0))
        content = [bits(f32(x + f32(scale * o))) for x, o in zip(a["values"]["content_x"],
                                                                   OFFSETS)]
        c.equal(w["content_x"], content, "1280x1024 content x: VHud's plus the scaled offset")
        ammo = [bits(x + (f32(scale * o) + f32(scale * t)))
                for x, o, t in zip(a["values"]["ammo_x"], OFFSETS, FINE)]
        c.equal(w["ammo_x"], ammo, "1280x1024 ammo x: VHud's plus offset and fine-tune")
        for k in range(8):
            q = w["values"]["quads"][k]
            r = a["values"]["quads"][k]
            mx, rx = sum(q[0::2]) / 4, sum(r[0::2]) / 4
            c.true(abs((mx - rx) - scale * OFFSETS[k]) < 2e-3,
                   "slot %d moved by %g, expected %g" % (k, mx - rx, scale * OFFSETS[k]))
            c.true(abs(q[0] - q[6]) < 2e-3 and abs(q[1] - q[3]) < 2e-3,
                   "slot %d upright at 1280x1024" % k)
            c.true(abs(r[0] - r[6]) > 1 or abs(r[1] - r[3]) > 1 or k in (0, 4),
                   "slot %d tilted without the plug-in" % k)
    at1920 = [w for w in ev(records, "wheel") if w["screen"] == [1920, 1080]]
    c.true(at1920, "wheel records at 1920x1080")
    for w in at1920:
        c.equal(w["centre_text"], [bits(v) for v in (476, 960, 610, 960, 703, 960)],
                "centre texts at 1920x1080, frame %d" % w["frame"])
    # Restore and re-patch within one pass.
    restore = ev(records, "restore")
    repatch = ev(records, "repatch")
    if c.equal((len(restore), len(repatch)), (1, 1), "one restore and one re-patch"):
        names = ["hud-jump", "static-slot", "spacing", "name-y", "name-x", "count-y", "count-x",
                 "arrow-y", "extra-x"]
        c.equal([s["site"] for s in restore[0]["sites"]], names, "restored sites")
        c.equal([s["was_patched"] for s in restore[0]["sites"]], [1] * 9,
                "each site held the plug-in's bytes before the restore")
        spacing = restore[0]["sites"][2]
        c.equal(spacing["restored_bytes"], "8B 7A 44 8D 8D A4 C0 FF FF", "spacing bytes put back")
        plugin = spacing["plugin_bytes"].split()
        c.equal(plugin[:4] + plugin[8:], ["8B", "7A", "44", "E9", "90"],
                "spacing site: VHud's first instruction, a jump and one no-operation byte")
        r = repatch[0]
        c.equal(r["repatched"], 1, "every site patched again")
        passes = [s["pass"] for s in r["sites"]]
        if restore[0]["worker_asleep"]:
            c.equal(passes, [1] * 9, "restored while the worker slept: each site patched again "
                    "in the worker's next pass")
        else:
            c.true(set(passes) <= {0, 1}, "restored while the worker ran a pass: each site "
                   "patched again in that pass or the next: %r" % passes)
    patches = ev(records, "patches")
    c.equal([(p["hud_hook"], p["static_slot"], p["spacing"], p["centre_text_sites"],
              p["in_place"]) for p in patches], [(1, 1, 1, 6, 4)], "patches in place at unload")
    # The demo's own checks hold too.
    facts = demo.check_default(records, log_file)
    c.equal([t for ok, t in facts.items if not ok], [], "the demo's checks")


def cmd_default(args):
    c = Checks()
    out = os.path.abspath(args.out)
    trace, records, code = scenario.run(os.path.join(ROOT, "scenarios", "default.toml"),
                                        args.root, args.win_dir, os.path.join(out, "default"))
    _, alone, alone_code = scenario.run(os.path.join(ROOT, "scenarios", "vhud_alone.toml"),
                                        args.root, args.win_dir, os.path.join(out, "vhud_alone"))
    c.equal((code, alone_code), (0, 0), "exit codes of the two runs")
    log_file = scenario.log_lines(os.path.join(out, "default", "Quorvel_Icons.log"))
    check_default(c, records, alone, log_file)
    c.equal(demo.check_install(args.root, args.win_dir, os.path.join(out, "default")), 0,
            "quorvel-check --game on the default run's game folder: a clean install")
    c.equal([(w["screen"], w["quad0"] == w["unpatched0"]) for w in ev(alone, "wheel")],
            [([1280, 1024], True), ([1920, 1080], True), ([2560, 1080], True)],
            "VHud alone: three wheel frames, slots as VHud's own rotation places them")
    c.equal([r["line"] for r in ev(alone, "log")], [], "VHud alone: no plug-in log")
    if demo.early_look(records, log_file)[1]:
        print("the worker looked VHud.asi up before VHud had set its HUD jump: one early "
              "warning, then the hook")
    return c.finish("demo default scenario")


def png_size(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        return None
    if zlib.crc32(data[12:29]) != struct.unpack(">I", data[29:33])[0]:
        return None
    return struct.unpack(">II", data[16:24])


def cmd_preview(args):
    c = Checks()
    out = os.path.abspath(args.out)
    traces = [os.path.join(out, "default", "trace.jsonl"),
              os.path.join(out, "vhud_alone", "trace.jsonl")]
    prefix = os.path.join(out, "test_preview")
    for ext in (".png", ".svg"):
        if os.path.exists(prefix + ext):
            os.remove(prefix + ext)
    tool = os.path.join(ROOT, "tools", "preview", "preview.py")
    proc = subprocess.run([sys.executable, tool] + traces + ["--out", prefix],
                          capture_output=True, text=True, timeout=120 * TIME_SCALE)
    c.equal(proc.returncode, 0, "preview exit code (%s)" % proc.stdout.strip())
    c.equal(proc.stdout.splitlines(), [prefix + ".png", prefix + ".svg"], "preview output")
    size = png_size(prefix + ".png") if os.path.exists(prefix + ".png") else None
    if c.true(size is not None, "a PNG with a valid header"):
        c.equal(size[0], 1920, "PNG width")
        c.true(1200 <= size[1] <= 2400, "PNG height %d" % size[1])
    try:
        root = ElementTree.parse(prefix + ".svg").getroot()
        c.equal(root.tag, "{http://www.w3.org/2000/svg}svg", "SVG root element")
        c.equal(root.get("width"), "1920pt", "SVG width")
        c.true(sum(1 for _ in root.iter()) > 500, "the SVG holds the drawing")
    except (OSError, ElementTree.ParseError) as e:
        c.true(False, "SVG parses: %s" % e)
    # Only VHud alone at one size: the other sizes are reported as missing.
    proc = subprocess.run([sys.executable, tool, traces[1], "--screens", "1920x1080,800x600",
                           "--out", prefix + "_alone"], capture_output=True, text=True,
                          timeout=120 * TIME_SCALE)
    c.equal(proc.returncode, 0, "preview of VHud alone")
    c.true("preview: 800x600 has no icons or wheel with the plug-in or wheel of VHud alone"
           in proc.stdout, "missing size reported: %r" % proc.stdout)
    # A trace with no frame at the sizes asked for is refused.
    proc = subprocess.run([sys.executable, tool, traces[1], "--screens", "640x480", "--out",
                           prefix + "_none"], capture_output=True, text=True,
                          timeout=120 * TIME_SCALE)
    c.equal((proc.returncode, proc.stdout.strip()),
            (1, "preview: the traces hold no frame at 640x480"), "preview without frames")
    c.true(not os.path.exists(prefix + "_none.png"), "no picture written without frames")
    return c.finish("preview")


def cmd_scenario_errors(_args):
    c = Checks()
    cases = [
        ('steps = [ { frames = 2 }, { frame = 3 } ]',
         "step 2: unknown key frame (known: "),
        ('steps = [ { screen = "1920by1080", frames = 1 } ]',
         'step 1: screen must be "WIDTHxHEIGHT" or [WIDTH, HEIGHT]'),
        ('steps = [ { icons = "broken" } ]', "step 1: icons takes one of valid, none, health-only"),
        ('steps = [ { frames = -1 } ]', "step 1: frames must be a whole number >= 0"),
        ('steps = [ { load = "game" } ]', 'step 1: load takes "vhud" or "plugin"'),
        ('steps = []', "`steps` must be a non-empty array of tables"),
        ('steps = [ { frames = 1 }', "Unclosed array"),
        ('screen = "1x1"\nsteps = [ 3 ]', "step 1: a step is a table"),
        ('colour = 1\nsteps = [ { frames = 1 } ]', "unknown top-level key(s) colour"),
    ]
    with tempfile.TemporaryDirectory() as tmp:
        for n, (text, message) in enumerate(cases):
            path = os.path.join(tmp, "case%d.toml" % n)
            with open(path, "w") as f:
                f.write(text + "\n")
            proc = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "demo",
                                                                "scenario.py"), path, "--check"],
                                  capture_output=True, text=True, timeout=60 * TIME_SCALE)
            c.equal(proc.returncode, 2, "exit code for %r" % text)
            c.true(proc.stdout.startswith("scenario error: %s" % path) and message in proc.stdout,
                   "message for %r: %r" % (text, proc.stdout))
        # A good file: keys carried out in their fixed order, unload added.
        path = os.path.join(tmp, "good.toml")
        with open(path, "w") as f:
            f.write('steps = [ { frames = 2, wheel = true, screen = [1280, 1024], '
                    'note = "a note" }, { player = "none", new_player = 50 } ]\n')
        proc = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "demo", "scenario.py"),
                               path, "--check"], capture_output=True, text=True,
                              timeout=60 * TIME_SCALE)
        c.equal(proc.stdout.splitlines()[1:],
                ["note step 1", "screen 1280 1024", "wheel 1", "frames 2", "note step 2",
                 "player none", "new-player 50.0", "note step 3", "patches", "unload"],
                "step list of a good file")
    return c.finish("scenario errors")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=["default", "preview", "scenario-errors"])
    parser.add_argument("--root")
    parser.add_argument("--win-dir")
    parser.add_argument("--out")
    args = parser.parse_args()
    if args.command == "default":
        return cmd_default(args)
    if args.command == "preview":
        return cmd_preview(args)
    return cmd_scenario_errors(args)


if __name__ == "__main__":
    sys.exit(main())
