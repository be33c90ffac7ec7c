#!/usr/bin/env bash
# Runs quorvel-check on a VHud.asi file, in its Linux build or in its
# Windows build under Wine.
#
#   run_check.sh linux CHECK VHUD EXPECTED WORK
#   run_check.sh wine  CHECK VHUD EXPECTED WORK CHECK_EXE WINE_ROOT
#
# linux: the Linux build CHECK must exit as the first line of EXPECTED says
# ("exit N") and print every further line of EXPECTED, in that order.
# wine: the same for CHECK_EXE under Wine (prefix WINE_ROOT/prefix), whose
# output must also equal the Linux build's, line for line. Both run in WORK
# on a copy named VHud.asi. Exits 77 (skipped) when VHUD or CHECK_EXE is
# missing.
set -u
mode=$1 check=$2 vhud=$3 expected=$4 work=$5 exe=${6:-} wine_root=${7:-}

skip() {
  echo "SKIPPED: $1"
  exit 77
}
fail() {
  echo "FAILED: $1"
  exit 1
}

[ -f "$vhud" ] || skip "no $vhud (build the Windows tree first)"
dir="$work/$mode"
rm -rf "$dir" && mkdir -p "$dir" && cp "$vhud" "$dir/VHud.asi" || fail "cannot set up $dir"
cd "$dir" || fail "cannot enter $dir"

[ -f "$expected" ] || fail "no $expected"
want_exit=$(head -n 1 "$expected" | sed -n 's/^exit \([0-9]*\)$/\1/p')
[ -n "$want_exit" ] || fail "$expected does not begin with 'exit N'"
tail -n +2 "$expected" > want.txt

# Every line of want.txt appears in $1, in order.
in_order() {
  awk 'BEGIN { n = 0; i = 0 }
       NR == FNR { want[n++] = $0; next }
       i < n && $0 == want[i] { i++ }
       END { if (i < n) { print "missing or out of order: [" want[i] "]"; exit 1 } }' \
    want.txt "$1"
}

"$check" VHud.asi > linux.out 2> linux.err
rc=$?
[ "$rc" = "$want_exit" ] || { cat linux.out linux.err; fail "Linux build exited $rc, not $want_exit"; }
[ ! -s linux.err ] || { cat linux.err; fail "Linux build wrote to standard error"; }
in_order linux.out || { cat linux.out; fail "Linux build's report differs"; }

if [ "$mode" = wine ]; then
  [ -f "$exe" ] || skip "no $exe (build the Windows tree first)"
  command -v wine > /dev/null || skip "wine is not installed"
  mkdir -p "$wine_root/home"
  HOME="$wine_root/home" WINEPREFIX="$wine_root/prefix" WINEARCH=win32 WINEDEBUG=-all \
    WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= wine "$exe" VHud.asi > wine.raw 2> wine.err < /dev/null
  rc=$?
  tr -d '\r' < wine.raw > wine.out
  [ "$rc" = "$want_exit" ] || { cat wine.out wine.err; fail "Windows build exited $rc, not $want_exit"; }
  grep -q 'quorvel-check' wine.err && { cat wine.err; fail "Windows build reported an error"; }
  in_order wine.out || { cat wine.out; fail "Windows build's report differs"; }
  diff linux.out wine.out || fail "the Windows build's report differs from the Linux build's"
fi
echo "PASSED: $mode build, exit $rc, $(wc -l < "$mode.out") lines as expected"
