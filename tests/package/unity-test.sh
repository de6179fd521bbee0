#!/bin/sh
# unity-test.sh SOURCE LINUX_BUILD UNITY_TGZ: what can be checked of the Unity package without
# Unity: its JSON and import records are well formed and give each library to its platform
# only; the runtime and the sample compile with mcs (the sample against tests/package's
# stand-in of UnityEngine); and the sample plays its flow under Mono against the sandbox.
set -eu
SRC=$(cd "$1" && pwd)
BUILD=$(cd "$2" && pwd)
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT INT TERM
tar -C "$T" -xzf "$3"
U="$T/package"

python3 - "$U" <<'PY'
import json, os, re, sys, yaml
root = sys.argv[1]
def load(path):  # Unity writes an empty key bare (": Any"), which YAML spells ''
    return yaml.safe_load(re.sub(r"(?m)^(\s+): ", r"\1'': ", open(path).read()))
pkg = json.load(open(os.path.join(root, "package.json")))
assert all(pkg.get(k) for k in ("name", "version", "displayName", "unity")), pkg
json.load(open(os.path.join(root, "Runtime", "Nimo.Sdk.asmdef")))
guids = set()
for d, dirs, files in os.walk(root):
    dirs[:] = [x for x in dirs if not x.endswith("~")]  # Unity does not import these
    for name in dirs + [f for f in files if not f.endswith(".meta")]:
        path = os.path.join(d, name)
        meta = load(path + ".meta")  # a missing record fails here
        assert meta["guid"] not in guids, path
        guids.add(meta["guid"])

def platforms(path):
    data = load(path + ".meta")["PluginImporter"]["platformData"]
    on = {}
    for entry in data:
        (kind, name), = entry["first"].items()
        if entry["second"]["enabled"]:
            on[name] = entry["second"]["settings"].get("OS", entry["second"]["settings"].get("CPU"))
    return on

assert platforms(os.path.join(root, "Plugins/Windows/x86_64/nimosdk64.dll")) == {"Win64": "x86_64", "Editor": "Windows"}
assert platforms(os.path.join(root, "Plugins/Linux/x86_64/libnimosdk64.so")) == {"Linux64": "x86_64", "Editor": "Linux"}
PY

mcs -nologo -warnaserror -langversion:7 -target:library -out:"$T/Nimo.Sdk.dll" "$U"/Runtime/*.cs
mcs -nologo -warnaserror -langversion:7 -r:"$T/Nimo.Sdk.dll" -out:"$T/UnityPlayer.exe" \
  "$SRC/tests/package/UnityEngine.cs" "$U"/Samples~/PollFlow/*.cs
cp "$U/Plugins/Linux/x86_64/libnimosdk64.so" "$T/"
LD_LIBRARY_PATH="$T:$BUILD" "$SRC/examples/demo/run-demo.sh" "$BUILD" mono "$T/UnityPlayer.exe" NimoFlowSample 1000
