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

# The demo's whole flow against the sandbox, start to end.
if [ -x "$BUILD/examples/demo/nimo-demo" ] && [ -x "$BUILD/tools/sandbox/nimo-sandbox" ]; then
  echo "== demo flow"
  here=$(cd "$(dirname "$0")" && pwd)
  start=$(date +%s%N)
  if "$here/../examples/demo/run-demo.sh" "$BUILD" >/dev/null 2>&1; then result=ok; else result=FAILED; fi
  end=$(date +%s%N)
  echo "demo_whole_flow ms=$(( (end - start) / 1000000 )) result=$result"
fi
