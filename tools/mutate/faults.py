#!/usr/bin/env python3
"""Helpers of mutate.sh: read the fault list, copy the tree, apply one fault.

  faults.py list FAULTS [ID...]        id<TAB>file<TAB>tests, one line per fault
  faults.py sync ROOT SRC              make SRC a copy of ROOT's files (git's view)
  faults.py apply FAULTS ID SRC SAVE   mutate SRC/<file>, keep the original in SAVE;
                                       exit 3 when the find text is missing or not unique
  faults.py restore SRC SAVE           put the saved original back (with a new time stamp)
  faults.py regex                      gtest --gtest_list_tests on stdin -> ctest -R regex
"""
import os
import re
import subprocess
import sys

STALE = 3


def parse(path):
    faults, block = [], {}
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for line in lines + [""]:
        if line.startswith("#"):
            continue
        if not line.strip():
            if block:
                faults.append(block)
                block = {}
            continue
        key, sep, value = line.partition(":")
        if not sep:
            sys.exit("faults: a line without a key: %r" % line)
        # One space after the colon belongs to the format; the rest is the text.
        block[key.strip()] = value[1:] if value.startswith(" ") else value
    ids = set()
    for b in faults:
        for key in ("id", "file", "tests", "find", "repl"):
            if key not in b:
                sys.exit("faults: %s lacks %s:" % (b.get("id", "a block"), key))
        if b["id"] in ids:
            sys.exit("faults: %s twice" % b["id"])
        ids.add(b["id"])
    return faults


def unescape(text):
    return text.replace("\\n", "\n")


def cmd_list(path, wanted):
    faults = parse(path)
    known = {b["id"] for b in faults}
    unknown = [w for w in wanted if w not in known]
    if unknown:
        sys.exit("faults: unknown id: " + " ".join(unknown))
    for b in faults:
        if not wanted or b["id"] in wanted:
            print("%s\t%s\t%s" % (b["id"], b["file"], " ".join(b["tests"].split())))


def cmd_sync(root, src):
    out = subprocess.run(["git", "-C", root, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                         check=True, stdout=subprocess.PIPE).stdout
    wanted = set()
    for rel in out.decode("utf-8").split("\0"):
        if not rel or not os.path.isfile(os.path.join(root, rel)):
            continue  # deleted but not yet staged
        wanted.add(rel)
        with open(os.path.join(root, rel), "rb") as f:
            data = f.read()
        dst = os.path.join(src, rel)
        try:
            with open(dst, "rb") as f:
                if f.read() == data:
                    continue  # unchanged: keep its time stamp, so nothing is rebuilt
        except OSError:
            os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(dst, "wb") as f:
            f.write(data)
        os.chmod(dst, os.stat(os.path.join(root, rel)).st_mode & 0o777)
    for dirpath, _, files in os.walk(src):
        for name in files:
            rel = os.path.relpath(os.path.join(dirpath, name), src)
            if rel not in wanted:
                os.remove(os.path.join(src, rel))  # a removed test must not linger in the copy


def cmd_apply(path, fid, src, save):
    fault = next((b for b in parse(path) if b["id"] == fid), None)
    if fault is None:
        sys.exit("faults: unknown id " + fid)
    target = os.path.join(src, fault["file"])
    try:
        with open(target, encoding="utf-8") as f:
            text = f.read()
    except OSError:
        print("%s: no file %s" % (fid, fault["file"]), file=sys.stderr)
        return STALE
    find = unescape(fault["find"])
    count = text.count(find)
    if count != 1:
        print("%s: find text occurs %d times in %s" % (fid, count, fault["file"]), file=sys.stderr)
        return STALE
    os.makedirs(save, exist_ok=True)
    with open(os.path.join(save, "file"), "w", encoding="utf-8") as f:
        f.write(fault["file"])
    with open(os.path.join(save, "text"), "w", encoding="utf-8") as f:
        f.write(text)
    with open(target, "w", encoding="utf-8") as f:
        f.write(text.replace(find, unescape(fault["repl"])))
    return 0


def cmd_restore(src, save):
    marker = os.path.join(save, "file")
    if not os.path.exists(marker):
        return 0
    with open(marker, encoding="utf-8") as f:
        rel = f.read()
    with open(os.path.join(save, "text"), encoding="utf-8") as f:
        text = f.read()
    with open(os.path.join(src, rel), "w", encoding="utf-8") as f:
        f.write(text)  # a fresh time stamp: the next build recompiles (ccache makes it cheap)
    os.remove(marker)
    return 0


def cmd_regex():
    names, suite = [], None
    for line in sys.stdin:
        line = line.rstrip("\n")
        if not line.strip():
            continue
        if not line.startswith(" "):
            suite = line.split("#")[0].strip()  # "Suite." or "Prefix/Suite."
        elif suite:
            names.append(suite + line.split("#")[0].strip())
    if not names:
        return 1
    print("^(" + "|".join(re.escape(n) for n in names) + ")$")
    return 0


def main(argv):
    if len(argv) >= 2 and argv[0] == "list":
        cmd_list(argv[1], argv[2:])
        return 0
    if len(argv) == 3 and argv[0] == "sync":
        cmd_sync(argv[1], argv[2])
        return 0
    if len(argv) == 5 and argv[0] == "apply":
        return cmd_apply(*argv[1:])
    if len(argv) == 3 and argv[0] == "restore":
        return cmd_restore(*argv[1:])
    if argv == ["regex"]:
        return cmd_regex()
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
