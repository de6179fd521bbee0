#!/bin/sh
# run-fuzz.sh BUILD_DIR SECONDS: replays each target's seed corpus, then fuzzes
# it for SECONDS. New inputs go to a scratch folder, never into the seeds; a
# crash leaves its input in BUILD_DIR/fuzz-artifacts and fails the run.
set -eu
build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
status=0
for target in response url server_json event config_file; do
  exe="$build/tests/fuzz/fuzz_$target"
  seeds="$here/corpus/$target"
  scratch=$(mktemp -d)
  log="$artifacts/$target.log"
  if "$exe" -runs=0 "$seeds" >"$log" 2>&1 &&
     "$exe" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=1024 -timeout=10 \
       -artifact_prefix="$artifacts/$target-" -print_final_stats=1 "$scratch" "$seeds" >>"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    echo "fuzz_$target: ok, ${runs:-?} runs in ${seconds}s"
  else
    echo "fuzz_$target: FAILED, see $log"
    tail -30 "$log"
    status=1
  fi
  rm -rf "$scratch"
done
exit $status
