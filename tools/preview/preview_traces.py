"""Reads the traces (JSON Lines written by tools/demo/scenario.py) and collects
what they hold for each screen size: the icons of the last frame that drew them,
and the last wheel with the plug-in and without it."""
import json


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
