#!/usr/bin/env bash
# run-tests.sh SIM_DIR NATIVE_DIR
# Runs every test of the simulation tree SIM_DIR (which includes the native
# tree NATIVE_DIR's) on a machine that cannot run i386 programs, on both of
# its processors: qemu emulates a VM on one thread, so the 32-bit tests are
# split over two VMs, and what needs nothing 32-bit runs on this machine
# beside them (labels: cmake/test_labels.cmake):
#   VM 1     lists every test first when a 32-bit GoogleTest binary is
#            newer than its list (they list theirs only in a VM), then runs
#            the Wine tests (label wine: one Wine prefix and one Wine server
#            for all of them)
#   VM 2     every test without a label, once the tests are listed
#   here     the native tree's tests, then (once the tests are listed) the
#            host tests, then (after both VMs) the host tests that read what
#            a VM's test wrote
# Each CTest's lines come as they are written, marked [vm1], [vm2] or
# [here]. The last line is "N passed, M failed" over all of them; the exit
# status is 0 only when every CTest ran and nothing failed.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
[ $# -eq 2 ] || { echo "usage: run-tests.sh SIM_DIR NATIVE_DIR" >&2; exit 2; }
sim="$(cd "$1" && pwd)"
native="$(cd "$2" && pwd)"
logs="$sim/Testing/split"
rm -rf "$logs"
mkdir -p "$logs"
listed="$logs/listed" # CTest -N's status once the tests are listed

mark() { sed -u "s/^/[$1] /"; }

# The native tree's GoogleTest binary lists its tests here, before a VM
# reads that list.
ctest --test-dir "$native" -N >/dev/null 2>&1

# The simulation tree's GoogleTest binaries list their tests (32-bit: in a
# VM) when a list is older than its binary; until then no other CTest may
# read the tree. Lists already fresh let both VMs start at once.
stale=0
for include in "$sim"/tests/*_include.cmake; do
  [ -f "$include" ] || continue
  binary="${include%"[1]_include.cmake"}"
  list="$binary[1]_tests.cmake"
  [ -f "$list" ] && [ "$list" -nt "$binary" ] && [ "$list" -nt "$include" ] || stale=1
done
[ "$stale" = 1 ] || echo 0 >"$listed"

# shellcheck disable=SC2016  # expanded by the VM's shell
{
  "$here/run-in-vm.sh" bash -c '
    if [ ! -s "$2" ]; then
      ctest --test-dir "$1" -N >/dev/null; status=$?
      echo "$status" >"$2.tmp" && sync && mv "$2.tmp" "$2" && sync
      [ "$status" -eq 0 ] || { echo "listing the tests failed"; exit 1; }
    fi
    exec ctest --test-dir "$1" --output-on-failure -j2 -L wine' _ "$sim" "$listed"
  echo $? >"$logs/vm1.status"
} 2>&1 | tee "$logs/vm1.log" | mark vm1 &
vm1=$!

# VM 2 and the host tests of the simulation tree start once the tests are
# listed (a VM would not see that file appear: its 9p cache keeps what it
# once found missing).
while [ ! -s "$listed" ] && kill -0 "$vm1" 2>/dev/null; do sleep 1; done
started_rest=0
if [ "$(cat "$listed" 2>/dev/null)" = 0 ]; then
  started_rest=1
  {
    "$here/run-in-vm.sh" ctest --test-dir "$sim" --output-on-failure -j2 \
      -LE "host|wine|native|after_vm"
    echo $? >"$logs/vm2.status"
  } 2>&1 | tee "$logs/vm2.log" | mark vm2 &
  vm2=$!
fi

# The host's CTest output comes as each of its runs ends, so that its lines
# do not cut through the VMs'.
ctest --test-dir "$native" --output-on-failure -j2 >"$logs/here_native.log" 2>&1
echo $? >"$logs/here_native.status"
mark here <"$logs/here_native.log"
if [ "$started_rest" = 1 ]; then
  # The VM checks among them start VMs of their own; the CPU check then
  # takes the model the VMs here do not have (tests/vm/vm_check.py).
  QI_32BIT_IN_VM=1 ctest --test-dir "$sim" --output-on-failure -j2 -L host -LE after_vm \
    >"$logs/here_host.log" 2>&1
  echo $? >"$logs/here_host.status"
  mark here <"$logs/here_host.log"
  wait "$vm2"
fi
wait "$vm1"

# Host tests that read what the VMs' tests wrote (the demo's traces); the
# VMs made them, so their setup is not run again here.
if [ "$started_rest" = 1 ]; then
  ctest --test-dir "$sim" --output-on-failure -j2 -L after_vm -FS demo_traces \
    >"$logs/here_after.log" 2>&1
  echo $? >"$logs/here_after.status"
  mark here <"$logs/here_after.log"
fi

# One summary over every CTest run: CTest's own line of each, then the total.
passed=0
failed=0
ok=1
echo
for run in vm1 vm2 here_native here_host here_after; do
  log="$logs/$run.log"
  status="$(cat "$logs/$run.status" 2>/dev/null || echo none)"
  line="$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" 2>/dev/null |
    tail -1)"
  if [ -n "$line" ]; then
    total="$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")"
    bad="$(sed -E 's/^[0-9]+% tests passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")"
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    echo "$run: $line"
  elif [ "$status" != 0 ]; then
    echo "$run: did not run to its end (exit status $status)"
    ok=0
  else
    echo "$run: no tests"
  fi
  [ "$status" = 0 ] || ok=0
done
grep -h -A1000 '^The following tests FAILED:' "$logs"/*.log 2>/dev/null |
  grep -E '^[[:space:]]+[0-9]+ - ' || true
echo "$passed passed, $failed failed"
[ "$ok" = 1 ] && [ "$failed" -eq 0 ]
