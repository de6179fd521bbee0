#!/bin/sh
# Runs the demo game against the sandbox server (when built), then stops it.
set -eu
BUILD=$1
cd "$BUILD/examples/demo"
exec ./nimo-demo
