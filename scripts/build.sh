#!/usr/bin/env bash
# build.sh DIR [cmake options...]: configures and builds the tree into DIR.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
cmake -S "$top" -B "$dir" "$@" >/dev/null
# Progress lines are dropped; warnings and errors stay. pipefail keeps cmake's status.
cmake --build "$dir" -j"$(nproc)" 2>&1 | { grep -v '^\[' || true; }
