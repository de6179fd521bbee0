#!/bin/sh
# csharp-flow.sh SOURCE BUILD: compiles the C# binding with the flow program (XML
# docs complete, warnings as errors) and runs it under Mono against the sandbox.
set -eu
SRC=$(cd "$1" && pwd)
BUILD=$(cd "$2" && pwd)
for tool in mcs mono; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIPPED: $tool not found (install mono-mcs and mono-runtime, as ./run test does)"
    exit 77
  fi
done
OUT="$BUILD/tests/csharp"
mkdir -p "$OUT"
mcs -nologo -warnaserror -langversion:7 -target:library -doc:"$OUT/NimoSdk.xml" \
  -out:"$OUT/NimoSdk.dll" "$SRC/bindings/csharp/NimoSdk.cs"
mcs -nologo -warnaserror -langversion:7 -r:"$OUT/NimoSdk.dll" -out:"$OUT/CSharpFlow.exe" \
  "$SRC/tests/engines/CSharpFlow.cs"
export LD_LIBRARY_PATH="$BUILD${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
exec "$SRC/examples/demo/run-demo.sh" "$BUILD" mono "$OUT/CSharpFlow.exe"
