#!/usr/bin/env bash
# Builds the fuzz targets with clang in build/fuzz and runs each of them for
# a while, keeping its corpus in build/fuzz/corpus/<target> across runs.
#
#   tests/fuzz/build.sh            build, then run each target 300 s
#   tests/fuzz/build.sh 3600       run each target an hour
#   tests/fuzz/build.sh 0          build only
#
# A crash stops the run and leaves the reproducing input (crash-*) in
# build/fuzz; rerun it with build/fuzz/<target> <file>.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT="$(pwd)"
SECONDS_EACH="${1:-300}"
OUT="$ROOT/build/fuzz"

CC=clang CXX=clang++ cmake -S tests/fuzz -B "$OUT" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQI_ROOT="$ROOT" >/dev/null
cmake --build "$OUT" -j2

[ "$SECONDS_EACH" -gt 0 ] || exit 0
for target in fuzz_append fuzz_pe_image fuzz_log_explain fuzz_pe_resources; do
  mkdir -p "$OUT/corpus/$target"
  echo "== $target: ${SECONDS_EACH} s"
  (cd "$OUT" && "./$target" -max_total_time="$SECONDS_EACH" -rss_limit_mb=2048 \
     -print_final_stats=1 "corpus/$target")
done
