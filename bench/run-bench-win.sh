#!/bin/sh
# The cost of Init on the game's thread under Wine: RUNS fresh processes, each
# a first Init; prints p50, p90 and the largest in microseconds.
set -eu
BUILD=$1
WINE=${WINE:-/usr/lib/wine/wine64}
RUNS=${RUNS:-25}
samples=$(mktemp)
trap 'rm -f "$samples"' EXIT INT TERM
i=0
while [ "$i" -lt "$RUNS" ]; do
  "$WINE" "$BUILD/bench_init_win.exe" | tr -d '\r' >>"$samples"
  i=$((i + 1))
done
sort -n "$samples" | awk '{ v[NR] = $1 } END {
  if (NR == 0) { print "bench_init_win: no samples"; exit 1 }
  p50 = v[int((NR + 1) / 2)]; p90 = v[int(NR * 0.9 + 0.5)]
  printf "bench_init_win runs=%d p50_us=%d p90_us=%d max_us=%d\n", NR, p50, p90, v[NR] }'
