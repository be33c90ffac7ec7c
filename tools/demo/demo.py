#!/usr/bin/python3
"""The demo: the real Quorvel_Icons.asi in the stand-in game under Wine.

  demo.py [--root DIR] [--win-dir DIR] [--out DIR] [--scenario FILE]

Runs the default scenario (scenarios/default.toml) and VHud alone
(scenarios/vhud_alone.toml), checks what the runs show and, with
quorvel-check --game, the install in the default run's game folder (its two
icons written by the demo; the stand-in VHud does not read them), draws the layout
preview and prints the plug-in's log step by step, the checks, a summary and
the paths of what it wrote (under --out, default build/demo).
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tools", "preview"))
import scenario as scenario_mod  # noqa: E402
import wine  # noqa: E402
from png import write_png  # noqa: E402

# One pass of the worker's second phase is the four installers and a 500 ms
# sleep; a site put back at any moment is patched again by the end of the
# first whole pass after that. The stand-in game counts the passes through
# the worker's sleeps (the restore and repatch records), so the check holds
# on a machine of any speed.
PASS_MS = 500

# The worker may look VHud.asi up after the loader listed it but before
# VHud's entry point pointed the game's HUD jump at VHud (on Windows too a
# module is listed before its entry point has run). The jump then still
# leads to the game's own HUD routine: the plug-in warns once and hooks the
# jump at a later attempt. Legitimate, but only as exactly that.
EARLY_LOOK = "[WARN] HUD jump target is outside VHud: "
HOOK_LINE = "[HOOK] installed; original="

HIDDEN_STEPS = [  # (flag or player change in the step's words, state line)
    ("menu 1", "[STATE] hidden: menu active"),
    ("frozen 1", "[STATE] hidden: game frozen/paused"),
    ("hud 0", "[STATE] hidden: CHud::m_Wants_To_Draw_Hud = false"),
    ("widescreen 1", "[STATE] hidden: widescreen/cinematic"),
    ("cutscene 1", "[STATE] hidden: cutscene running"),
    ("player 0.0", "[STATE] hidden: player dead / invalid health"),
    ("player none", "[STATE] hidden: player ped unavailable"),
]


def events(records, name):
    return [r for r in records if r["event"] == name]


def bits_float(hex_text):
    return struct.unpack("<f", struct.pack("<I", int(hex_text, 16)))[0]


def log_of(records):
    return [r["line"] for r in events(records, "log")]


def early_look(records, lines):
    """(the log lines without the early look's warning, True) when they hold
    it exactly as an early look writes it: the plug-in loaded before VHud,
    which then pointed the jump at itself; the warning once, naming the
    jump's target before VHud (the game's own HUD routine), right before the
    first [HOOK] line. Otherwise (the lines as they are, False)."""
    game, plugin, vhud = events(records, "game"), events(records, "plugin"), events(records, "vhud")
    if not (game and plugin and vhud and plugin[0]["t_ms"] < vhud[0]["t_ms"] and
            vhud[0]["hooked_game"] == 1):
        return lines, False
    warning = EARLY_LOOK + game[0]["hud_jump_target"]
    at = [i for i, l in enumerate(lines) if l == warning]
    hooks = [i for i, l in enumerate(lines) if l.startswith(HOOK_LINE)]
    if len(at) == 1 and hooks and hooks[0] == at[0] + 1:
        return lines[:at[0]] + lines[at[0] + 1:], True
    return lines, False


def repatched_in_first_pass(restore, repatch):
    """Every site of the restore holds the plug-in's bytes again at the end
    of the worker's first whole pass after it (pass 1), or already at the
    end of the pass it interrupted (pass 0, only when the worker was not
    asleep at the restore)."""
    allowed = (1,) if restore["worker_asleep"] else (0, 1)
    return repatch["repatched"] == 1 and all(s["pass"] in allowed for s in repatch["sites"])


class Facts:
    def __init__(self):
        self.items = []

    def check(self, ok, text):
        self.items.append((bool(ok), text))
        return ok

    @property
    def ok(self):
        return all(ok for ok, _ in self.items)


def steps_doing(header, word):
    return [s["n"] for s in header["steps"] if word in s["do"]]


def check_default(records, log_file_lines):
    """What the default scenario must show; each fact is read from the
    trace."""
    f = Facts()
    header = records[0]
    lines = log_of(records)
    frames = events(records, "frame")
    f.check(events(records, "exit") and events(records, "exit")[0]["code"] == 0,
            "the stand-in game ran the scenario to its end (exit code 0)")
    f.check(lines == log_file_lines,
            "the trace holds every line of Quorvel_Icons.log, in order (%d lines)" % len(lines))
    f.check(all(fr["fault"] == 0 for fr in frames),
            "every HUD frame returned with the game's registers and stack intact (%d frames)"
            % len(frames))
    # Start before VHud.
    plugin = events(records, "plugin")
    vhud = events(records, "vhud")
    ok_lines = [r for r in events(records, "log") if r["line"].startswith("[OK] VHud.asi base=")]
    if f.check(plugin and vhud and ok_lines and plugin[0]["t_ms"] < vhud[0]["t_ms"],
               "the plug-in started before VHud.asi was loaded"):
        f.check(ok_lines[0]["line"] == "[OK] VHud.asi base=%s size=%s" % (vhud[0]["base"],
                                                                          vhud[0]["size"]),
                "the worker found VHud.asi after it appeared, %.0f ms after the plug-in started: "
                "%s" % (vhud[0]["t_ms"] - plugin[0]["t_ms"], ok_lines[0]["line"]))
    for needle in ("[WHEEL][OK] static-slot patch installed",
                   "[WHEEL][OK] horizontal slot-spacing patch installed",
                   "[WHEEL][OK] centre text patch installed", HOOK_LINE):
        f.check(any(l.startswith(needle) for l in lines), "logged: %s..." % needle)
    rest, early = early_look(records, lines)
    f.check(not any(l.startswith(("[WARN]", "[ERR]", "[WHEEL][ERR]")) for l in rest),
            "no warning or error in the log" + (
                " but the early look's: the worker looked VHud.asi up before VHud had pointed "
                "the HUD jump at itself, then hooked it" if early else ""))
    # Icons hidden in each hidden state.
    for word, state in HIDDEN_STEPS:
        steps = steps_doing(header, word)
        in_step = [fr for fr in frames if fr["step"] in steps]
        f.check(steps and in_step and all(fr["draws"] == 0 for fr in in_step) and state in lines,
                "%-45s no icon drawn in %d frames" % (state, len(in_step)))
    # A new player record.
    new = steps_doing(header, "new-player 100.0")
    players = events(records, "player")
    first_record = players[0]["record"] if players else None
    new_frames = [fr for fr in frames if fr["step"] in new]
    f.check(new_frames and all(fr["player"] != first_record and fr["draws"] == 2
                               for fr in new_frames) and
            "[INFO] cached icon textures invalidated after player transition" in lines and
            sum(1 for l in lines if l.startswith("[LOAD]")) == 2,
            "a new player record: cached icons dropped, loaded again, drawn in %d frames"
            % len(new_frames))
    # The weapon wheel.
    wheel_frames = [fr for fr in frames if fr.get("wheel") == 1]
    f.check(wheel_frames and all(fr["radar_seen"] == 0 and fr["radar_after"] == 1 and
                                 fr["draws"] == 0 for fr in wheel_frames),
            "wheel open in %d frames: VHud saw its radar off, the radar was back on after, "
            "no icon drawn" % len(wheel_frames))
    wheels = events(records, "wheel")
    upright = True
    for w in wheels:
        for q in w["values"]["quads"]:
            upright &= abs(q[0] - q[6]) < 1e-3 and abs(q[2] - q[4]) < 1e-3
            upright &= abs(q[1] - q[3]) < 1e-3 and abs(q[5] - q[7]) < 1e-3
    f.check(wheels and upright and all(w["slot_faults"] == 0 for w in wheels),
            "every wheel slot drawn upright (%d wheel frames)" % len(wheels))
    # The screen sizes.
    draws = events(records, "draw")
    sizes = sorted({tuple(d["screen"]) for d in draws})
    f.check(len(sizes) >= 2, "icons drawn at %s" % ", ".join("%dx%d" % s for s in sizes))
    # Restore and re-patch.
    restore = events(records, "restore")
    repatch = events(records, "repatch")
    if f.check(restore and repatch and all(s["was_patched"] for s in restore[0]["sites"]),
               "another party put back the original bytes of %d patched sites"
               % (len(restore[0]["sites"]) if restore else 0)):
        r = repatch[0]
        f.check(repatched_in_first_pass(restore[0], r),
                "the plug-in patched every site again in its first pass after the restore "
                "(counted through its sleeps), %.0f ms later (a pass comes every %d ms)"
                % (r["last_ms"], PASS_MS))
        hooks = [l for l in lines if l.startswith(HOOK_LINE)]
        f.check(len(hooks) == 2, "the hook's second \"[HOOK] installed\" line was logged")
    patches = events(records, "patches")
    f.check(patches and patches[-1]["in_place"] == 4,
            "at the end all 4 patches are in place (hook, static slot, spacing, 6 centre texts)")
    f.check(lines and lines[-1] == "[STOP] DLL detach", "the log ends with [STOP] DLL detach")
    return f


def story(records):
    """The scenario's steps, each with the log lines that appeared during it
    and what its frames drew."""
    header = records[0]
    out = []
    by_step = {}
    for r in records[1:]:
        by_step.setdefault(r.get("step", 0), []).append(r)
    for s in header["steps"]:
        rs = by_step.get(s["n"], [])
        frames = [r for r in rs if r["event"] == "frame"]
        out.append("\u2500\u2500 step %d: %s" % (s["n"], s["note"] or "; ".join(s["do"])))
        detail = "   [%s]" % "; ".join(s["do"])
        if frames:
            draws = sum(fr["draws"] for fr in frames)
            scr = frames[-1]["screen"]
            detail += "  %d frame%s at %dx%d, %d icon draw%s" % (
                len(frames), "" if len(frames) == 1 else "s", scr[0], scr[1], draws,
                "" if draws == 1 else "s")
        for r in rs:
            if r["event"] == "repatch":
                detail += "  re-patched %d sites %.0f ms after the restore" % (
                    len(r["sites"]), r["last_ms"])
            if r["event"] == "hook" and r["redirected"]:
                detail += "  HUD jump now leads to %s" % r["target"]
        out.append(detail)
        for r in rs:
            if r["event"] == "log":
                out.append("   " + r["line"])
    return out


def check_install(root, win_dir, game_dir):
    """The game folder of a run made a whole install: the VHud.asi and the
    plug-in the game loaded beside it, and two small icons in VHud/icons.
    Returns quorvel-check.exe --game's exit code on it (under Wine)."""
    icons = os.path.join(game_dir, "VHud", "icons")
    os.makedirs(icons, exist_ok=True)
    for name in ("VHud.asi", "Quorvel_Icons.asi"):
        shutil.copy(os.path.join(win_dir, name), game_dir)
    write_png(os.path.join(icons, "health_icon.png"), 32, 32, (0xD0, 0x30, 0x30, 0xFF))
    write_png(os.path.join(icons, "armour_icon.png"), 32, 32, (0x30, 0x60, 0xD0, 0xFF))
    out_path = os.path.join(game_dir, "install_check.txt")
    with open(out_path, "wb") as out:
        return subprocess.run(["wine", os.path.join(win_dir, "quorvel-check.exe"), "--game",
                               "Z:" + game_dir.replace("/", "\\")],
                              env=wine.env(root), stdin=subprocess.DEVNULL, stdout=out,
                              stderr=subprocess.STDOUT, timeout=wine.RUN_TIMEOUT).returncode


def run_demo(root, win_dir, out_dir, scenario_path, quiet=False):
    started = time.time()
    if not wine.boot(root):
        print("the Wine prefix could not be created")
        return 1, None
    os.makedirs(out_dir, exist_ok=True)
    default_dir = os.path.join(out_dir, "default")
    alone_dir = os.path.join(out_dir, "vhud_alone")
    trace, records, code = scenario_mod.run(scenario_path, root, win_dir, default_dir)
    alone_trace, alone_records, alone_code = scenario_mod.run(
        os.path.join(ROOT, "scenarios", "vhud_alone.toml"), root, win_dir, alone_dir)
    log_path = os.path.join(default_dir, "Quorvel_Icons.log")
    facts = check_default(records, scenario_mod.log_lines(log_path))
    facts.check(alone_code == 0 and len(events(alone_records, "wheel")) == 3,
                "VHud alone drew its wheel at 3 screen sizes (for the preview)")
    facts.check(check_install(root, win_dir, default_dir) == 0,
                "quorvel-check --game on the game folder: a clean install, exit 0 "
                "(default/install_check.txt)")
    import preview  # noqa: E402  (pycairo, /usr/bin/python3)
    png, svg, _ = preview.write([trace, alone_trace], preview.SCREENS,
                                os.path.join(out_dir, "preview"))
    seconds = time.time() - started

    if not quiet:
        print("\nQuorvel Icons demo: %s" % records[0]["title"])
        print("The plug-in's log, each line under the scenario step in which it appeared:\n")
        print("\n".join(story(records)))
        print("\nChecks:")
        for ok, text in facts.items:
            print("  %s %s" % ("\u2713" if ok else "\u2717 FAILED:", text))
    frames = events(records, "frame")
    draws = events(records, "draw")
    patches = events(records, "patches")
    lines = log_of(records)
    summary = [
        "frames run:        %d" % len(frames),
        "icons drawn:       %d (%d health, %d armour)" % (
            len(draws), len(draws[0::2]), len(draws[1::2])),
        "patches in place:  %s of 4 (HUD hook, static slot, slot spacing, %s of 6 centre texts)"
        % ((patches[-1]["in_place"], patches[-1]["centre_text_sites"]) if patches else ("?", "?")),
        "lines logged:      %d" % len(lines),
        "checks:            %d of %d passed" % (sum(ok for ok, _ in facts.items),
                                                len(facts.items)),
        "time:              %.1f s (game runs %.2f s and %.2f s)" % (
            seconds, events(records, "exit")[0]["seconds"],
            events(alone_records, "exit")[0]["seconds"]),
    ]
    print("\nSummary:")
    for s in summary:
        print("  " + s)
    print("\nWritten:")
    for what, path in (("log", log_path), ("install check", os.path.join(default_dir,
                                                                         "install_check.txt")),
                       ("trace", trace), ("VHud alone trace", alone_trace),
                       ("preview", png), ("preview", svg)):
        print("  %-17s %s" % (what, os.path.relpath(path, os.getcwd())))
    with open(os.path.join(out_dir, "summary.txt"), "w") as f:
        f.write("\n".join(summary) + "\n")
    return (0 if facts.ok and code == 0 else 1), records


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", default=os.path.join(ROOT, "build", "wine"))
    parser.add_argument("--win-dir", default=os.path.join(ROOT, "build", "win"))
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "demo"))
    parser.add_argument("--scenario", default=os.path.join(ROOT, "scenarios", "default.toml"))
    args = parser.parse_args()
    if not wine.have_wine():
        print("wine is not installed (tools/setup.sh installs it)")
        return 1
    if not os.path.exists(os.path.join(args.win_dir, "standin_game.exe")):
        print("no standin_game.exe in %s: build the Windows tree first" % args.win_dir)
        return 1
    try:
        code, _ = run_demo(os.path.abspath(args.root), os.path.abspath(args.win_dir),
                           os.path.abspath(args.out), args.scenario)
    except scenario_mod.ScenarioError as e:
        print("scenario error: %s" % e)
        return 2
    return code


if __name__ == "__main__":
    sys.exit(main())
