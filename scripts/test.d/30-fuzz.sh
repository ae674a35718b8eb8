#!/usr/bin/env bash
# Fuzz stage: builds the libFuzzer targets with clang (coverage, ASan, UBSan) into build-fuzz
# and runs each for a bounded time from its seed corpus. Any crash, leak, time-out or memory
# blow-up fails the stage; the input that caused it is printed, and it belongs under
# fuzz/regressions/<target>/ once the fault is fixed, where the ordinary test run replays it.
#   FUZZ_SECONDS  seconds per target (default 8, which keeps the whole test run short)
#   FUZZ_TARGETS  targets to run (default: all of build-fuzz/bin/fuzz_*)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$top/build-fuzz
seconds=${FUZZ_SECONDS:-8}

CC=clang-14 CXX=clang++-14 cmake -S "$top/fuzz" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if ! cmake --build "$build" -j"$(nproc)" >"$build/build.log" 2>&1; then
  grep -v '^\[' "$build/build.log"
  echo "fuzz targets did not build"
  exit 1
fi

work=$build/run
rm -rf "$work"
mkdir -p "$work/tmp"
export TMPDIR=$work/tmp
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

targets=${FUZZ_TARGETS:-$(cd "$build/bin" && ls fuzz_* | sed 's/^fuzz_//')}
failed=()
for t in $targets; do
  corpus=$work/corpus/$t
  mkdir -p "$corpus" "$work/artifacts/$t"
  seeds=$top/fuzz/corpus/$t
  kept=$top/fuzz/regressions/$t
  dirs=("$corpus" "$seeds")
  [ -d "$kept" ] && dirs+=("$kept")
  log=$work/$t.log
  if "$build/bin/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
       -max_len=4096 -print_final_stats=1 -artifact_prefix="$work/artifacts/$t/" \
       "${dirs[@]}" >"$log" 2>&1; then
    echo "fuzz_$t: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs, no crash"
  else
    echo "fuzz_$t: FAILED"
    tail -n 40 "$log"
    for a in "$work/artifacts/$t"/*; do
      [ -e "$a" ] && echo "fuzz_$t: crashing input: $a"
    done
    failed+=("$t")
  fi
done
rm -rf "$work/tmp"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets that failed: ${failed[*]}"
  exit 1
fi
