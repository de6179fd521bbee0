#!/bin/sh
set -eu
BUILD=$1
found=0
for b in "$BUILD"/bench/bench_*; do
  [ -x "$b" ] || continue
  found=1
  echo "== $(basename "$b")"
  "$b"
done
[ "$found" = 1 ] || echo "no benchmarks built"
