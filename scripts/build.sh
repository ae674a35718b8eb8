#!/usr/bin/env bash
# build.sh DIR [cmake options...]: configures and builds the tree into DIR.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
cmake -S "$top" -B "$dir" "$@" >/dev/null
# Progress lines are dropped; warnings and errors stay. pipefail keeps cmake's status. With
# BUILD_SHOW_TARGETS=1 each finished target is named, so a long first build shows it is going.
if [ "${BUILD_SHOW_TARGETS:-0}" = 1 ]; then
  cmake --build "$dir" -j"$(nproc)" 2>&1 |
    { sed -n -e '/^\[/!{p;b' -e '}' -e 's/^\[ *\([0-9]*%\)\] Built target \(.*\)/   \1 built \2/p' || true; }
else
  cmake --build "$dir" -j"$(nproc)" 2>&1 | { grep -v '^\[' || true; }
fi
