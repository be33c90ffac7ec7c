"""The Wine side of a run: the environment, the prefix, one run of the game.

Every Wine process runs with HOME and WINEPREFIX inside a root directory of
the build tree (ROOT/home, ROOT/prefix), a 32-bit prefix, no debug output and
no Mono or Gecko (nothing here needs them and there is no network).

The prefix depends only on Wine's build and on these settings: it is made
once per key in the user's cache folder (QI_WINE_CACHE, or
${XDG_CACHE_HOME:-~/.cache}/quorvel-icons/wine, beside the VM's) and every
root gets a copy of it: hard links, but for the registry files, which are
real copies. Wine's server writes a registry file that has more than one link
in place rather than replacing it, so a linked one would be every root's and
the cache's at once: one server's save, cut short, would spoil them all.
"""
import fcntl
import hashlib
import os
import shutil
import subprocess
import tempfile
import time

# Time limits only stop a run that hangs. In the VM of machines without 32-bit
# execution (tools/vm) everything is many times slower: the factor is the one
# the tests' own limits get (QI_TIMEOUT_SCALE, which CTest hands to the Wine
# tests), and at least 10 in the VM. It scales every limit here and, through
# QI_WAIT_SCALE, every wait step of the stand-in game.
TIME_SCALE = max(int(os.environ.get("QI_TIMEOUT_SCALE") or 1),
                 10 if os.environ.get("QI_IN_VM") else 1)
RUN_TIMEOUT = 120 * TIME_SCALE
# Milliseconds by which the stand-in VHud.asi delays setting the game's HUD
# jump at its attach (for the test of a plug-in that looks VHud up early).
VHUD_JUMP_DELAY = "QI_STANDIN_VHUD_JUMP_DELAY_MS"
# The settings every Wine process of these runs gets; the prefix depends on them.
SETTINGS = {
    "WINEARCH": "win32",
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
}
# A server kept up for a whole test run exits this long after its last
# client, so that a run that is killed leaves none behind for long.
SERVER_LINGER = 60 * TIME_SCALE
# Set to "1": the stand-in VHud.asi makes itself another build of VHud.
VHUD_OTHER_BUILD = "QI_STANDIN_VHUD_OTHER_BUILD"


def env(root):
    e = dict(os.environ)
    e.pop("DISPLAY", None)
    e.pop("WAYLAND_DISPLAY", None)
    e.pop(VHUD_JUMP_DELAY, None)
    e.update(SETTINGS)
    e.pop(VHUD_OTHER_BUILD, None)
    e.update({
        "HOME": os.path.join(root, "home"),
        "WINEPREFIX": os.path.join(root, "prefix"),
        "QI_WAIT_SCALE": str(TIME_SCALE),
    })
    os.makedirs(e["HOME"], exist_ok=True)
    return e


def have_wine():
    return shutil.which("wine") is not None


def cache_folder():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.environ.get("QI_WINE_CACHE") or os.path.join(base, "quorvel-icons", "wine")


def prefix_key():
    """What the prefix depends on: Wine's packages and files, the settings,
    the user who owns it, and how it is made (this file)."""
    h = hashlib.sha256()
    version = subprocess.run(["dpkg-query", "-W", "-f", "${Package} ${Version}\n", "wine",
                              "wine32:i386", "libwine:i386"], capture_output=True, text=True)
    h.update(version.stdout.encode())
    for name in ("wine", "wineserver", "wineboot"):
        path = shutil.which(name)
        if path:
            real = os.path.realpath(path)
            st = os.stat(real)
            h.update(("%s %d %d\n" % (real, st.st_size, int(st.st_mtime))).encode())
    h.update(repr(sorted(SETTINGS.items())).encode())
    h.update(str(os.getuid()).encode())
    with open(os.path.abspath(__file__), "rb") as f:
        h.update(f.read())
    return h.hexdigest()[:16]


def make_prefix(prefix, log_path, quiet):
    """wineboot into `prefix` (about 10 s natively, minutes in the VM)."""
    home = os.path.join(os.path.dirname(prefix), "home")
    os.makedirs(home, exist_ok=True)
    e = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        e.pop(name, None)
    e.update(SETTINGS)
    e.update({"HOME": home, "WINEPREFIX": prefix})
    if not quiet:
        print("creating the Wine prefix %s (once per Wine version, about 10 s)" % prefix,
              flush=True)
    with open(log_path, "wb") as log:
        proc = subprocess.run(["wineboot", "-i"], env=e, stdin=subprocess.DEVNULL, stdout=log,
                              stderr=subprocess.STDOUT, timeout=600 * TIME_SCALE)
    # Let the server finish writing the registry.
    subprocess.run(["wineserver", "-w"], env=e, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120 * TIME_SCALE)
    with open(log_path, "rb") as log:
        said = log.read().decode(errors="replace")
    ready = os.path.exists(os.path.join(prefix, "system.reg"))
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


def cached_prefix(quiet):
    """The cache's prefix for this Wine, made first if need be (two runs
    that start at once make it once); None when it cannot be made."""
    folder = os.path.join(cache_folder(), prefix_key())
    prefix = os.path.join(folder, "prefix")
    if os.path.exists(os.path.join(folder, "ready")):
        return prefix
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(os.path.join(folder, "ready")):
            return prefix
        shutil.rmtree(prefix, ignore_errors=True)
        work = tempfile.mkdtemp(prefix="making.", dir=folder)
        if not make_prefix(os.path.join(work, "prefix"), os.path.join(folder, "wineboot.txt"),
                           quiet):
            shutil.rmtree(work, ignore_errors=True)
            return None
        os.rename(os.path.join(work, "prefix"), prefix)
        shutil.rmtree(work, ignore_errors=True)
        with open(os.path.join(folder, "ready"), "w"):
            pass
    return prefix


def boot(root, quiet=False):
    """Gives ROOT/prefix a copy of the cached prefix; returns True when it
    is ready."""
    target = env(root)["WINEPREFIX"]
    if os.path.exists(os.path.join(target, "system.reg")):
        return True
    source = cached_prefix(quiet)
    if source is None:
        return False
    shutil.rmtree(target, ignore_errors=True)
    os.makedirs(root, exist_ok=True)
    copied = subprocess.run(["cp", "-al", source, target], stderr=subprocess.DEVNULL)
    if copied.returncode != 0:
        # Another file system: a real copy.
        shutil.rmtree(target, ignore_errors=True)
        subprocess.run(["cp", "-a", source, target], check=True)
    for name in os.listdir(target):
        if name.endswith(".reg"):
            path = os.path.join(target, name)
            os.unlink(path)
            shutil.copy2(os.path.join(source, name), path)
    if not quiet:
        print("Wine prefix %s copied from %s" % (target, source), flush=True)
    return os.path.exists(os.path.join(target, "system.reg"))


def server(root, command):
    """start: keeps a server up for ROOT's prefix until stop (or until
    SERVER_LINGER seconds after its last client), so that each run does not
    start one of its own. stop: ends it and waits until it is gone."""
    args = ["wineserver", "-p%d" % SERVER_LINGER] if command == "start" else ["wineserver", "-k"]
    # Never a pipe: the server outlives this call and would hold it open.
    proc = subprocess.run(args, env=env(root), stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=60 * TIME_SCALE)
    if command == "start":
        return proc.returncode == 0
    # -k fails when no server is up: nothing to end.
    subprocess.run(["wineserver", "-w"], env=env(root), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60 * TIME_SCALE)
    return True


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
