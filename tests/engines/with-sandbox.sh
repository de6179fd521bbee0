#!/bin/sh
# with-sandbox.sh BUILD COMMAND [ARGS...]
# Runs COMMAND as a game would run against the sandbox: the sandbox started on free
# loopback ports (gem_300 declined by the player), its KEY=VALUE lines exported,
# the SDK's files in a temporary home, DEMO_APP_ID/DEMO_APP_KEY set. Stops the
# sandbox afterwards and exits with COMMAND's status.
set -eu
BUILD=$(cd "$1" && pwd)
shift
STATE=$(mktemp -d /tmp/nimo-engine-XXXXXX)
SANDBOX_PID=""
stop_sandbox() {
  if [ -n "$SANDBOX_PID" ] && kill -0 "$SANDBOX_PID" 2>/dev/null; then
    kill -TERM "$SANDBOX_PID" 2>/dev/null || true
    i=0
    while kill -0 "$SANDBOX_PID" 2>/dev/null && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
    kill -KILL "$SANDBOX_PID" 2>/dev/null || true
  fi
  rm -rf "$STATE"
}
trap stop_sandbox EXIT INT TERM

"$BUILD/tools/sandbox/nimo-sandbox" --state "$STATE/server" --port 0 --steam-port 0 \
  --player-product gem_300=decline --quiet >"$STATE/sandbox.out" 2>"$STATE/sandbox.err" &
SANDBOX_PID=$!
i=0
until grep -q '^NIMO_STEAM_BRIDGE=' "$STATE/sandbox.out" 2>/dev/null; do
  if ! kill -0 "$SANDBOX_PID" 2>/dev/null || [ $i -ge 100 ]; then
    echo "the sandbox did not start:" >&2
    cat "$STATE/sandbox.err" >&2
    exit 1
  fi
  sleep 0.1
  i=$((i + 1))
done
for line in $(grep -E '^(NIMOSDK_API_BASE_URL|NIMOSDK_TRACK_URL|NIMOSDK_CA_FILE|NIMO_STEAM_BRIDGE)=' "$STATE/sandbox.out"); do
  export "$line"
done
export XDG_DATA_HOME="$STATE/home" DEMO_APP_ID=10001 DEMO_APP_KEY=sandbox-key-10001
cd "$STATE"
status=0
"$@" || status=$?
exit $status
