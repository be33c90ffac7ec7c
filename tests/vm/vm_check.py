#!/usr/bin/env python3
"""Runs commands in the VM of tools/vm, the way ./run does on a machine that
cannot run i386 programs, and checks what comes back.

  vm_check.py streams                       standard output, standard error
                                            and exit status come back apart
  vm_check.py scenario NAME --root DIR --win-dir DIR --prefix DIR
                                            one Wine scenario in the VM, in a
                                            copy of the Wine prefix DIR
  vm_check.py cpu --sim-tests PROGRAM       the simulation's memory and
                                            code-patching tests on the CPU
                                            this machine is not: with
                                            protection keys where it has
                                            none, the plain model where it has

Inside the VM itself (QI_IN_VM set) there is no VM to start: the whole run is
already in one, and each check says so and is skipped (exit status 77).
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
RUN_IN_VM = os.path.join(ROOT, "tools", "vm", "run-in-vm.sh")
SKIPPED = 77
# Generous: only stops a VM that hangs. The boot takes seconds.
VM_TIMEOUT = 600

# Prints what the VM's side sees of its standard streams, its folder, its
# processor and who it runs as, makes a file, then leaves with a status of its
# own.
PROBE = r'''
echo "stdout is a terminal: $([ -t 1 ] && echo yes || echo no)"
echo "in VM: ${QI_IN_VM:-}"
echo "folder: $(pwd)"
echo "machine: $(uname -m)"
echo "marker: $QI_VM_CHECK_MARKER"
echo "user: $(id -u) $(id -g) groups $(id -G)"
echo "home: $HOME"
echo "umask: $(umask)"
echo made >"$QI_VM_CHECK_DIR/made"
echo "to standard error" >&2
exit 7
'''
# The umask the probe is started with: not the usual 0022, so that a VM that
# dropped it shows.
PROBE_UMASK = 0o027
# The tests that show how the simulation's pages behave on a processor, and
# the plug-in's reads and patches of an execute-only page.
CPU_TESTS = ("SimCore.EachProtectionIsMappedAsWindowsGrantsIt:MemoryGuardTest.*:CodePatchTest.*:"
             "StaticSlot.OnAnExecuteOnlyPageTheCallIsReadAndRedirected")
PKU_MODEL = "qemu64,+pku"
PLAIN_MODEL = "qemu64"


def vm_env():
    env = dict(os.environ)
    # Two of these VMs may run side by side with the rest of the suite.
    env.setdefault("QI_VM_MEMORY", "2048")
    return env


def check_streams():
    env = vm_env()
    env["QI_VM_CHECK_MARKER"] = "a b  'c'"
    made_dir = tempfile.mkdtemp(prefix="qi-vm-check.")
    env["QI_VM_CHECK_DIR"] = made_dir
    try:
        proc = subprocess.run([RUN_IN_VM, "bash", "-c", PROBE], cwd=ROOT, env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=VM_TIMEOUT, preexec_fn=lambda: os.umask(PROBE_UMASK))
        made_path = os.path.join(made_dir, "made")
        made = os.stat(made_path) if os.path.exists(made_path) else None
    finally:
        shutil.rmtree(made_dir, ignore_errors=True)
    groups = subprocess.run(["id", "-G"], capture_output=True, text=True, check=True).stdout.strip()
    expected_out = ("stdout is a terminal: no\nin VM: 1\nfolder: %s\nmachine: x86_64\n"
                    "marker: a b  'c'\nuser: %d %d groups %s\nhome: %s\numask: %04o\n"
                    % (ROOT, os.getuid(), os.getgid(), groups, os.environ.get("HOME", ""),
                       PROBE_UMASK))
    failures = []
    want_made = (os.getuid(), os.getgid(), 0o666 & ~PROBE_UMASK)
    if made is None:
        failures.append("the file made in the VM is missing")
    elif (made.st_uid, made.st_gid, made.st_mode & 0o7777) != want_made:
        failures.append("the file made in the VM: owner, group, mode %r, expected %r"
                        % ((made.st_uid, made.st_gid, oct(made.st_mode & 0o7777)),
                           want_made[:2] + (oct(want_made[2]),)))
    if proc.returncode != 7:
        failures.append("exit status: got %d, expected 7" % proc.returncode)
    if proc.stdout != expected_out:
        failures.append("standard output: got %r, expected %r" % (proc.stdout, expected_out))
    if proc.stderr != "to standard error\n":
        failures.append("standard error: got %r" % proc.stderr)
    return failures


def check_scenario(args):
    # The VM's own Wine server works in a copy of the prefix: two servers must
    # never share one. Hard links make the copy cheap; Wine replaces the files
    # it rewrites rather than writing into them.
    prefix = os.path.join(args.root, "prefix")
    shutil.rmtree(args.root, ignore_errors=True)
    os.makedirs(args.root)
    subprocess.run(["cp", "-al", args.prefix, prefix], check=True)
    proc = subprocess.run([RUN_IN_VM, "/usr/bin/python3",
                           os.path.join(ROOT, "tests", "wine", "wine_run.py"), "scenario",
                           args.name, "--root", args.root, "--win-dir", args.win_dir],
                          cwd=ROOT, env=vm_env(), stdin=subprocess.DEVNULL, timeout=VM_TIMEOUT)
    if proc.returncode != 0:
        return ["scenario %s in the VM: exit status %d" % (args.name, proc.returncode)]
    return []


def cpu_flags(cpuinfo_text):
    for line in cpuinfo_text.splitlines():
        if line.startswith("flags"):
            return set(line.partition(":")[2].split())
    return set()


def check_cpu(args):
    # The model the rest of the run's 32-bit tests did not run on: where they
    # run in the VMs (QI_32BIT_IN_VM, tools/vm/run-tests.sh), those have
    # protection keys, so this one has none; elsewhere they run on this
    # machine, and this one is the other kind.
    if os.environ.get("QI_32BIT_IN_VM"):
        host_pku = True
    else:
        with open("/proc/cpuinfo") as f:
            host_pku = "pku" in cpu_flags(f.read())
    model = PLAIN_MODEL if host_pku else PKU_MODEL
    env = vm_env()
    env["QI_VM_CPU"] = model
    env["QI_VM_MEMORY"] = "1024"
    script = 'cat /proc/cpuinfo >"$QI_VM_CHECK_DIR/cpuinfo" && exec "$@"'
    made_dir = tempfile.mkdtemp(prefix="qi-vm-check.")
    env["QI_VM_CHECK_DIR"] = made_dir
    try:
        proc = subprocess.run([RUN_IN_VM, "bash", "-c", script, "cpu", args.sim_tests,
                               "--gtest_filter=" + CPU_TESTS],
                              cwd=ROOT, env=env, stdin=subprocess.DEVNULL, timeout=VM_TIMEOUT)
        with open(os.path.join(made_dir, "cpuinfo")) as f:
            flags = cpu_flags(f.read())
    except FileNotFoundError:
        flags = set()
    finally:
        shutil.rmtree(made_dir, ignore_errors=True)
    print("the other 32-bit tests ran %s protection keys; the VM's CPU: %s, flags: pku %s, "
          "ospke %s" % ("with" if host_pku else "without", model, "pku" in flags,
                        "ospke" in flags))
    failures = []
    want = not host_pku
    if ("pku" in flags, "ospke" in flags) != (want, want):
        failures.append("the VM's CPU flags pku and ospke: expected %s for both" % want)
    if proc.returncode != 0:
        failures.append("the memory and code-patching tests on %s: exit status %d"
                        % (model, proc.returncode))
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("what", choices=["streams", "scenario", "cpu"])
    parser.add_argument("name", nargs="?")
    parser.add_argument("--root")
    parser.add_argument("--win-dir")
    parser.add_argument("--prefix")
    parser.add_argument("--sim-tests")
    args = parser.parse_args()
    if os.environ.get("QI_IN_VM"):
        print("skipped: this run is inside the VM already, which every test exercises")
        return SKIPPED
    checks = {"streams": lambda: check_streams(), "scenario": lambda: check_scenario(args),
              "cpu": lambda: check_cpu(args)}
    failures = checks[args.what]()
    for failure in failures:
        print("FAILED: " + failure)
    if not failures:
        print("%s in the VM: passed" % args.what)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
