#!/usr/bin/env bash
# Decides where the 32-bit parts run and prints one line: "native" or "vm",
# a tab, and why. QI_VM=1 forces the VM; otherwise a tiny static i386 program
# is run, and only its expected exit status counts as native execution.
set -euo pipefail
if [ -n "${QI_IN_VM:-}" ]; then
  printf 'native\tthis is the VM\n'
  exit 0
fi
if [ "${QI_VM:-}" = 1 ]; then
  printf 'vm\tQI_VM=1 is set\n'
  exit 0
fi
probe_dir="$(mktemp -d)"
trap 'rm -rf "$probe_dir"' EXIT
cat >"$probe_dir/probe.S" <<'ASM'
  .globl _start
_start:
  movl $1, %eax   /* exit */
  movl $42, %ebx
  int $0x80
ASM
if ! gcc -m32 -nostdlib -static -o "$probe_dir/probe" "$probe_dir/probe.S" 2>"$probe_dir/cc.txt"; then
  printf 'vm\tno 32-bit toolchain to build the probe: %s\n' "$(head -1 "$probe_dir/cc.txt")"
  exit 0
fi
set +e
"$probe_dir/probe" 2>"$probe_dir/run.txt"
status=$?
set -e
# An i386 program handed to a user-mode emulator through binfmt_misc runs, but
# too slowly and too unfaithfully for the tests.
for entry in /proc/sys/fs/binfmt_misc/*; do
  [ -f "$entry" ] || continue
  if grep -qx enabled "$entry" 2>/dev/null && grep -q '^interpreter .*qemu-i386' "$entry" 2>/dev/null; then
    printf 'vm\ti386 programs go to a user-mode emulator (%s)\n' "$(basename "$entry")"
    exit 0
  fi
done
if [ "$status" -eq 42 ]; then
  printf 'native\tthis machine runs i386 programs\n'
else
  printf 'vm\tthis machine cannot run i386 programs (%s)\n' \
    "$(sed 's/^.*: //' "$probe_dir/run.txt" | head -1 | tr -d '\n' || true)${status:+, exit status $status}"
fi
