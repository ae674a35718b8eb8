#!/usr/bin/env bash
# The whole test run: an ordinary build with warnings as errors, the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded tests under ThreadSanitizer,
# then every extra stage under scripts/test.d/ in name order.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/deps.sh
jobs=$(nproc)
start=$SECONDS
stage_time() { echo "   ($((SECONDS - start)) s since the start)"; }

echo "== build (warnings are errors)"
bash scripts/build.sh build -DWERROR=ON
echo "== tests"
ctest --test-dir build --output-on-failure -j"$jobs"

stage_time
echo "== build with AddressSanitizer and UndefinedBehaviorSanitizer"
bash scripts/build.sh build-asan -DWERROR=ON -DSANITIZE=address -DCMAKE_BUILD_TYPE=Debug
echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" -LE no-asan

stage_time
echo "== build with ThreadSanitizer (the threaded tests only)"
# Every test labelled tsan is an executable of the same name.
tsan_tests=$(ctest --test-dir build -L tsan -N | awk '/Test +#/ {print $3}')
cmake -S . -B build-tsan -DWERROR=ON -DSANITIZE=thread -DCMAKE_BUILD_TYPE=Debug >/dev/null
# shellcheck disable=SC2086
cmake --build build-tsan -j"$jobs" --target $tsan_tests 2>&1 | { grep -v '^\[' || true; }
echo "== threaded tests under ThreadSanitizer"
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j"$jobs" -L tsan

for stage in scripts/test.d/*.sh; do
  [ -e "$stage" ] || continue
  echo "== $(basename "$stage" .sh)"
  bash "$stage"
  stage_time
done
echo "all test stages passed"
