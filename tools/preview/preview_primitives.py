"""Drawing primitives of the preview: colours, fonts, text, boxes, arrows, and
the view that maps screen pixels onto a region of the picture."""
import math

import cairo

# Colours.
BG = (0.965, 0.969, 0.976)  # the page
INK = (0.13, 0.15, 0.19)  # titles and text
MUTED = (0.42, 0.45, 0.52)  # row headings and captions
SCREEN_FILL = (0.105, 0.125, 0.165)  # a screen
SCREEN_EDGE = (0.55, 0.60, 0.68)  # its edge and rulers
GUIDE = (0.45, 0.52, 0.62)  # the centred 16:9 area
ALONE = (0.62, 0.66, 0.74)  # VHud alone's wheel
PLUGIN = (0.98, 0.66, 0.16)  # the wheel with the plug-in
PLUGIN_TEXT = (1.0, 0.86, 0.55)  # its contents and notes
HEALTH = (0.90, 0.28, 0.30)  # the health icon
ARMOUR = (0.25, 0.56, 0.86)  # the armour icon
WHITE = (1, 1, 1)

FONT = "DejaVu Sans"
MONO = "DejaVu Sans Mono"


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



def fmt(value):
    return ("%.6f" % value).rstrip("0").rstrip(".")


def fmt2(value):
    return ("%.2f" % value).rstrip("0").rstrip(".")
