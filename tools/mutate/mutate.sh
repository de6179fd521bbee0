#!/bin/sh
# tools/mutate/mutate.sh [BUILD_DIR] [ID...] [--compare BASELINE]
#
# Applies each fault of tools/mutate/faults.txt, one at a time, to a copy of the
# tree in BUILD_DIR/src (the working tree is never touched), builds the test
# programs the fault names and runs their tests through ctest. A fault is caught
# when one of those tests fails (or the mutant does not build: "build").
#
# Writes BUILD_DIR/mutate-result.txt: <id> TAB <caught|ESCAPED|stale|not-run> TAB <failing tests or ->
# With --compare BASELINE, exits 1 naming every fault the baseline caught that
# is not caught now.
#
# NIMO_MUTATE_FAULTS    the fault list (default tools/mutate/faults.txt)
# NIMO_MUTATE_MINUTES   total cap (default 40); faults past it are "not-run"
# NIMO_MUTATE_TIMEOUT   seconds per test program (default 300)
# NIMO_MUTATE_JOBS      build and ctest jobs (default 2)
set -eu

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
FAULTS=${NIMO_MUTATE_FAULTS:-$HERE/faults.txt}
PY="python3 $HERE/faults.py"

build_dir=""
baseline=""
ids=""
while [ $# -gt 0 ]; do
  case "$1" in
    --compare)
      [ $# -ge 2 ] || { echo "mutate: --compare needs a file" >&2; exit 2; }
      baseline=$2
      shift 2
      ;;
    -*)
      echo "usage: $0 [BUILD_DIR] [ID...] [--compare BASELINE]" >&2
      exit 2
      ;;
    *)
      if [ -z "$build_dir" ]; then build_dir=$1; else ids="$ids $1"; fi
      shift
      ;;
  esac
done
[ -n "$build_dir" ] || build_dir="$ROOT/build-mutate"
if [ -n "$baseline" ]; then
  [ -f "$baseline" ] || { echo "mutate: no baseline $baseline" >&2; exit 2; }
  baseline=$(cd "$(dirname "$baseline")" && pwd)/$(basename "$baseline")
fi
mkdir -p "$build_dir"
BUILD=$(cd "$build_dir" && pwd)
SRC="$BUILD/src"
OBJ="$BUILD/obj"
SAVE="$BUILD/saved"
LOGS="$BUILD/logs"
RESULT="$BUILD/mutate-result.txt"
JOBS=${NIMO_MUTATE_JOBS:-2}
PER_PROGRAM=${NIMO_MUTATE_TIMEOUT:-300}
CAP=$((${NIMO_MUTATE_MINUTES:-40} * 60))

START=$(date +%s)

# The copy holds an unmutated file again whatever way this script ends.
restore() { $PY restore "$SRC" "$SAVE" || true; }
trap 'restore' EXIT
trap 'restore; exit 130' INT TERM HUP

mkdir -p "$SRC" "$LOGS"
restore
# One fault per line: id TAB file TAB programs. $ids holds plain words (fault ids).
# shellcheck disable=SC2086
$PY list "$FAULTS" $ids >"$BUILD/faults.tsv"
echo "== copying the tree to $SRC"
$PY sync "$ROOT" "$SRC"

if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-/work}" CCACHE_NOHASHDIR=1
  launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
else
  launcher=""
fi
echo "== configuring $OBJ"
# shellcheck disable=SC2086
cmake -S "$SRC" -B "$OBJ" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMO_BUILD_BENCH=OFF $launcher >"$LOGS/configure.log" 2>&1 ||
  { cat "$LOGS/configure.log" >&2; exit 1; }

PROGRAMS=$(cut -f3 "$BUILD/faults.tsv" | tr ' ' '\n' | sort -u | tr '\n' ' ')
for p in $PROGRAMS; do
  [ -f "$SRC/tests/$p.cpp" ] || { echo "mutate: no tests/$p.cpp (named in faults.txt)" >&2; exit 1; }
done

# build LOG TARGET...: the test programs and what they start.
build() {
  log=$1
  shift
  timeout -k 10 1800 cmake --build "$OBJ" -j"$JOBS" --target "$@" nimo-sandbox </dev/null >"$log" 2>&1
}

# run_program PROGRAM LOG: prints the names of the failing tests, space separated.
run_program() {
  prog=$1
  log=$2
  regex=$(cat "$BUILD/regex/$prog")
  # Each run starts from empty working folders: nothing a mutant left behind counts.
  work="$OBJ/tests/work/$prog"
  rm -rf "$work" && mkdir -p "$work"
  rm -f "$OBJ/Testing/Temporary/LastTestsFailed.log"
  set +e
  (cd "$OBJ" && timeout -k 10 "$PER_PROGRAM" ctest -j"$JOBS" --output-on-failure -R "$regex") </dev/null >"$log" 2>&1
  rc=$?
  set -e
  failed=""
  if [ -f "$OBJ/Testing/Temporary/LastTestsFailed.log" ]; then
    failed=$(sed 's/^[0-9]*://' "$OBJ/Testing/Temporary/LastTestsFailed.log" | tr '\n' ' ')
  fi
  if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
    failed="$failed$prog(timeout)"
  elif [ $rc -ne 0 ] && [ -z "$failed" ]; then
    failed="$prog(ctest:$rc)"
  fi
  echo "$failed"
}

echo "== building the unmutated test programs:$PROGRAMS"
# shellcheck disable=SC2086
build "$LOGS/clean-build.log" $PROGRAMS || { tail -40 "$LOGS/clean-build.log" >&2; echo "mutate: the tree does not build" >&2; exit 1; }
mkdir -p "$BUILD/regex"
for p in $PROGRAMS; do
  (cd "$OBJ" && "$OBJ/tests/$p" --gtest_list_tests </dev/null) | $PY regex >"$BUILD/regex/$p" ||
    { echo "mutate: cannot list the tests of $p" >&2; exit 1; }
done

# Tests that fail without any fault say nothing about one: they are left out.
echo "== running them unmutated"
: >"$BUILD/clean-failures"
for p in $PROGRAMS; do
  f=$(run_program "$p" "$LOGS/clean-$p.log")
  if [ -n "$f" ]; then
    echo "   $p fails unmutated: $f (left out of the counts)"
    # shellcheck disable=SC2086
    printf '%s\n' $f >>"$BUILD/clean-failures"
  fi
done

: >"$RESULT"
TAB=$(printf '\t')
while IFS="$TAB" read -r id _ tests <&3; do
  [ -n "$id" ] || continue
  now=$(date +%s)
  if [ $((now - START)) -ge "$CAP" ]; then
    line="$id	not-run	-"
  else
    set +e
    $PY apply "$FAULTS" "$id" "$SRC" "$SAVE" 2>"$LOGS/$id.apply.log"
    applied=$?
    set -e
    if [ $applied -eq 3 ]; then
      line="$id	stale	-"
      cat "$LOGS/$id.apply.log" >&2
    elif [ $applied -ne 0 ]; then
      cat "$LOGS/$id.apply.log" >&2
      exit 1
    else
      # shellcheck disable=SC2086
      if ! build "$LOGS/$id.build.log" $tests; then
        line="$id	caught	build"
      else
        hits=""
        for p in $tests; do
          for t in $(run_program "$p" "$LOGS/$id.$p.log"); do
            grep -qxF "$t" "$BUILD/clean-failures" || hits="$hits${hits:+,}$t"
          done
        done
        if [ -n "$hits" ]; then line="$id	caught	$hits"; else line="$id	ESCAPED	-"; fi
      fi
      restore
    fi
  fi
  printf '%s\n' "$line" | tee -a "$RESULT"
done 3<"$BUILD/faults.tsv"

total=$(grep -c . "$RESULT" || true)
caught=$(cut -f2 "$RESULT" | grep -cx caught || true)
elapsed=$(($(date +%s) - START))
summary="caught $caught of $total ($(cut -f2 "$RESULT" | grep -cx ESCAPED || true) escaped, \
$(cut -f2 "$RESULT" | grep -cx stale || true) stale, $(cut -f2 "$RESULT" | grep -cx not-run || true) not run; \
$((elapsed / 60)) min $((elapsed % 60)) s)"
echo "$summary"
echo "# $summary" >>"$RESULT"

[ -n "$baseline" ] || exit 0
status=0
while IFS="$TAB" read -r id was _; do
  case "$id" in '#'* | '') continue ;; esac
  [ "$was" = caught ] || continue
  now=$(awk -F'\t' -v id="$id" '$1 == id { print $2 }' "$RESULT")
  case "$now" in
    caught | "") ;;  # "" : not part of this run
    *)
      echo "mutate: $id was caught in the baseline, now $now" >&2
      status=1
      ;;
  esac
done <"$baseline"
[ $status -eq 0 ] && echo "no fault caught in $baseline escapes now"
exit $status
