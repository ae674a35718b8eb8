#!/usr/bin/env bash
# qarn on real traffic: real servers and clients from Debian's packages in network
# namespaces, captured with tcpdump and replayed through qarn in both modes (see
# tests/qarn/traffic/traffic_test.sh). SKIPPED with the reason where namespaces cannot be
# made. About fifteen seconds: the uTP leecher gets its first pieces at its first rechoke, ten
# seconds after it started.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$top/build
cmake -S "$top" -B "$build" >/dev/null
if ! cmake --build "$build" -j"$(nproc)" --target qarn-replay >"$build/qarn-traffic-build.log" 2>&1
then
  grep -v '^\[' "$build/qarn-traffic-build.log"
  exit 1
fi
bash "$top/tests/qarn/traffic/traffic_test.sh" "$build/bin" "$build/qarn-traffic"
