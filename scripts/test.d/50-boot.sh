#!/usr/bin/env bash
# qarn in a real kernel: both modules built against Debian's kernel headers, loaded into
# that kernel under qemu, traffic and List commands inside the guest, unloaded cleanly.
# Skipped (with a SKIPPED line) only where qemu cannot run; see tests/boot/run.sh.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
exec bash "$top/tests/boot/run.sh" "$top/build-boot"
