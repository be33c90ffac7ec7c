"""The three wheel patches seen in one frame with the wheel open: the log,
every slot's quad, the contents' and ammo texts' x and the centre texts; and
the patches beside another wheel mod's detours on five centre-text sites."""
from wine_checks import (STOP_LINE, WHEEL_LINES, VHUD_ROTATE_VERTICES, common_checks, f32, fbits,
                         hook_checks, hx)


def scenario_wheel_layout(c):
    run = c.run
    vhud = common_checks(c, True)
    plugin = run.event("plugin")
    if vhud is None or plugin is None:
        c.expect(False, "vhud and plugin records")
        return
    if not c.equal(vhud.get("wheel"), 1, "VHud.asi built with the wheel stand-in"):
        return
    base = int(vhud["base"], 16)
    at = hook_checks(c, vhud, plugin)
    expected = [
        "[OK] VHud.asi base=%s size=%s" % (vhud["base"], vhud["size"]),
        "[WHEEL][OK] static-slot patch installed; original RotateVertices=%s"
        % hx(base + VHUD_ROTATE_VERTICES),
    ] + WHEEL_LINES
    c.equal(run.lines[4:10], expected, "log lines 5 to 10: VHud found, the three wheel patches")
    c.equal(at, 10, "index of the [HOOK] line (right after the wheel lines)")
    if at is not None:
        c.equal(run.lines[at + 1:], [
            "[RADAR][OK] safe wrapper active: temporarily disabling radar while weapon wheel is open",
            "[INFO] player pointer changed -> %s" % run.event("player")["record"],
            "[STATE] drawing allowed",
            "[ICONS][OK] custom health/armour icons hidden while weapon wheel is open",
            STOP_LINE,
        ], "log lines after the [HOOK] line (one frame, wheel open)")
    frames = run.events("frame")
    c.equal([(f["frame"], f["fault"], f.get("radar_seen"), f.get("wheel_seen"),
              f.get("radar_after"), f["draw_calls"]) for f in frames],
            [(1, 0, 0, 1, 1, 0)],
            "the frame: balanced, radar off while VHud drew, back on after, no icon drawn")
    wheels = run.events("wheel")
    if not c.equal(len(wheels), 1, "wheel records"):
        return
    w = wheels[0]
    c.equal((w["runs"], w["rotate_calls"], w["slot_faults"]), (1, 16, 0),
            "wheel drawn once, two RotateVertices calls per slot, calling contract kept")
    c.equal(w["spacing_faults"], [hx(0)] * 8, "slot layout state kept through the spacing cave")
    offsets = [0, -62, -48, -62, 0, 62, 48, 62]
    fine = [0, 8, 10, 8, 0, -8, -10, -8]
    for k in range(8):
        quad = [int(v, 16) for v in w["quad%d" % k]]
        c.equal(w["quad%d" % k], w["expected%d" % k],
                "slot %d quad bits: VHud's placement turned upright and shifted by %d" %
                (k, offsets[k]))
        # Geometry, independent of rounding: upright (edges along the axes),
        # 120 x 80, centred where VHud put the slot plus the slot's offset.
        x = [fbits(b) for b in quad[0::2]]
        y = [fbits(b) for b in quad[1::2]]
        c.expect(abs(x[0] - x[3]) < 1e-3 and abs(x[1] - x[2]) < 1e-3 and
                 abs(y[0] - y[1]) < 1e-3 and abs(y[2] - y[3]) < 1e-3,
                 "slot %d upright: %r %r" % (k, x, y))
        c.expect(abs((x[1] - x[0]) - 120) < 1e-3 and abs((y[3] - y[0]) - 80) < 1e-3,
                 "slot %d keeps its 120 x 80 size" % k)
        ref = [fbits(int(v, 16)) for v in w["unpatched%d" % k]]
        cx, rx = sum(x) / 4, sum(ref[0::2]) / 4
        cy, ry = sum(y) / 4, sum(ref[1::2]) / 4
        c.expect(abs((cx - rx) - offsets[k]) < 1e-3 and abs(cy - ry) < 1e-3,
                 "slot %d centre moved by (%g, %g), expected (%d, 0)" % (k, cx - rx, cy - ry,
                                                                      offsets[k]))
    content = [960.0, 830.0, 780.0, 830.0, 960.0, 1090.0, 1140.0, 1090.0]
    c.equal(w["content_x"], [hx(f32(content[k] + offsets[k])) for k in range(8)],
            "slot contents x: VHud's x plus the slot offset")
    ammo = [975.5, 845.5, 795.5, 845.5, 975.5, 1105.5, 1155.5, 1105.5]
    c.equal(w["ammo_x"], [hx(f32(ammo[k] + offsets[k] + fine[k])) for k in range(8)],
            "ammo text x: VHud's x plus the slot offset plus the fine-tune")
    c.equal(w["centre_text"], [hx(f32(v)) for v in (500 - 24, 960 + 0, 600 + 10, 960 + 0,
                                                     700 + 3, 960 + 0)],
            "centre texts placed with the plug-in's offsets")


def scenario_foreign_jumps(c):
    """Another wheel mod's E9 jumps to its own code on five of the six
    centre-text sites, placed before the plug-in looks, are no evidence on
    VHud's build: everything else is patched, the five jumps stay."""
    run = c.run
    vhud = common_checks(c, True)
    plugin = run.event("plugin")
    patches = run.event("patches")
    if None in (vhud, plugin, patches):
        c.expect(False, "vhud, plugin and patches records")
        return
    base = int(vhud["base"], 16)
    at = hook_checks(c, vhud, plugin)
    c.equal(run.lines[4:9], [
        "[OK] VHud.asi base=%s size=%s" % (vhud["base"], vhud["size"]),
        "[WHEEL][OK] static-slot patch installed; original RotateVertices=%s"
        % hx(base + VHUD_ROTATE_VERTICES)] + WHEEL_LINES[:2] + [
        "[WHEEL][ERR] centre-text signature mismatch at name-y"],
        "log lines 5 to 9: VHud found, the slot and spacing patches, the first detoured site")
    c.equal(at, 9, "index of the [HOOK] line (right after the wheel lines)")
    c.equal({k: patches[k] for k in ("hud_hook", "static_slot", "spacing", "centre_text_sites",
                                     "foreign_jumps_kept")},
            {"hud_hook": 1, "static_slot": 1, "spacing": 1, "centre_text_sites": 1,
             "foreign_jumps_kept": 5},
            "patches in place: hook, slot, spacing, the sixth centre-text site; the jumps kept")
    frames = run.events("frame")
    c.equal([(f["frame"], f["fault"], f["draws"]) for f in frames], [(1, 0, 2), (2, 0, 2), (3, 0, 2)],
            "three balanced frames, each drawing both icons")


SCENARIOS = {
    "wheel_layout": (["vhud", "plugin", "wait-hook", "10000", "player", "100", "icons", "valid",
                      "wheel", "1", "frames", "1", "unload"], scenario_wheel_layout),
    "foreign_jumps": (["vhud", "foreign-jumps", "plugin", "wait-hook", "10000", "player", "100",
                       "icons", "valid", "frames", "3", "patches", "unload"],
                      scenario_foreign_jumps),
}
