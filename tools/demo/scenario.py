#!/usr/bin/python3
"""Runs a scenario file in the stand-in game under Wine and writes its trace.

  scenario.py FILE [--screen WxH] [--out DIR] [--root DIR] [--win-dir DIR]

FILE is a scenario in TOML (see scenarios/default.toml and the README). The
stand-in game (standin_game.exe, with VHud.asi and Quorvel_Icons.asi beside
it in --win-dir) runs it in DIR, where the plug-in's log lands; the trace is
DIR/trace.jsonl. --screen sets the screen size the game starts with (default:
the file's `screen`, else 1920x1080).
"""
import argparse
import json
import os
import re
import shutil
import sys
import tomllib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# The keys of a step, in the order in which they are carried out, whatever
# their order in the file: what is set first, then what takes time.
FLAG_KEYS = ("menu", "frozen", "hud", "widescreen", "cutscene", "wheel", "radar")
STEP_KEYS = ("note", "load", "screen", "player", "new_player", "icons") + FLAG_KEYS + (
    "restore", "sleep", "wait_hook", "wait_repatch", "frames", "patches", "unload")
ICONS = ("valid", "none", "health-only")


class ScenarioError(Exception):
    pass


def parse_screen(value, where):
    if isinstance(value, str):
        m = re.fullmatch(r"\s*(\d+)\s*[xX]\s*(\d+)\s*", value)
        if m:
            return int(m.group(1)), int(m.group(2))
    elif (isinstance(value, list) and len(value) == 2 and
          all(isinstance(v, int) and not isinstance(v, bool) for v in value)):
        return value[0], value[1]
    raise ScenarioError("%s: screen must be \"WIDTHxHEIGHT\" or [WIDTH, HEIGHT], not %r"
                        % (where, value))


def _int(value, where, key, low=0):
    if isinstance(value, bool) or not isinstance(value, int) or value < low:
        raise ScenarioError("%s: %s must be a whole number >= %d, not %r" % (where, key, low, value))
    return value


def _flag(value, where, key):
    if isinstance(value, bool):
        return 1 if value else 0
    if isinstance(value, int) and 0 <= value <= 255:
        return value
    raise ScenarioError("%s: %s must be true, false or a byte value, not %r" % (where, key, value))


def _health(value, where, key, allow_none):
    if allow_none and value == "none":
        return "none"
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ScenarioError("%s: %s must be a health value%s, not %r"
                            % (where, key, " or \"none\"" if allow_none else "", value))
    return repr(float(value))


def step_words(step, where):
    """The stand-in game's step words for one scenario step, in STEP_KEYS order."""
    unknown = sorted(set(step) - set(STEP_KEYS))
    if unknown:
        raise ScenarioError("%s: unknown key%s %s (known: %s)" % (
            where, "s" if len(unknown) > 1 else "", ", ".join(unknown), ", ".join(STEP_KEYS)))
    words = []
    for key in STEP_KEYS:
        if key not in step:
            continue
        value = step[key]
        if key == "note":
            if not isinstance(value, str):
                raise ScenarioError("%s: note must be a text" % where)
            continue
        if key == "load":
            modules = value if isinstance(value, list) else [value]
            for m in modules:
                if m not in ("vhud", "plugin"):
                    raise ScenarioError("%s: load takes \"vhud\" or \"plugin\", not %r" % (where, m))
                words.append([m])
        elif key == "screen":
            w, h = parse_screen(value, where)
            words.append(["screen", str(w), str(h)])
        elif key == "player":
            words.append(["player", _health(value, where, key, True)])
        elif key == "new_player":
            words.append(["new-player", _health(value, where, key, False)])
        elif key == "icons":
            if value not in ICONS:
                raise ScenarioError("%s: icons takes one of %s, not %r" % (where, ", ".join(ICONS),
                                                                           value))
            words.append(["icons", value])
        elif key in FLAG_KEYS:
            words.append([key, str(_flag(value, where, key))])
        elif key in ("restore", "patches", "unload"):
            if value is not True:
                raise ScenarioError("%s: %s takes true" % (where, key))
            words.append([key])
        else:  # sleep, wait_hook, wait_repatch, frames
            words.append([key.replace("_", "-"), str(_int(value, where, key))])
    if not words and "note" not in step:
        raise ScenarioError("%s: an empty step" % where)
    return words


class Scenario:
    def __init__(self, path):
        self.path = path
        try:
            with open(path, "rb") as f:
                data = tomllib.load(f)
        except tomllib.TOMLDecodeError as e:
            raise ScenarioError("%s: %s" % (path, e))
        except OSError as e:
            raise ScenarioError("%s: %s" % (path, e.strerror))
        unknown = sorted(set(data) - {"title", "description", "screen", "steps"})
        if unknown:
            raise ScenarioError("%s: unknown top-level key(s) %s" % (path, ", ".join(unknown)))
        self.title = data.get("title", os.path.basename(path))
        self.description = data.get("description", "")
        self.screen = parse_screen(data.get("screen", "1920x1080"), path)
        steps = data.get("steps")
        if not isinstance(steps, list) or not steps:
            raise ScenarioError("%s: `steps` must be a non-empty array of tables" % path)
        self.steps = []
        for n, step in enumerate(steps, 1):
            where = "%s, step %d" % (path, n)
            if not isinstance(step, dict):
                raise ScenarioError("%s: a step is a table such as { frames = 2 }" % where)
            self.steps.append({"n": n, "note": step.get("note", ""),
                               "words": step_words(step, where)})
        if not any(w == ["unload"] for s in self.steps for w in s["words"]):
            self.steps.append({"n": len(self.steps) + 1, "note": "the game closes",
                               "words": [["unload"]]})

    def step_file(self):
        """The step list the stand-in game reads (--steps): each scenario
        step starts with a note line naming it, so that the trace can tell
        the steps apart."""
        lines = ["# %s, generated from %s" % (self.title, self.path)]
        for s in self.steps:
            lines.append("note step %d" % s["n"])
            for w in s["words"]:
                # What is in place when the game closes goes into the trace.
                if w == ["unload"]:
                    lines.append("patches")
                lines.append(" ".join(w))
        return "\n".join(lines) + "\n"


def log_lines(path):
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        text = f.read().decode("latin-1")
    lines = text.split("\r\n")
    # A last piece without its CR LF is no whole line yet.
    return lines[:-1]


def finish_trace(scenario, screen, run_dir, exit_code, seconds):
    """Turns the game's records into the trace: a header first, "step" on
    every record, the log lines the game had not read yet (those written at
    and after unload) and the exit record last."""
    raw_path = os.path.join(run_dir, "game.jsonl")
    records = []
    if os.path.exists(raw_path):
        with open(raw_path, "rb") as f:
            for raw in f.read().decode().splitlines():
                if raw.strip():
                    records.append(json.loads(raw))
    step = 0
    out = []
    header = {
        "event": "scenario", "file": os.path.relpath(scenario.path, ROOT)
        if os.path.abspath(scenario.path).startswith(ROOT + os.sep) else scenario.path,
        "title": scenario.title, "screen": list(screen),
        "steps": [{"n": s["n"], "note": s["note"], "do": [" ".join(w) for w in s["words"]]}
                  for s in scenario.steps],
    }
    out.append(header)
    logged = 0
    for r in records:
        if r["event"] == "note" and r.get("text", "").startswith("step "):
            step = int(r["text"].split()[1])
            continue
        r["step"] = step
        if r["event"] == "log":
            logged += 1
        out.append(r)
    lines = log_lines(os.path.join(run_dir, "Quorvel_Icons.log"))
    frames = sum(1 for r in records if r["event"] == "frame")
    for i, line in enumerate(lines[logged:], logged):
        out.append({"event": "log", "n": i, "frame": frames, "line": line, "step": step,
                    "after_exit": True})
    out.append({"event": "exit", "code": exit_code, "seconds": round(seconds, 2), "step": step})
    trace_path = os.path.join(run_dir, "trace.jsonl")
    with open(trace_path, "w") as f:
        for r in out:
            f.write(json.dumps(r, separators=(",", ":")) + "\n")
    if os.path.exists(raw_path):
        os.remove(raw_path)
    return trace_path, out


def run(path, root, win_dir, out_dir, screen=None):
    """Runs the scenario; returns (trace path, trace records, exit code)."""
    scenario = Scenario(path)
    screen = screen or scenario.screen
    if not wine.boot(root):
        raise ScenarioError("the Wine prefix could not be created")
    shutil.rmtree(out_dir, ignore_errors=True)
    os.makedirs(out_dir)
    with open(os.path.join(out_dir, "steps.txt"), "w") as f:
        f.write(scenario.step_file())
    code, seconds, output = wine.run_game(
        root, win_dir, out_dir,
        ["--out", "game.jsonl", "--screen", "%dx%d" % screen, "--steps", "steps.txt"])
    trace_path, records = finish_trace(scenario, screen, out_dir, code, seconds)
    if code != 0:
        sys.stderr.write(output)
    return trace_path, records, code


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file")
    parser.add_argument("--screen", help="screen size at start, WIDTHxHEIGHT")
    parser.add_argument("--out", help="run directory (default build/scenarios/NAME)")
    parser.add_argument("--root", default=os.path.join(ROOT, "build", "wine"),
                        help="Wine root (prefix and HOME), default build/wine")
    parser.add_argument("--win-dir", default=os.path.join(ROOT, "build", "win"),
                        help="Windows build directory, default build/win")
    parser.add_argument("--check", action="store_true",
                        help="only read and check the file, print the step list")
    args = parser.parse_args()
    try:
        if args.check:
            sys.stdout.write(Scenario(args.file).step_file())
            return 0
        if not wine.have_wine():
            print("wine is not installed (tools/setup.sh installs it)")
            return 1
        screen = parse_screen(args.screen, "--screen") if args.screen else None
        name = os.path.splitext(os.path.basename(args.file))[0]
        out = os.path.abspath(args.out or os.path.join(ROOT, "build", "scenarios", name))
        trace, records, code = run(args.file, os.path.abspath(args.root),
                                   os.path.abspath(args.win_dir), out, screen)
    except ScenarioError as e:
        print("scenario error: %s" % e)
        return 2
    frames = sum(1 for r in records if r["event"] == "frame")
    logged = sum(1 for r in records if r["event"] == "log")
    print("%s: exit code %d, %d frames, %d log lines" % (args.file, code, frames, logged))
    print("trace: %s" % trace)
    print("log:   %s" % os.path.join(out, "Quorvel_Icons.log"))
    return 0 if code == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
