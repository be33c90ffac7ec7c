#!/usr/bin/env bash
# run-in-vm.sh COMMAND [ARG...]
# Runs COMMAND in the VM, in the current folder, with the current environment
# and umask, as the caller (user id, group id, supplementary groups), and exits
# with its exit status. The VM is qemu's x86-64 machine
# under software emulation with 2 processors and 8 GiB; it sees this
# machine's whole file system over 9p, with /dev/shm and /run of its own;
# temporary files go to /run/tmp (TMPDIR). COMMAND's standard output and
# standard error come back as they are.
# The kernel's console goes to a log in the job's folder; when the VM ends
# without an exit status, that log's end is shown and the status is 125.
#
# qemu runs single-threaded (both virtual processors take turns on one
# thread): in its multi-threaded mode an unaligned store into a page that
# holds translated code lands as single bytes, so a thread running that code
# can execute a half-written instruction that no processor would show it.
#
# The guest caches what it reads over 9p (cache=loose): each new process maps
# its programs and libraries again, and without the cache every page of them
# crosses 9p anew. Nothing on this side changes those files while the VM runs;
# the VM syncs before it powers off. For a caller other than root it caches
# only what is mapped (cache=mmap): in loose mode the guest's kernel opens
# every file opened for writing read-write a second time, as root, and a qemu
# that is not root cannot do that with a file made without those permissions
# (Wine makes its prefix's "wineserver" file read-only and then writes it).
#
# The guest keeps time with the TSC: the HPET, which its kernel would choose
# under emulation, makes every clock read a trip through qemu's device model,
# and the sanitizers, libFuzzer, Wine and the stress tests read the clock often.
#
# For developing the VM itself: QI_VM_MEMORY (MiB, default 8192),
# QI_VM_TCG_THREAD=multi (qemu's multi-threaded mode), QI_VM_KEEP=1 (keep the
# job's folder with the console log under the cache folder's jobs/),
# QI_VM_9P_CACHE (the 9p cache mode, default loose for root, mmap for others), QI_VM_CPU (qemu's CPU
# model). The default model has protection keys (pku, which the guest's
# kernel turns on: ospke), where Linux makes a PROT_EXEC-only mapping
# execute-only: a run in the VM covers such processors, and a machine without
# them runs the plain qemu64 (tests/vm). qemu's "max" model made Wine's 32-bit
# processes fault at iret in this kernel.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
[ $# -gt 0 ] || { echo "usage: run-in-vm.sh COMMAND [ARG...]" >&2; exit 2; }
cache="$("$here/prepare.sh")"
mkdir -p "$cache/jobs"
job="$(mktemp -d "$cache/jobs/job.XXXXXX")"
[ -n "${QI_VM_KEEP:-}" ] || trap 'rm -rf "$job"' EXIT

{
  echo '# Written by run-in-vm.sh: the caller'\''s environment, folder and command.'
  export -p | grep -v -E '^declare -x (OLDPWD|PWD|SHLVL|_)='
  echo 'export QI_IN_VM=1 TMPDIR=/run/tmp'
  echo "umask $(umask)"
  printf 'cd %q || exit 126\n' "$(pwd)"
  printf 'exec'
  printf ' %q' "$@"
  printf '\n'
} >"$job/job.sh"

# The command's output reaches ours through two pipes and cat, so that it is
# written through our own standard output and error, at their current place.
mkfifo "$job/out" "$job/err"
cat "$job/out" &
out_reader=$!
cat "$job/err" >&2 &
err_reader=$!

# Who runs the command in the VM: the caller, with every group.
user="$(id -u):$(id -g):$(id -G | tr ' ' ',')"
cache_mode=loose
[ "$(id -u)" -eq 0 ] || cache_mode=mmap

set +e
qemu-system-x86_64 \
  -accel tcg,thread="${QI_VM_TCG_THREAD:-single}" -cpu "${QI_VM_CPU:-qemu64,+pku}" -smp 2 -m "${QI_VM_MEMORY:-8192}" \
  -nodefaults -no-user-config -display none -no-reboot \
  -kernel "$cache/vmlinuz" -initrd "$cache/initramfs.gz" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 clocksource=tsc tsc=reliable qi.job=$job qi.user=$user qi.cache=${QI_VM_9P_CACHE:-$cache_mode}" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,multidevs=remap \
  -chardev file,id=console,path="$job/console.log" -serial chardev:console \
  -chardev file,id=out,path="$job/out" -serial chardev:out \
  -chardev file,id=err,path="$job/err" -serial chardev:err \
  </dev/null
qemu_status=$?
wait "$out_reader" "$err_reader"
set -e
if [ -f "$job/status" ]; then
  exit "$(cat "$job/status")"
fi
echo "run-in-vm.sh: the VM ended without the command's exit status (qemu: $qemu_status); its console:" >&2
tail -n 30 "$job/console.log" >&2 || true
exit 125
