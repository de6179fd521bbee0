#!/bin/sh
# Starts the sandbox publisher server on free loopback ports, points the SDK at it,
# runs the demo game, then stops the server. Exits with the demo's status.
#   run-demo.sh LINUX_BUILD [GAME COMMAND...]   (default: LINUX_BUILD's nimo-demo;
#   the Windows demo is run as: run-demo.sh build wine64 build-win/nimo-demo.exe)
# In a package it sits in sandbox/ beside the programs and runs with no argument.
# NIMO_SANDBOX=PATH starts another sandbox program, through NIMO_SANDBOX_RUNNER when set
# (the Windows one: NIMO_SANDBOX=.../nimo-sandbox.exe NIMO_SANDBOX_RUNNER=wine64).
set -eu
if [ $# -gt 0 ]; then
  BUILD=$(cd "$1" && pwd)
  shift
else
  BUILD=$(cd "$(dirname "$0")" && pwd)
fi
if [ -x "$BUILD/nimo-sandbox" ]; then
  SANDBOX="$BUILD/nimo-sandbox" DEMO="$BUILD/nimo-demo"
  # The package's layout: the SDK in ../lib, the Steam stand-in here.
  export LD_LIBRARY_PATH="$BUILD/../lib:$BUILD${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
else
  SANDBOX="$BUILD/tools/sandbox/nimo-sandbox" DEMO="$BUILD/examples/demo/nimo-demo"
fi
SANDBOX=${NIMO_SANDBOX:-$SANDBOX}
STATE=$(mktemp -d /tmp/nimo-demo-XXXXXX)
OUT="$STATE/sandbox.out"
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

# The player approves everything but gem_300, which the demo buys to see a decline.
${NIMO_SANDBOX_RUNNER:+"$NIMO_SANDBOX_RUNNER"} "$SANDBOX" --state "$STATE/server" --port 0 --steam-port 0 \
  --player-product gem_300=decline >"$OUT" 2>"$STATE/sandbox.err" &
SANDBOX_PID=$!

i=0
until grep -q '^NIMO_STEAM_BRIDGE=' "$OUT" 2>/dev/null; do
  if ! kill -0 "$SANDBOX_PID" 2>/dev/null || [ $i -ge 100 ]; then
    echo "the sandbox did not start:" >&2
    cat "$STATE/sandbox.err" >&2
    exit 1
  fi
  sleep 0.1
  i=$((i + 1))
done

# (A Windows sandbox ends its lines with CR LF.)
tr -d '\r' <"$OUT" | grep -E '^(NIMOSDK_API_BASE_URL|NIMOSDK_TRACK_URL|NIMOSDK_CA_FILE|NIMO_STEAM_BRIDGE)=' >"$STATE/env"
echo "Sandbox publisher server started; the game is pointed at it with:"
sed 's/^/  /' "$STATE/env"
echo
for line in $(cat "$STATE/env"); do
  export "$line"
done

# The SDK's own files go to a folder of the demo, not to the user's data folder.
export XDG_DATA_HOME="$STATE/home"
# The demo's defaults are the sandbox's first game and products; other games read them here.
if [ $# -gt 0 ]; then
  export DEMO_APP_ID=10001 DEMO_APP_KEY=sandbox-key-10001
  export DEMO_PRODUCT_APPROVED=gem_60 DEMO_PRODUCT_DECLINED=gem_300
fi

cd "$STATE"
# Under Wine the SDK keeps its files in the prefix's user folder, shared by every run; a fresh
# sandbox numbers its orders from 1 again, so an earlier run's journal would name this run's
# orders. 480 is the Steam app id of the stand-in's game; other tests keep their own folders.
if [ -n "${WINEPREFIX:-}" ]; then
  rm -rf "$WINEPREFIX"/drive_c/users/*/AppData/Local/NimoSteamExeSdk/480
fi
status=0
if [ $# -gt 0 ]; then
  "$@" || status=$?
else
  "$DEMO" || status=$?
fi
if [ $status -ne 0 ]; then
  # What reached the server tells a failing game from a failing server.
  echo "the sandbox's request log (last 80 lines):" >&2
  tail -n 80 "$STATE/sandbox.err" >&2
fi
exit $status
