#!/usr/bin/env python3
"""Picks the daemon's tests out of a configured ARMv7 build tree.

select-tests.py BUILD_DIR EMULATOR AREA...   reads `ctest --show-only=json-v1` from standard
input and prints two lines: the names of the tests defined in the given areas (folders under
tests/, such as portald or platform/nvram, with their subfolders; an area written !AREA is left
out) whose command is a program of the build run through EMULATOR, and the build targets of
those programs. Tests of those areas that run something else (a shell
script, say) are named on standard error and left to the host's run.
"""
import json
import os
import sys


def main():
    build = os.path.realpath(sys.argv[1])
    emulator = sys.argv[2]
    areas = [a for a in sys.argv[3:] if not a.startswith("!")]
    left_out = [a[1:] for a in sys.argv[3:] if a.startswith("!")]

    def within(where, folders):
        return any(where == "tests/" + f or where.startswith("tests/" + f + "/") for f in folders)

    tests = json.load(sys.stdin)["tests"]
    names, targets = [], []
    for t in tests:
        props = {p["name"]: p["value"] for p in t.get("properties", [])}
        where = os.path.relpath(os.path.realpath(props.get("WORKING_DIRECTORY", build)), build)
        if not within(where, areas) or within(where, left_out):
            continue
        command = t.get("command") or []
        programs = [c for c in command[1:] if os.path.realpath(c).startswith(build + os.sep)]
        if not command or command[0] != emulator or not programs:
            print("not an emulated program, left to the host run: " + t["name"], file=sys.stderr)
            continue
        names.append(t["name"])
        target = os.path.basename(programs[0])
        if target not in targets:
            targets.append(target)
    print(" ".join(names))
    print(" ".join(targets))


if __name__ == "__main__":
    main()
