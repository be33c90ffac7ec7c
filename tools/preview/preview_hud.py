"""Draws what the HUD shows in the preview: the screen, the health and armour
icons, and the weapon wheel with its contents, ammo texts and centre texts."""
import math

from preview_primitives import (ALONE, GUIDE, HEALTH, ARMOUR, PLUGIN, PLUGIN_TEXT,
                                SCREEN_EDGE, SCREEN_FILL, WHITE, centre, design_scale,
                                quad_points, rgb, rounded, text)

CENTRE_TEXTS = [  # (label, index of x, index of y, sample text)
    ("name", 1, 0, "WEAPON NAME"),
    ("count", 3, 2, "12 / 240"),
    ("arrows", 5, 4, "\u25C0   \u25B6"),
]


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
