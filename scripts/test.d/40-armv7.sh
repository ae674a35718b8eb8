#!/usr/bin/env bash
# The ARMv7 stage: portald, the platform pieces it uses and its tests built with Debian's cross
# compiler for the router's processor (cmake/toolchains/armv7-linux-gnueabihf.cmake), and the
# tests run under qemu-arm user emulation. It fails, and never skips, when they cannot be built
# or run. The kernel module's tree, the end-to-end shell sessions (they run the binaries from a
# shell and preload the host's libfaketime) and the tests of qarn's tools stay with the host run.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
dir=${ARMV7_BUILD_DIR:-build-armv7}
jobs=$(nproc)
# Folders under tests/ that hold the daemon's tests and those of the pieces it runs with; the
# module's fuzz replays are left out.
areas=(portald fuzz '!fuzz/qarn' soak platform/nvram platform/nlattr admit '!admit/admitd'
       tools/portal-login tools/portalctl)
fail() { echo "40-armv7: $*" >&2; exit 1; }

bash scripts/arm/deps.sh
started=$(date +%s)

cmake -S "$top" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchains/armv7-linux-gnueabihf.cmake" \
      -DWERROR=ON >/dev/null || fail "configuring $dir for ARMv7 failed"
emulator=$(sed -n 's/^ARMV7_QEMU:FILEPATH=//p' "$dir/CMakeCache.txt")
[ -x "$emulator" ] || fail "no qemu-arm in $dir/CMakeCache.txt"

selection=$(ctest --test-dir "$dir" --show-only=json-v1 |
            python3 scripts/arm/select-tests.py "$dir" "$emulator" "${areas[@]}")
read -r -a tests <<<"$(sed -n 1p <<<"$selection")"
read -r -a targets <<<"$(sed -n 2p <<<"$selection")"
[ ${#tests[@]} -gt 0 ] || fail "no daemon tests found in $dir"

echo "building ${#targets[@]} test programs for ARMv7 in $dir"
if ! cmake --build "$dir" -j"$jobs" --target "${targets[@]}" >"$dir/armv7-build.log" 2>&1; then
  grep -v '^\[' "$dir/armv7-build.log" | tail -50 >&2
  fail "the ARMv7 build failed (whole log: $dir/armv7-build.log)"
fi

# A toolchain that quietly built for the host would let the tests pass without any emulation:
# every test program must be a 32-bit little-endian ARM executable (ELF machine 40).
for t in "${targets[@]}"; do
  f="$dir/bin/$t"
  [ -f "$f" ] || fail "$f was not built"
  header=$(od -An -tx1 -j4 -N2 "$f" | tr -d ' \n')$(od -An -tx1 -j18 -N2 "$f" | tr -d ' \n')
  [ "$header" = "01012800" ] || fail "$f is not a 32-bit ARM program (ELF bytes $header)"
done

regex="^($(IFS='|'; echo "${tests[*]}"))\$"
echo "running ${#tests[@]} tests under $emulator"
ctest --test-dir "$dir" --output-on-failure -j"$jobs" --no-tests=error -R "$regex" ||
  fail "ARMv7 tests failed under qemu-arm"

echo "ARMv7 tests ran under qemu-arm: ${#tests[@]} passed, 0 failed ($(( $(date +%s) - started )) s)"
