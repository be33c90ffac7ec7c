#!/usr/bin/env python3
"""Times HUD frames through two builds of the plug-in under Wine, alternately
in one run, so that both meet the same machine load.

Each round runs the stand-in game once with build A and once with build B
(the order changes from round to round): VHud and a living player with both
icons, FRAMES frames straight to VHud's routine, then the plug-in loaded and
FRAMES frames through it (the steps of wine.frame_rate). The game, VHud and
the steps are the same for both; only Quorvel_Icons.asi differs.

  wine_ab.py --root DIR --win-dir build/win --a OLD.asi --b NEW.asi
             [--rounds 10] [--frames 20000]

DIR holds the Wine prefix (made when missing) and the runs. Prints each run's
microseconds per frame, then the medians and the ratio B / A.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                "demo"))
import wine  # noqa: E402  (the Wine environment every run here shares)


def prepare(root, win_dir, name, plugin):
    """A game folder of its own for one build: the game, VHud, the plug-in."""
    folder = os.path.join(root, "ab", name)
    os.makedirs(folder, exist_ok=True)
    for f in ("standin_game.exe", "VHud.asi"):
        shutil.copy(os.path.join(win_dir, f), folder)
    shutil.copy(plugin, os.path.join(folder, "Quorvel_Icons.asi"))
    return folder


def run(root, folder, frames):
    """Microseconds per frame straight to VHud and through the plug-in."""
    steps = ["vhud", "player", "100", "icons", "valid", "bench", str(frames), "plugin",
             "wait-hook", "10000", "bench", str(frames), "unload"]
    results = os.path.join(folder, "results.jsonl")
    if os.path.exists(results):
        os.remove(results)
    code, _, output = wine.run_game(root, folder, folder, ["--out", "results.jsonl"] + steps)
    benches = []
    if os.path.exists(results):
        with open(results, encoding="utf-8") as f:
            benches = [r for r in map(json.loads, f) if r["event"] == "bench"]
    if code != 0 or len(benches) != 2 or benches[1]["draws"] != 2 * frames:
        print(output)
        raise SystemExit("the run in %s failed (exit code %d)" % (folder, code))
    return [b["microseconds"] / b["frames"] for b in benches]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", required=True)
    parser.add_argument("--win-dir", required=True)
    parser.add_argument("--a", required=True, help="Quorvel_Icons.asi of build A")
    parser.add_argument("--b", required=True, help="Quorvel_Icons.asi of build B")
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--frames", type=int, default=20000)
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    if not wine.have_wine() or not wine.boot(root):
        raise SystemExit("no usable Wine")
    folders = {"A": prepare(root, args.win_dir, "A", args.a),
               "B": prepare(root, args.win_dir, "B", args.b)}
    times = {"A": [], "B": []}
    direct = []
    for r in range(args.rounds):
        for name in ("AB" if r % 2 == 0 else "BA"):
            straight, through = run(root, folders[name], args.frames)
            times[name].append(through)
            direct.append(straight)
            print("round %2d %s: %7.2f us a frame through the plug-in (%.2f straight to VHud)"
                  % (r + 1, name, through, straight), flush=True)
    subprocess.run(["wineserver", "-k"], env=wine.env(root), check=False)
    a, b = statistics.median(times["A"]), statistics.median(times["B"])
    print("median, %d runs each: A %.2f us, B %.2f us a frame through the plug-in; "
          "straight to VHud %.2f us" % (args.rounds, a, b, statistics.median(direct)))
    print("ratio B / A: %.3f (per round: %s)" % (b / a, ", ".join(
        "%.3f" % (y / x) for x, y in zip(times["A"], times["B"]))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
