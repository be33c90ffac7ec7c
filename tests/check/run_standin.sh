#!/usr/bin/env bash
# Runs quorvel-check on the stand-in VHud.asi of the Windows build.
#
#   run_standin.sh linux CHECK WIN_BUILD EXPECTED WORK
#   run_standin.sh wine  CHECK WIN_BUILD EXPECTED WORK WINE_ROOT
#
# linux: the Linux build CHECK must exit as the first line of EXPECTED says
# ("exit N") and print every further line of EXPECTED, in that order.
# wine: the same for WIN_BUILD/quorvel-check.exe under Wine (prefix
# WINE_ROOT/prefix), whose output must also equal the Linux build's, line
# for line. Exits 77 (skipped) when the Windows build's files are missing.
set -u
mode=$1 check=$2 win=$3 expected=$4 work=$5 wine_root=${6:-}

skip() {
  echo "SKIPPED: $1"
  exit 77
}
fail() {
  echo "FAILED: $1"
  exit 1
}

[ -f "$win/VHud.asi" ] || skip "no stand-in VHud.asi in $win (build the Windows tree first)"
dir="$work/$mode"
rm -rf "$dir" && mkdir -p "$dir" && cp "$win/VHud.asi" "$dir/VHud.asi" || fail "cannot set up $dir"
cd "$dir" || fail "cannot enter $dir"

want_exit=$(head -n 1 "$expected" | sed -n 's/^exit \([0-9]*\)$/\1/p')
[ -n "$want_exit" ] || fail "$expected does not begin with 'exit N'"
tail -n +2 "$expected" > want.txt

# Every line of want.txt appears in $1, in order.
in_order() {
  awk 'NR == FNR { want[n++] = $0; next }
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
  exe="$win/quorvel-check.exe"
  [ -f "$exe" ] || skip "no quorvel-check.exe in $win"
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
