#!/usr/bin/env bash
# Installs what the ARMv7 build needs from Debian's packages when it is missing: the cross
# compiler and qemu-arm for the host (scripts/packages.d/armv7.txt) and the target's libraries
# for the armhf architecture (scripts/arm/armhf-packages.txt), enabling that architecture in
# dpkg first. Needs root only when something is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)

list() { sed 's/#.*//' "$@" | tr -s ' \t' '\n' | sed '/^$/d' | sort -u; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing=()
for p in $(list "$top/scripts/packages.d/armv7.txt" "$here/armhf-packages.txt"); do
  installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing for the ARMv7 build: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "arm/deps.sh: these Debian packages are missing and installing them needs root: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  dpkg --add-architecture armhf
fi
# The armhf package lists appear only with an update after the architecture was added; another
# apt-get at work holds the lock, so wait for it rather than fail.
apt-get -o DPkg::Lock::Timeout=600 update -q >/dev/null
apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}" >/dev/null
