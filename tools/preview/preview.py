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
import os
import re
import sys

import cairo

from preview_page import WIDTH, height_for, render
from preview_traces import TraceError, collect, read_trace

SCREENS = [(1280, 1024), (1920, 1080), (2560, 1080)]


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
