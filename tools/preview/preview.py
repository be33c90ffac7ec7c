#!/usr/bin/python3
"""Draws the HUD layout of recorded frames: a PNG and an SVG picture.

  preview.py TRACE... [--screens 1280x1024,1920x1080,2560x1080] [--out PREFIX]

Every number in the picture is read from the traces (JSON Lines written by
tools/demo/scenario.py); nothing is computed again. For each screen size the
picture shows

  - the screen's outline and, on screens wider than 16:9, the centred 16:9
    area as a dashed guide;
  - the health and armour icons where DrawSprite drew them in the last frame
    at that size that drew icons (x and y taken as the top-left corner);
  - the weapon wheel's eight slots, their contents (background and weapon
    image), ammo texts and centre texts, once as VHud alone lays them out (a
    trace without the plug-in) and once as they are with the plug-in (a trace
    whose run loaded it), each from the last frame at that size in which
    VHud drew the wheel.

Writes PREFIX.png and PREFIX.svg (default: preview).
"""
import argparse
import json
import math
import os
import re
import sys

import cairo

SCREENS = [(1280, 1024), (1920, 1080), (2560, 1080)]

# Colours.
BG = (0.965, 0.969, 0.976)
INK = (0.13, 0.15, 0.19)
MUTED = (0.42, 0.45, 0.52)
SCREEN_FILL = (0.105, 0.125, 0.165)
SCREEN_EDGE = (0.55, 0.60, 0.68)
GUIDE = (0.45, 0.52, 0.62)
ALONE = (0.62, 0.66, 0.74)
PLUGIN = (0.98, 0.66, 0.16)
PLUGIN_TEXT = (1.0, 0.86, 0.55)
HEALTH = (0.90, 0.28, 0.30)
ARMOUR = (0.25, 0.56, 0.86)
WHITE = (1, 1, 1)

FONT = "DejaVu Sans"
MONO = "DejaVu Sans Mono"

CENTRE_TEXTS = [  # (label, index of x, index of y, sample text)
    ("name", 1, 0, "WEAPON NAME"),
    ("count", 3, 2, "12 / 240"),
    ("arrows", 5, 4, "\u25C0   \u25B6"),
]


class TraceError(Exception):
    pass


def read_trace(path):
    records = []
    try:
        with open(path, "rb") as f:
            for n, raw in enumerate(f.read().decode().splitlines(), 1):
                if raw.strip():
                    try:
                        records.append(json.loads(raw))
                    except json.JSONDecodeError as e:
                        raise TraceError("%s:%d: %s" % (path, n, e))
    except OSError as e:
        raise TraceError("%s: %s" % (path, e.strerror))
    if not records:
        raise TraceError("%s: empty trace" % path)
    return records


class Layout:
    """What the traces hold for one screen size."""

    def __init__(self, screen):
        self.screen = screen
        self.icons = []       # [(name, x, y, w, h)]
        self.icons_frame = None
        self.wheel = None     # the plug-in's wheel record
        self.alone = None     # VHud alone's wheel record


def collect(traces, screens):
    layouts = {s: Layout(s) for s in screens}
    for path, records in traces:
        with_plugin = any(r["event"] == "plugin" for r in records)
        names = {}
        for r in records:
            if r["event"] == "icons":
                names[r["health"]] = "health"
                names[r["armour"]] = "armour"
        draws = {}
        for r in records:
            if r["event"] == "draw":
                draws.setdefault(r["frame"], []).append(r)
            if r["event"] == "wheel":
                s = tuple(r["screen"])
                if s in layouts:
                    if with_plugin:
                        layouts[s].wheel = r
                    else:
                        layouts[s].alone = r
        for frame in sorted(draws):
            ds = draws[frame]
            s = tuple(ds[0]["screen"])
            if s not in layouts:
                continue
            icons = []
            for i, d in enumerate(ds):
                name = names.get(d["texture"], "health" if i % 2 == 0 else "armour")
                icons.append((name, d["x_value"], d["y_value"], d["width_value"],
                              d["height_value"]))
            layouts[s].icons = icons
            layouts[s].icons_frame = frame
    return [layouts[s] for s in screens]


# ---- Drawing helpers --------------------------------------------------------------

def rgb(ctx, colour, alpha=1.0):
    ctx.set_source_rgba(colour[0], colour[1], colour[2], alpha)


def text(ctx, x, y, s, size, colour=INK, align="left", bold=False, font=FONT, valign="base"):
    ctx.select_font_face(font, cairo.FONT_SLANT_NORMAL,
                         cairo.FONT_WEIGHT_BOLD if bold else cairo.FONT_WEIGHT_NORMAL)
    ctx.set_font_size(size)
    ext = ctx.text_extents(s)
    if align == "center":
        x -= ext.x_advance / 2
    elif align == "right":
        x -= ext.x_advance
    if valign == "middle":
        y += size * 0.36
    rgb(ctx, colour)
    ctx.move_to(x, y)
    ctx.show_text(s)
    return ext.x_advance


def label_box(ctx, x, y, s, size, fg, bg, align="center", font=FONT, alpha=0.85):
    ctx.select_font_face(font, cairo.FONT_SLANT_NORMAL, cairo.FONT_WEIGHT_NORMAL)
    ctx.set_font_size(size)
    ext = ctx.text_extents(s)
    w = ext.x_advance + size * 0.8
    h = size * 1.45
    left = x - w / 2 if align == "center" else (x - w if align == "right" else x)
    rounded(ctx, left, y - h / 2, w, h, h * 0.3)
    rgb(ctx, bg, alpha)
    ctx.fill()
    text(ctx, left + size * 0.4, y, s, size, fg, font=font, valign="middle")


def rounded(ctx, x, y, w, h, r):
    r = min(r, w / 2, h / 2)
    ctx.new_sub_path()
    ctx.arc(x + w - r, y + r, r, -math.pi / 2, 0)
    ctx.arc(x + w - r, y + h - r, r, 0, math.pi / 2)
    ctx.arc(x + r, y + h - r, r, math.pi / 2, math.pi)
    ctx.arc(x + r, y + r, r, math.pi, 1.5 * math.pi)
    ctx.close_path()


def arrow(ctx, x0, y0, x1, y1, colour, width, head):
    length = math.hypot(x1 - x0, y1 - y0)
    if length < head * 1.5:
        return
    rgb(ctx, colour)
    ctx.set_line_width(width)
    ux, uy = (x1 - x0) / length, (y1 - y0) / length
    ctx.move_to(x0, y0)
    ctx.line_to(x1 - ux * head * 0.8, y1 - uy * head * 0.8)
    ctx.stroke()
    ctx.move_to(x1, y1)
    ctx.line_to(x1 - ux * head - uy * head * 0.5, y1 - uy * head + ux * head * 0.5)
    ctx.line_to(x1 - ux * head + uy * head * 0.5, y1 - uy * head - ux * head * 0.5)
    ctx.close_path()
    ctx.fill()


class View:
    """Maps screen pixels of one screen size onto a region of the picture."""

    def __init__(self, screen, region, box):
        self.screen = screen
        rx, ry, rw, rh = region
        bx, by, bw, bh = box
        self.k = min(bw / rw, bh / rh)
        self.ox = bx + (bw - rw * self.k) / 2 - rx * self.k
        self.oy = by + (bh - rh * self.k) / 2 - ry * self.k
        self.box = (bx + (bw - rw * self.k) / 2, by + (bh - rh * self.k) / 2, rw * self.k,
                    rh * self.k)

    def p(self, x, y):
        return self.ox + x * self.k, self.oy + y * self.k


def quad_points(values):
    return [(values[i], values[i + 1]) for i in range(0, 8, 2)]


def centre(points):
    return (sum(p[0] for p in points) / 4, sum(p[1] for p in points) / 4)


def design_scale(screen):
    return screen[1] / 1080.0


def draw_screen_base(ctx, v, guide=True):
    w, h = v.screen
    x0, y0 = v.p(0, 0)
    x1, y1 = v.p(w, h)
    rgb(ctx, SCREEN_FILL)
    ctx.rectangle(x0, y0, x1 - x0, y1 - y0)
    ctx.fill()
    # The centred 16:9 area of a wider screen, a guide for where wide-screen
    # anchors are measured from.
    s = design_scale(v.screen)
    area = 1920 * s
    if guide and w > area + 0.5:
        ax0, _ = v.p((w - area) / 2, 0)
        ax1, _ = v.p((w + area) / 2, 0)
        ctx.save()
        ctx.set_dash([6, 5])
        ctx.set_line_width(1.2)
        rgb(ctx, GUIDE, 0.9)
        for ax in (ax0, ax1):
            ctx.move_to(ax, y0)
            ctx.line_to(ax, y1)
        ctx.stroke()
        ctx.restore()


def draw_screen_edge(ctx, v):
    w, h = v.screen
    x0, y0 = v.p(0, 0)
    x1, y1 = v.p(w, h)
    rgb(ctx, SCREEN_EDGE)
    ctx.set_line_width(2)
    ctx.rectangle(x0, y0, x1 - x0, y1 - y0)
    ctx.stroke()


def draw_icon(ctx, v, name, x, y, w, h):
    px, py = v.p(x, y)
    pw, ph = w * v.k, h * v.k
    colour = HEALTH if name == "health" else ARMOUR
    rounded(ctx, px, py, pw, ph, max(1.0, pw * 0.18))
    rgb(ctx, colour)
    ctx.fill()
    if pw >= 9:
        rgb(ctx, WHITE)
        if name == "health":
            t = pw * 0.2
            ctx.rectangle(px + pw / 2 - t / 2, py + ph * 0.2, t, ph * 0.6)
            ctx.rectangle(px + pw * 0.2, py + ph / 2 - t / 2, pw * 0.6, t)
            ctx.fill()
        else:
            ctx.move_to(px + pw * 0.5, py + ph * 0.16)
            ctx.line_to(px + pw * 0.8, py + ph * 0.28)
            ctx.curve_to(px + pw * 0.8, py + ph * 0.6, px + pw * 0.65, py + ph * 0.76,
                         px + pw * 0.5, py + ph * 0.86)
            ctx.curve_to(px + pw * 0.35, py + ph * 0.76, px + pw * 0.2, py + ph * 0.6,
                         px + pw * 0.2, py + ph * 0.28)
            ctx.close_path()
            ctx.fill()


def draw_wheel(ctx, v, record, plugin, labels=True):
    vals = record["values"]
    quads = [quad_points(q) for q in vals["quads"]]
    k = v.k
    line = max(1.0, 2.2 * k)
    for slot, pts in enumerate(quads):
        ctx.new_path()
        for i, (x, y) in enumerate(pts):
            px, py = v.p(x, y)
            (ctx.move_to if i == 0 else ctx.line_to)(px, py)
        ctx.close_path()
        if plugin:
            rgb(ctx, PLUGIN, 0.22)
            ctx.fill_preserve()
            rgb(ctx, PLUGIN)
            ctx.set_line_width(line)
            ctx.stroke()
        else:
            ctx.save()
            rgb(ctx, ALONE, 0.08)
            ctx.fill_preserve()
            ctx.set_dash([max(2.0, 7 * k), max(2.0, 5 * k)])
            rgb(ctx, ALONE)
            ctx.set_line_width(max(1.0, 1.6 * k))
            ctx.stroke()
            ctx.restore()
        cx, cy = centre(pts)
        # Contents: the weapon image's box at the content x, the ammo text at
        # the ammo x, both on the slot's middle line (VHud's y is not moved).
        colour = PLUGIN_TEXT if plugin else ALONE
        wx, wy = v.p(vals["content_x"][slot], cy)
        bw, bh = 56 * k * design_scale(v.screen), 22 * k * design_scale(v.screen)
        rounded(ctx, wx - bw / 2, wy - bh / 2 - 6 * k, bw, bh, bh * 0.25)
        rgb(ctx, colour, 0.9 if plugin else 0.55)
        ctx.set_line_width(max(0.8, 1.4 * k))
        ctx.stroke()
        ax, ay = v.p(vals["ammo_x"][slot], cy + 24 * design_scale(v.screen))
        rgb(ctx, colour)
        ctx.arc(ax, ay, max(1.2, 2.6 * k), 0, 2 * math.pi)
        ctx.fill()
        if labels and k >= 0.45:
            if plugin:
                text(ctx, ax + 4 * k, ay + 3.5 * k, "ammo", max(7.0, 10 * k), colour)
            label = str(slot)
            if plugin:
                text(ctx, wx, wy - 6 * k, label, max(8.0, 13 * k), WHITE, align="center",
                     bold=True, valign="middle")
            else:
                tx, ty = v.p(cx, cy)
                text(ctx, tx, ty - 26 * k, label, max(7.0, 11 * k), ALONE, align="center",
                     valign="middle")
    ct = vals["centre_text"]
    for name, xi, yi, sample in CENTRE_TEXTS:
        x, y = v.p(ct[xi], ct[yi])
        if plugin:
            size = max(7.0, 15 * k)
            text(ctx, x, y, sample, size, WHITE, align="center", bold=True, valign="middle")
        else:
            # VHud's own place for the text: a dashed line at its height.
            half = 78 * k * design_scale(v.screen)
            ctx.save()
            ctx.set_dash([max(2.0, 4 * k), max(2.0, 3 * k)])
            rgb(ctx, ALONE)
            ctx.set_line_width(max(0.8, 1.3 * k))
            ctx.move_to(x - half, y)
            ctx.line_to(x + half, y)
            ctx.stroke()
            ctx.restore()
            if labels and k >= 0.45:
                text(ctx, x + half + 5 * k, y, name, max(7.0, 10 * k), ALONE, valign="middle")
    return quads


def wheel_region(layout, pad):
    xs, ys = [], []
    for rec in (layout.wheel, layout.alone):
        if rec is None:
            continue
        for q in rec["values"]["quads"]:
            xs += q[0::2]
            ys += q[1::2]
        xs += rec["values"]["ammo_x"] + rec["values"]["content_x"]
        ys += rec["values"]["centre_text"][0::2]
    if not xs:
        return None
    s = design_scale(layout.screen)
    x0, x1 = min(xs) - pad * s, max(xs) + pad * s
    y0, y1 = min(ys) - pad * s, max(ys) + (pad + 20) * s
    return (x0, y0, x1 - x0, y1 - y0)


def fmt(value):
    return ("%.6f" % value).rstrip("0").rstrip(".")


def fmt2(value):
    return ("%.2f" % value).rstrip("0").rstrip(".")


# ---- The picture --------------------------------------------------------------------

WIDTH = 1920
MARGIN = 36
GAP = 28


def panel_title(ctx, x, y, layout):
    w, h = layout.screen
    g = math.gcd(w, h)
    ratio = "%d:%d" % (w // g, h // g)
    if ratio == "64:27":
        ratio = "21:9"
    advance = text(ctx, x, y, "%d \u00D7 %d" % (w, h), 22, INK, bold=True)
    text(ctx, x + advance + 10, y, ratio, 16, MUTED)


def render(ctx, layouts, sources):
    n = len(layouts)
    col_w = (WIDTH - 2 * MARGIN - (n - 1) * GAP) / n
    ctx.set_source_rgb(*BG)
    ctx.paint()
    text(ctx, MARGIN, 58, "Quorvel Icons \u2014 HUD layout preview", 34, INK, bold=True)
    text(ctx, MARGIN, 90, "Recorded under Wine from the real Quorvel_Icons.asi in the stand-in "
         "game with the stand-in VHud.asi (%s). Positions in screen pixels." % sources, 15, MUTED)
    y = 128

    # Row 1: whole screens at one common scale.
    total = sum(l.screen[0] for l in layouts)
    k = (WIDTH - 2 * MARGIN - (n - 1) * GAP) / total
    x = MARGIN
    tallest = max(l.screen[1] for l in layouts) * k
    text(ctx, MARGIN, y + 4, "WHOLE SCREENS, ONE SCALE", 13, MUTED, bold=True)
    y += 40
    for layout in layouts:
        w, h = layout.screen
        panel_title(ctx, x, y, layout)
        v = View(layout.screen, (0, 0, w, h), (x, y + 14, w * k, h * k))
        draw_screen_base(ctx, v)
        if layout.alone:
            draw_wheel(ctx, v, layout.alone, False, labels=False)
        if layout.wheel:
            draw_wheel(ctx, v, layout.wheel, True, labels=False)
        for icon in layout.icons:
            draw_icon(ctx, v, *icon)
        draw_screen_edge(ctx, v)
        x += w * k + GAP
    y += 14 + tallest + 46

    # Row 2: the wheel, zoomed.
    text(ctx, MARGIN, y, "WEAPON WHEEL: VHUD ALONE (dashed) AND WITH THE PLUG-IN (filled)", 13,
         MUTED, bold=True)
    y += 16
    regions = [wheel_region(l, 30) for l in layouts]
    ks = [col_w / r[2] for r in regions if r]
    zoom = min(ks + [1.0]) if ks else 1.0
    row_h = max((r[3] * zoom for r in regions if r), default=200)
    x = MARGIN
    for layout, region in zip(layouts, regions):
        panel_title(ctx, x, y + 26, layout)
        box = (x, y + 40, col_w, row_h)
        rgb(ctx, SCREEN_FILL)
        rounded(ctx, box[0], box[1], box[2], box[3], 10)
        ctx.fill()
        if region is None:
            text(ctx, x + col_w / 2, y + 40 + row_h / 2, "no wheel frame at this size", 15,
                 PLUGIN_TEXT, align="center")
            x += col_w + GAP
            continue
        # Centre the region in the box at the common zoom.
        rx, ry, rw, rh = region
        cxr, cyr = rx + rw / 2, ry + rh / 2
        region = (cxr - col_w / zoom / 2, cyr - row_h / zoom / 2, col_w / zoom, row_h / zoom)
        v = View(layout.screen, region, box)
        ctx.save()
        rounded(ctx, box[0], box[1], box[2], box[3], 10)
        ctx.clip()
        draw_screen_base(ctx, v, guide=False)
        alone_quads = draw_wheel(ctx, v, layout.alone, False) if layout.alone else None
        plugin_quads = draw_wheel(ctx, v, layout.wheel, True) if layout.wheel else None
        if alone_quads and plugin_quads:
            # How far the plug-in moved each slot (centre to centre).
            for slot, (a, b) in enumerate(zip(alone_quads, plugin_quads)):
                (ax, ay), (bx, by) = centre(a), centre(b)
                if abs(bx - ax) >= 0.5:
                    p0 = v.p(ax, ay - 40 * design_scale(layout.screen))
                    p1 = v.p(bx, by - 40 * design_scale(layout.screen))
                    arrow(ctx, p0[0], p0[1], p1[0], p1[1], PLUGIN, 1.6, 7)
                    label_box(ctx, (p0[0] + p1[0]) / 2, p0[1] - 11,
                              "%+.1f" % (bx - ax), 10.5, SCREEN_FILL, PLUGIN, font=MONO)
        ctx.restore()
        for i, (rec, who) in enumerate(((layout.wheel, "with plug-in"),
                                        (layout.alone, "VHud alone  "))):
            if rec is None:
                continue
            ct = rec["values"]["centre_text"]
            line = "centre text y, %s: name %s, count %s, arrows %s" % (
                who, fmt2(ct[0]), fmt2(ct[2]), fmt2(ct[4]))
            text(ctx, x, y + 40 + row_h + 20 + 18 * i, line, 12.5, MUTED, font=MONO)
        x += col_w + GAP
    y += 40 + row_h + 90

    # Row 3: the icons' corner, zoomed.
    text(ctx, MARGIN, y, "HEALTH AND ARMOUR ICONS (left part of the screen, y 100 to 280)", 13,
         MUTED, bold=True)
    y += 16
    corner = (0, 100, 420, 180)
    izoom = col_w / corner[2]
    ih = corner[3] * izoom
    x = MARGIN
    for layout in layouts:
        panel_title(ctx, x, y + 26, layout)
        box = (x, y + 40, col_w, ih)
        v = View(layout.screen, corner, box)
        ctx.save()
        ctx.rectangle(*box)
        ctx.clip()
        draw_screen_base(ctx, v)
        for name, ix, iy, iw, ihh in layout.icons:
            draw_icon(ctx, v, name, ix, iy, iw, ihh)
            caption = "%s  x %s  y %s" % (name, fmt(ix), fmt(iy))
            ctx.select_font_face(MONO)
            ctx.set_font_size(12)
            need = ctx.text_extents(caption).x_advance + 24
            right, mid = v.p(ix + iw, iy + ihh / 2)
            left, _ = v.p(ix, iy)
            if right + 12 + need <= box[0] + box[2]:
                label_box(ctx, right + 12, mid, caption, 12, INK, WHITE, align="left",
                          font=MONO, alpha=0.92)
            else:
                label_box(ctx, left - 12, mid, caption, 12, INK, WHITE, align="right",
                          font=MONO, alpha=0.92)
        if layout.icons:
            _, ix, iy, iw, ihh = layout.icons[-1]
            bx, by = v.p(ix, iy + ihh)
            text(ctx, bx, by + 18, "size %s \u00D7 %s" % (fmt(iw), fmt(ihh)), 12,
                 PLUGIN_TEXT, font=MONO)
        if layout.icons:
            # Distance from the screen's left edge to the icons.
            ix, iy = layout.icons[0][1], layout.icons[0][2]
            p0 = v.p(0, iy - 14 * design_scale(layout.screen))
            p1 = v.p(ix, iy - 14 * design_scale(layout.screen))
            arrow(ctx, p0[0] + 1, p0[1], p1[0], p1[1], PLUGIN_TEXT, 1.3, 6)
        else:
            text(ctx, x + col_w / 2, y + 40 + ih / 2, "no icons drawn at this size", 15,
                 PLUGIN_TEXT, align="center")
        # The left screen edge and a ruler of screen pixels.
        rgb(ctx, SCREEN_EDGE)
        ctx.set_line_width(3)
        x0, _ = v.p(0, 0)
        ctx.move_to(x0, box[1])
        ctx.line_to(x0, box[1] + ih)
        ctx.stroke()
        ctx.set_line_width(1)
        for px in range(0, corner[2] + 1, 50):
            tx, ty = v.p(px, corner[1])
            ctx.move_to(tx, ty)
            ctx.line_to(tx, ty + (8 if px % 100 == 0 else 4))
            ctx.stroke()
            if px % 100 == 0 and 0 < px and px + 50 < corner[2]:
                text(ctx, tx, ty + 20, "x %d" % px, 10.5, SCREEN_EDGE, align="center",
                     font=MONO)
        right = box[0] + box[2]
        for py in range(corner[1] + 20, corner[1] + corner[3], 20):
            _, ty = v.p(0, py)
            ctx.move_to(right, ty)
            ctx.line_to(right - (8 if py % 40 == 0 else 4), ty)
            ctx.stroke()
            if py % 40 == 0:
                text(ctx, right - 12, ty, "y %d" % py, 10.5, SCREEN_EDGE, align="right",
                     font=MONO, valign="middle")
        ctx.restore()
        if layout.icons_frame is not None:
            text(ctx, x, y + 40 + ih + 20, "drawn in frame %d" % layout.icons_frame, 12.5,
                 MUTED, font=MONO)
        x += col_w + GAP
    y += 40 + ih + 64

    # Legend.
    lx = MARGIN
    items = [
        ("alone", "VHud alone (a run without the plug-in)"),
        ("plugin", "with Quorvel Icons: slots upright, spread; contents and ammo follow"),
        ("health", "health icon"), ("armour", "armour icon"),
        ("guide", "centred 16:9 area (guide)"),
    ]
    for kind, caption in items:
        if kind in ("alone", "plugin"):
            ctx.save()
            rounded(ctx, lx, y - 13, 34, 18, 3)
            if kind == "alone":
                ctx.set_dash([5, 3])
                rgb(ctx, ALONE)
            else:
                rgb(ctx, PLUGIN, 0.3)
                ctx.fill_preserve()
                rgb(ctx, PLUGIN)
            ctx.set_line_width(1.8)
            ctx.stroke()
            ctx.restore()
        elif kind == "guide":
            ctx.save()
            ctx.set_dash([6, 5])
            rgb(ctx, GUIDE)
            ctx.set_line_width(1.5)
            ctx.move_to(lx + 17, y - 15)
            ctx.line_to(lx + 17, y + 7)
            ctx.stroke()
            ctx.restore()
        else:
            rounded(ctx, lx + 8, y - 13, 18, 18, 3)
            rgb(ctx, HEALTH if kind == "health" else ARMOUR)
            ctx.fill()
        lx += 44
        lx += text(ctx, lx, y + 1, caption, 14, INK) + 34
    return y + 36


def height_for(layouts):
    surface = cairo.RecordingSurface(cairo.CONTENT_COLOR_ALPHA, None)
    ctx = cairo.Context(surface)
    return int(math.ceil(render(ctx, layouts, "")))


def parse_screens(text_value):
    screens = []
    for part in text_value.split(","):
        m = re.fullmatch(r"\s*(\d+)\s*[xX]\s*(\d+)\s*", part)
        if not m:
            raise TraceError("--screens wants WIDTHxHEIGHT[,WIDTHxHEIGHT...], not %r" % text_value)
        screens.append((int(m.group(1)), int(m.group(2))))
    return screens


def write(trace_paths, screens, prefix):
    traces = [(p, read_trace(p)) for p in trace_paths]
    layouts = collect(traces, screens)
    if not any(l.wheel or l.alone or l.icons for l in layouts):
        raise TraceError("the traces hold no frame at %s" % ", ".join(
            "%dx%d" % s for s in screens))
    sources = ", ".join(os.path.basename(os.path.dirname(os.path.abspath(p))) + "/" +
                        os.path.basename(p) for p in trace_paths)
    height = height_for(layouts)
    png = prefix + ".png"
    svg = prefix + ".svg"
    surface = cairo.ImageSurface(cairo.FORMAT_RGB24, WIDTH, height)
    render(cairo.Context(surface), layouts, sources)
    surface.write_to_png(png)
    surface = cairo.SVGSurface(svg, WIDTH, height)
    render(cairo.Context(surface), layouts, sources)
    surface.finish()
    return png, svg, layouts


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("traces", nargs="+", metavar="TRACE")
    parser.add_argument("--screens", default=",".join("%dx%d" % s for s in SCREENS))
    parser.add_argument("--out", default="preview", metavar="PREFIX")
    args = parser.parse_args()
    try:
        png, svg, layouts = write(args.traces, parse_screens(args.screens), args.out)
    except TraceError as e:
        print("preview: %s" % e)
        return 1
    for l in layouts:
        missing = [what for what, have in (("icons", l.icons), ("wheel with the plug-in", l.wheel),
                                           ("wheel of VHud alone", l.alone)) if not have]
        if missing:
            print("preview: %dx%d has no %s in the traces" % (l.screen + (" or ".join(missing),)))
    print(png)
    print(svg)
    return 0


if __name__ == "__main__":
    sys.exit(main())
