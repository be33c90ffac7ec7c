"""Lays out the preview's page: whole screens at one scale, the wheel zoomed,
the icons' corner zoomed, and the legend."""
import math

import cairo

from preview_hud import draw_icon, draw_screen_base, draw_screen_edge, draw_wheel, wheel_region
from preview_primitives import (ALONE, ARMOUR, BG, GUIDE, HEALTH, INK, MONO, MUTED, PLUGIN,
                                PLUGIN_TEXT, SCREEN_EDGE, SCREEN_FILL, WHITE, View, arrow,
                                centre, design_scale, fmt, fmt2, label_box, rgb, rounded,
                                text)


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
