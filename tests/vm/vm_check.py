#!/usr/bin/env python3
"""Runs commands in the VM of tools/vm, the way ./run does on a machine that
cannot run i386 programs, and checks what comes back.

  vm_check.py streams                       standard output, standard error
                                            and exit status come back apart
  vm_check.py scenario NAME --root DIR --win-dir DIR --prefix DIR
                                            one Wine scenario in the VM, in a
                                            copy of the Wine prefix DIR

Inside the VM itself (QI_IN_VM set) there is no VM to start: the whole run is
already in one, and each check says so and is skipped (exit status 77).
"""
import argparse
import os
import shutil
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
RUN_IN_VM = os.path.join(ROOT, "tools", "vm", "run-in-vm.sh")
SKIPPED = 77
# Generous: only stops a VM that hangs. The boot takes seconds.
VM_TIMEOUT = 600

# Prints what the VM's side sees of its standard streams, its folder and its
# processor, then leaves with a status of its own.
PROBE = r'''
echo "stdout is a terminal: $([ -t 1 ] && echo yes || echo no)"
echo "in VM: ${QI_IN_VM:-}"
echo "folder: $(pwd)"
echo "machine: $(uname -m)"
echo "marker: $QI_VM_CHECK_MARKER"
echo "to standard error" >&2
exit 7
'''


def vm_env():
    env = dict(os.environ)
    # Two of these VMs may run side by side with the rest of the suite.
    env.setdefault("QI_VM_MEMORY", "2048")
    return env


def check_streams():
    env = vm_env()
    env["QI_VM_CHECK_MARKER"] = "a b  'c'"
    proc = subprocess.run([RUN_IN_VM, "bash", "-c", PROBE], cwd=ROOT, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=VM_TIMEOUT)
    expected_out = ("stdout is a terminal: no\nin VM: 1\nfolder: %s\nmachine: x86_64\n"
                    "marker: a b  'c'\n" % ROOT)
    failures = []
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("what", choices=["streams", "scenario"])
    parser.add_argument("name", nargs="?")
    parser.add_argument("--root")
    parser.add_argument("--win-dir")
    parser.add_argument("--prefix")
    args = parser.parse_args()
    if os.environ.get("QI_IN_VM"):
        print("skipped: this run is inside the VM already, which every test exercises")
        return SKIPPED
    failures = check_streams() if args.what == "streams" else check_scenario(args)
    for failure in failures:
        print("FAILED: " + failure)
    if not failures:
        print("%s in the VM: passed" % args.what)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
