"""The Wine side of a run: the environment, the prefix, one run of the game.

Every Wine process runs with HOME and WINEPREFIX inside a root directory of
the build tree (ROOT/home, ROOT/prefix), a 32-bit prefix, no debug output and
no Mono or Gecko (nothing here needs them and there is no network).
"""
import os
import shutil
import subprocess
import time

# Time limits only stop a run that hangs. In the VM of machines without 32-bit
# execution (tools/vm) everything is many times slower.
TIME_SCALE = 10 if os.environ.get("QI_IN_VM") else 1
RUN_TIMEOUT = 120 * TIME_SCALE
# Milliseconds by which the stand-in VHud.asi delays setting the game's HUD
# jump at its attach (for the test of a plug-in that looks VHud up early).
VHUD_JUMP_DELAY = "QI_STANDIN_VHUD_JUMP_DELAY_MS"
# Set to "1": the stand-in VHud.asi makes itself another build of VHud.
VHUD_OTHER_BUILD = "QI_STANDIN_VHUD_OTHER_BUILD"


def env(root):
    e = dict(os.environ)
    e.pop("DISPLAY", None)
    e.pop("WAYLAND_DISPLAY", None)
    e.pop(VHUD_JUMP_DELAY, None)
    e.pop(VHUD_OTHER_BUILD, None)
    e.update({
        "HOME": os.path.join(root, "home"),
        "WINEPREFIX": os.path.join(root, "prefix"),
        "WINEARCH": "win32",
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
    })
    os.makedirs(e["HOME"], exist_ok=True)
    return e


def have_wine():
    return shutil.which("wine") is not None


def boot(root, quiet=False):
    """Creates the prefix once (about 10 s natively, minutes in the VM);
    returns True when it is ready."""
    e = env(root)
    if os.path.exists(os.path.join(e["WINEPREFIX"], "system.reg")):
        return True
    if not quiet:
        print("creating the Wine prefix %s (once, about 10 s)" % e["WINEPREFIX"], flush=True)
    os.makedirs(root, exist_ok=True)
    log_path = os.path.join(root, "wineboot.txt")
    with open(log_path, "wb") as log:
        proc = subprocess.run(["wineboot", "-i"], env=e, stdin=subprocess.DEVNULL, stdout=log,
                              stderr=subprocess.STDOUT, timeout=600 * TIME_SCALE)
    # Let the server finish writing the registry.
    subprocess.run(["wineserver", "-w"], env=e, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120 * TIME_SCALE)
    with open(log_path, "rb") as log:
        said = log.read().decode(errors="replace")
    ready = os.path.exists(os.path.join(e["WINEPREFIX"], "system.reg"))
    # Under emulation wineboot may give up waiting on a service it started and
    # exit non-zero after it has written the whole prefix; the Wine runs that
    # follow show whether the prefix serves.
    updated = "has been updated" in said
    if ready and proc.returncode != 0 and updated:
        print("wineboot exited with %d after it had made the prefix; going on" % proc.returncode)
    ok = ready and (proc.returncode == 0 or updated)
    if not ok:
        print(said)
        print("wineboot failed with exit code %d" % proc.returncode)
    return ok


def run_game(root, win_dir, run_dir, args):
    """Runs standin_game.exe with `args` in `run_dir` (the plug-in's log lands
    there). Returns (exit code, seconds, console output)."""
    exe = os.path.join(win_dir, "standin_game.exe")
    command = ["wine", exe] + args
    started = time.time()
    # Output goes to a file rather than a pipe: a wine server started by this
    # run outlives it and would hold a pipe open.
    out_path = os.path.join(run_dir, "output.txt")
    with open(out_path, "wb") as out:
        proc = subprocess.run(command, cwd=run_dir, env=env(root), stdin=subprocess.DEVNULL,
                              stdout=out, stderr=subprocess.STDOUT, timeout=RUN_TIMEOUT)
    with open(out_path, "rb") as out:
        output = out.read().decode(errors="replace")
    return proc.returncode, time.time() - started, output
