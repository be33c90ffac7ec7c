"""What a real Windows loader and other plug-ins do around the plug-in: it is
freed while the game goes on, VHud is listed before its entry point has run,
a second "VHud.asi" that is never initialised stands ahead of it, another
thread loads and frees a DLL while the worker walks the loader list, the
worker and the render thread write the log at the same moment, another
patcher puts a page's protection back under the plug-in's store, and a
second copy of the plug-in loads right after the first."""
import os
import re
import subprocess

from wine_checks import (BOOT_LINES, STOP_LINE, WHEEL_LINES, WORKER_LINE, VHUD_ROTATE_VERTICES,
                         common_checks, hook_checks, hx, wine_env)


def found_lines(vhud):
    """The worker's lines once it has found VHud and patched its wheel."""
    base = int(vhud["base"], 16)
    return [
        "[OK] VHud.asi base=%s size=%s" % (vhud["base"], vhud["size"]),
        "[WHEEL][OK] static-slot patch installed; original RotateVertices=%s"
        % hx(base + VHUD_ROTATE_VERTICES),
    ] + WHEEL_LINES


def log_before(run, event):
    """The log lines the game had read before its first record `event`."""
    at = next(i for i, r in enumerate(run.records) if r["event"] == event)
    return [r["line"] for r in run.records[:at] if r["event"] == "log"]


def scenario_plugin_freed(c):
    """The game frees the plug-in and goes on drawing: the plug-in pinned
    itself, so its hook, its worker and its icons go on; its detach comes
    only when the process ends."""
    run = c.run
    vhud = common_checks(c, True)
    plugin, freed, passes = run.event("plugin"), run.event("free"), run.event("passes")
    icons, player = run.event("icons"), run.event("player")
    if None in (vhud, plugin, freed, passes, icons, player):
        c.expect(False, "vhud, plugin, free, passes, icons and player records")
        return
    c.equal((freed["result"], freed["still_loaded"]), (1, 1),
            "FreeLibrary returned TRUE and the plug-in stayed mapped")
    c.expect(passes["seen"] >= passes["wanted"],
             "worker passes after the FreeLibrary: %r" % passes)
    frames = run.events("frame")
    c.equal([(f["frame"], f["fault"], f["draws"], f["vhud_hud_runs"]) for f in frames],
            [(k, 0, 2, k) for k in range(1, 7)],
            "six frames, four after the FreeLibrary: balanced, VHud's HUD run, both icons drawn")
    at = hook_checks(c, vhud, plugin)
    if at is None:
        return
    pointers = "health=%s armour=%s" % (icons["health"], icons["armour"])
    c.equal(run.lines[4:], found_lines(vhud) + [run.lines[at]] + [
        "[INFO] player pointer changed -> %s" % player["record"],
        "[STATE] drawing allowed",
        "[LOAD] " + pointers,
        "[DRAW] first successful draw " + pointers,
        STOP_LINE,
    ], "the whole log after the worker's start: one detach line, at the end")
    c.expect(STOP_LINE not in log_before(run, "unload"),
             "no detach line while the game ran on after the FreeLibrary")


def scenario_vhud_still_loading(c):
    """VHud is listed but its loader entry says its entry point has not run:
    for fifteen worker attempts nothing is recorded, patched or logged; once
    the flag is set, the next attempt patches everything."""
    run = c.run
    vhud = common_checks(c, True)
    plugin, passes, hook = run.event("plugin"), run.event("passes"), run.event("hook")
    attached = run.events("vhud_attached")
    patches = run.events("patches")
    if None in (vhud, plugin, passes, hook) or len(attached) != 2 or len(patches) != 2:
        c.expect(False, "vhud, plugin, passes and hook records, two vhud_attached and patches")
        return
    c.equal([int(a["flags"], 16) & 0x80000 for a in attached], [0, 0x80000],
            "the entry's flag cleared, then set")
    c.expect(passes["seen"] >= passes["wanted"],
             "worker attempts while VHud was still loading: %r" % passes)
    c.equal({k: patches[0][k] for k in ("hud_hook", "static_slot", "spacing", "centre_text_sites")},
            {"hud_hook": 0, "static_slot": 0, "spacing": 0, "centre_text_sites": 0},
            "no site patched while VHud's entry point had not run")
    c.equal(log_before(run, "patches"), BOOT_LINES + [WORKER_LINE],
            "nothing logged while VHud's entry point had not run")
    c.equal(patches[1]["in_place"], 4, "every patch in place once the flag was set")
    c.expect(hook["worker_sleeps"] - attached[1]["worker_sleeps"] <= 2,
             "hooked in the attempt after the flag was set (sleeps %d -> %d)"
             % (attached[1]["worker_sleeps"], hook["worker_sleeps"]))
    at = hook_checks(c, vhud, plugin)
    if at is not None:
        c.equal(run.lines[4:], found_lines(vhud) + [run.lines[at], STOP_LINE],
                "the whole log after the worker's start")


def scenario_vhud_copy_ahead(c):
    """A second "VHud.asi", mapped without its entry point, stands first in
    the loader list: the worker walks past it and takes the real VHud."""
    run = c.run
    vhud = common_checks(c, True)
    plugin, copy = run.event("plugin"), run.event("vhud_copy")
    if None in (vhud, plugin, copy):
        c.expect(False, "vhud, plugin and vhud_copy records")
        return
    c.equal((int(copy["flags"], 16) & 0x80000, copy["first"]), (0, 1),
            "the copy's entry point never called, its entry first in the list")
    c.expect(copy["base"] != vhud["base"], "the copy is a module of its own: %r" % copy)
    at = hook_checks(c, vhud, plugin)
    if at is not None:
        c.equal(run.lines[4:], found_lines(vhud) + [run.lines[at], STOP_LINE],
                "the whole log after the worker's start: the real VHud's base")


def scenario_loader_churn(c):
    """A thread loads and frees a DLL whose entry point leads its loader entry
    off the list for a while: a walk without the loader's lock would never
    come back. The worker searches through many such cycles, then finds VHud
    and hooks the game."""
    run = c.run
    vhud = common_checks(c, True)
    plugin, passes, churn_wait = run.event("plugin"), run.event("passes"), run.event("churn_wait")
    churns = run.events("churn")
    if None in (vhud, plugin, passes, churn_wait) or len(churns) != 2:
        c.expect(False, "vhud, plugin, passes, churn_wait and two churn records")
        return
    c.equal(churn_wait["cycles"] >= churn_wait["wanted"], True,
            "the DLL loaded and freed %d times while the worker searched" % churn_wait["cycles"])
    c.expect(passes["seen"] >= passes["wanted"],
             "worker attempts went on during the churn: %r" % passes)
    c.equal(churns[1]["failures"], 0, "every LoadLibrary and FreeLibrary of the DLL succeeded")
    at = hook_checks(c, vhud, plugin)
    if at is not None:
        c.equal(run.lines[4:], found_lines(vhud) + [run.lines[at], STOP_LINE],
                "the whole log after the worker's start")


def scenario_log_two_threads(c):
    """The render thread logs a state change on every frame while the worker
    hooks the HUD jump again after every sleep and logs it: every line in the
    file is whole."""
    run = c.run
    vhud = common_checks(c, True)
    plugin, race = run.event("plugin"), run.event("log_race")
    icons, player = run.event("icons"), run.event("player")
    if None in (vhud, plugin, race, icons, player):
        c.expect(False, "vhud, plugin, log_race, icons and player records")
        return
    c.expect(race["passes"] >= 6 and race["put_back"] >= 5,
             "six worker passes, the jump put back after at least five: %r" % race)
    c.equal(race["faults"], 0, "every frame balanced")
    hook = run.event("hook")
    hook_line = "[HOOK] installed; original=%s hook=%s" % (vhud["hud_routine"], hook["target"])
    pointers = "health=%s armour=%s" % (icons["health"], icons["armour"])
    allowed = set(BOOT_LINES + [WORKER_LINE, STOP_LINE, hook_line] + found_lines(vhud) + [
        "[INFO] player pointer changed -> %s" % player["record"],
        "[STATE] drawing allowed",
        "[STATE] hidden: menu active",
        "[LOAD] " + pointers,
        "[DRAW] first successful draw " + pointers,
    ])
    broken = [line for line in run.lines if line not in allowed]
    c.equal(broken[:5], [], "lines that are not whole lines (first five)")
    hooks = run.lines.count(hook_line)
    c.expect(1 + race["put_back"] <= hooks <= 2 + race["put_back"],
             "%d [HOOK] lines: the first and one after each put-back (%d)"
             % (hooks, race["put_back"]))
    # The render thread logs a state when it differs from the last one it
    # logged: its lines alternate, however the two threads' speeds compare.
    states = [line for line in run.lines if line.startswith("[STATE]")]
    c.expect("[STATE] hidden: menu active" in states, "the render thread logged during the race")
    c.equal([s for k, s in enumerate(states) if k > 0 and states[k - 1] == s], [],
            "state lines that repeat the one before")


def scenario_lift_undone(c):
    """Another patcher puts the HUD jump page's old protection back right after
    the plug-in's VirtualProtect granted write, once: the plug-in's store
    faults, its exception frame takes the fault, the attempt reports the
    refusal, and the next attempt hooks the jump. The game draws on."""
    run = c.run
    vhud = common_checks(c, True)
    plugin, hook = run.event("plugin"), run.event("hook")
    icons, player = run.event("icons"), run.event("player")
    if None in (vhud, plugin, hook, icons, player):
        c.expect(False, "vhud, plugin, hook, icons and player records")
        return
    c.equal(hook["lifts_undone"], 1, "lifts of the HUD jump's protection undone")
    frames = run.events("frame")
    c.equal([(f["frame"], f["fault"], f["draws"]) for f in frames], [(1, 0, 2), (2, 0, 2)],
            "two balanced frames through the hook, both icons drawn")
    at = hook_checks(c, vhud, plugin)
    if at is None:
        return
    pointers = "health=%s armour=%s" % (icons["health"], icons["armour"])
    c.equal(run.lines[4:], found_lines(vhud) + [
        "[ERR] VirtualProtect failed while installing hook",
        run.lines[at],
        "[INFO] player pointer changed -> %s" % player["record"],
        "[STATE] drawing allowed",
        "[LOAD] " + pointers,
        "[DRAW] first successful draw " + pointers,
        STOP_LINE,
    ], "the whole log after the worker's start: one refusal, then the hook")


def readme_row(line_start):
    """The README's troubleshooting row (generated from the checker's table of
    log lines) whose line starts so: the line as shown and its advice."""
    readme = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")
    with open(readme, encoding="utf-8") as f:
        for row in f:
            if row.startswith("| `" + line_start):
                cells = row.split(" | ")
                return cells[0][3:cells[0].index("`", 3)], cells[-1].rstrip(" |\n")
    return None, None


def scenario_second_copy(c):
    """A second copy of the plug-in loads right after the first: the first
    runs and hooks the HUD once, the second starts no thread and makes no
    VirtualProtect call, and the one log is whole and names the other copy;
    `quorvel-check --log` shows that line with its advice and exits 1."""
    run = c.run
    vhud = common_checks(c, True)
    plugin, copy, calls = run.event("plugin"), run.event("plugin_copy"), run.event("calls")
    icons, player = run.event("icons"), run.event("player")
    if None in (vhud, plugin, copy, calls, icons, player):
        c.expect(False, "vhud, plugin, plugin_copy, calls, icons and player records")
        return
    copy_first = [r["event"] for r in run.records].index("plugin_copy") < \
        [r["event"] for r in run.records].index("plugin")
    runner, later = (copy, plugin) if copy_first else (plugin, copy)
    by_module = {m["module"]: m for m in calls["modules"]}
    c.equal(sorted(by_module), [runner["base"]], "the only copy that called CreateThread, "
            "VirtualProtect or CreateFileA: the one loaded first (the other is %s)" % later["base"])
    ran = by_module.get(runner["base"], {})
    c.equal((ran.get("create_thread"), ran.get("create_file")), (1, 1),
            "the running copy started one thread and opened one file")
    c.expect(ran.get("virtual_protect", 0) > 0, "the running copy patched: %r" % ran)
    frames = run.events("frame")
    c.equal([(f["frame"], f["fault"], f["draws"]) for f in frames], [(1, 0, 2), (2, 0, 2)],
            "two balanced frames, each icon drawn once a frame")
    at = hook_checks(c, vhud, runner)
    if at is None:
        return
    shown, advice = readme_row("[WARN] another copy of the plug-in is loaded and stays idle")
    name = "Quorvel_Icons.asi" if copy_first else "Quorvel_Icons_old.asi"
    copy_line = shown.replace('"Quorvel_Icons_old.asi"', '"%s"' % name) if shown else None
    c.equal(run.lines.count(copy_line), 1, "one line naming the other copy %r" % copy_line)
    pointers = "health=%s armour=%s" % (icons["health"], icons["armour"])
    c.equal([line for line in run.lines[4:] if line != copy_line], found_lines(vhud) + [
        run.lines[at],
        "[INFO] player pointer changed -> %s" % player["record"],
        "[STATE] drawing allowed",
        "[LOAD] " + pointers,
        "[DRAW] first successful draw " + pointers,
        STOP_LINE,
    ], "the whole log after the worker's start, beside that line: one start, one stop")
    checker = os.path.join(os.path.dirname(run.plugin_file), "quorvel-check.exe")
    out = subprocess.run(["wine", checker, "--log", run.log_path], cwd=run.dir,
                         env=wine_env(os.path.dirname(os.path.dirname(run.dir))),
                         stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
    text = re.sub(r"\s+", " ", out.stdout.decode(errors="replace"))
    c.equal(out.returncode, 1, "quorvel-check --log exit code")
    c.expect(copy_line in text and advice and re.sub(r"[`*]", "", advice) in text,
             "quorvel-check --log shows %r with its advice %r:\n%s" % (copy_line, advice, text))


COPY_STEPS = ["wait-hook", "10000", "player", "100", "icons", "valid", "frames", "2",
              "wait-passes", "2", "20000", "calls", "unload"]
SCENARIOS = {
    "plugin_freed": (["vhud", "plugin", "wait-hook", "10000", "player", "100", "icons", "valid",
                      "frames", "2", "free", "frames", "2", "wait-passes", "4", "20000",
                      "frames", "2", "unload"], scenario_plugin_freed),
    "vhud_still_loading": (["vhud", "vhud-attached", "0", "plugin", "wait-passes", "15", "20000",
                            "patches", "vhud-attached", "1", "wait-hook", "10000", "patches",
                            "unload"], scenario_vhud_still_loading),
    "vhud_copy_ahead": (["vhud", "vhud-copy", "plugin", "wait-hook", "10000", "unload"],
                        scenario_vhud_copy_ahead),
    "loader_churn": (["churn", "1", "plugin", "wait-churn", "20", "30000", "wait-passes", "5",
                      "20000", "vhud", "wait-hook", "20000", "churn", "0", "unload"],
                     scenario_loader_churn),
    "log_two_threads": (["vhud", "plugin", "wait-hook", "10000", "player", "100", "icons",
                         "valid", "frames", "1", "log-race", "6", "60000", "unload"],
                        scenario_log_two_threads),
    "copy_after": (["vhud", "plugin", "plugin-copy", "Quorvel_Icons_old.asi", "marked"]
                   + COPY_STEPS, scenario_second_copy),
    "copy_1_0_0_before": (["vhud", "plugin-copy", "Quorvel_Icons_old.asi", "unmarked", "plugin"]
                          + COPY_STEPS, scenario_second_copy),
    "lift_undone": (["vhud", "undo-lift", "plugin", "wait-hook", "10000", "player", "100",
                     "icons", "valid", "frames", "2", "unload"], scenario_lift_undone),
}
