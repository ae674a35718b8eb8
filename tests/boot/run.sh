#!/usr/bin/env bash
# The boot test: builds relayk_standin and qarn against the installed Debian kernel's
# headers (warnings are errors), packs them with busybox, the kernel's connection tracking
# modules, tests/boot/init and the statically linked tests/boot/guest.c into an initramfs,
# boots that kernel under qemu and checks the guest's report (tests/boot/check_report.py).
#
#   tests/boot/run.sh [WORK_DIR]      (default build-boot at the top of the tree)
#
# The kernel is the one that the linux-image-amd64 package brings, not the running one.
# When qemu cannot run on this machine the test prints "SKIPPED: ..." and exits 0; any
# other failure, a guest that does not finish within 300 seconds included, exits 1.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mkdir -p "${1:-$top/build-boot}" && cd "${1:-$top/build-boot}" && pwd)
started=$(date +%s)

fail() { echo "boot test: $*" >&2; exit 1; }
skip() { echo "SKIPPED: boot test: $*"; exit 0; }
# pack DIR IMAGE: the folder as a gzipped initramfs, with the console that init writes to
pack() {
	mknod -m 600 "$1/dev/console" c 5 1
	(cd "$1" && find . | cpio -o -H newc --quiet) | gzip -1 >"$2"
}

kver=$(dpkg-query -W -f='${Depends}' linux-image-amd64 2>/dev/null |
       sed -n 's/.*linux-image-\([^ ,]*\).*/\1/p')
[ -n "$kver" ] || fail "the linux-image-amd64 package is not installed"
kernel=/boot/vmlinuz-$kver
mods=/lib/modules/$kver
kdir=$mods/build
[ -r "$kernel" ] || fail "$kernel missing"
[ -d "$kdir" ] || fail "$kdir missing: install linux-headers-amd64"

# qemu: KVM where it really runs a guest (a /dev/kvm under nested virtualisation may start
# one and then crawl), else software emulation; a machine where qemu cannot start at all
# cannot run the test. The KVM probe boots the kernel into busybox's poweroff.
qemu=$(command -v qemu-system-x86_64 || true)
[ -n "$qemu" ] || skip "qemu-system-x86_64 is not installed"
starts() { echo quit | timeout 60 "$qemu" -accel "$1" -machine q35 -m 64 -display none \
	-nodefaults -no-reboot -S -monitor stdio >/dev/null 2>&1; }
kvm_boots() {
	local probe=$work/probe
	rm -rf "$probe" && mkdir -p "$probe/bin" "$probe/dev"
	cp /bin/busybox "$probe/bin/busybox"
	pack "$probe" "$work/probe.gz"
	timeout 20 "$qemu" -accel kvm -cpu host -m 256 -nographic -monitor none -nic none \
		-no-reboot -kernel "$kernel" -initrd "$work/probe.gz" \
		-append "console=ttyS0 panic=-1 quiet rdinit=/bin/busybox -- poweroff -f" \
		</dev/null >"$work/probe.log" 2>&1
}
if [ -w /dev/kvm ] && starts kvm && kvm_boots; then
	accel=(-accel kvm -cpu host)
elif starts tcg; then
	accel=(-accel tcg)
else
	skip "qemu-system-x86_64 cannot start a machine here (neither KVM nor TCG)"
fi

echo "boot test: kernel $kver, qemu ${accel[*]}"
build_log=$work/build.log
: >"$build_log"
make_module() {
	if ! make "$@" KCFLAGS=-Werror >>"$build_log" 2>&1; then
		cat "$build_log" >&2
		fail "module build failed"
	fi
}
make_module -C "$top/platform/relayk-kmod" KDIR="$kdir" OUT="$work/relayk_standin"
make_module -C "$top/qarn" KDIR="$kdir" OUT="$work/qarn" \
	RELAYK_SYMVERS="$work/relayk_standin/Module.symvers"
if grep -i 'warning' "$build_log" >&2; then
	fail "the module build printed warnings"
fi
gcc -static -O2 -Wall -Wextra -Werror -o "$work/guest" "$top/tests/boot/guest.c" ||
	fail "building the guest program failed"

# The initramfs. Connection tracking and what it needs come from the kernel's own modules,
# in load order (each module after its dependencies), uncompressed for busybox's insmod;
# libcrc32c wants a crc32c implementation loaded first.
root=$work/root
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,modules}
cp /bin/busybox "$root/bin/busybox"
cp "$work/guest" "$root/bin/guest"
cp "$top/tests/boot/init" "$root/init"
chmod 755 "$root/init"
cp "$work/relayk_standin/relayk_standin.ko" "$work/qarn/qarn.ko" "$root/modules/"
order=$(python3 - "$mods/modules.dep" crc32c_generic nf_conntrack <<'EOF'
import os, sys
deps = {}
for line in open(sys.argv[1]):
    name, _, rest = line.partition(":")
    deps[name] = rest.split()
short = {os.path.basename(p).split(".ko")[0].replace("-", "_"): p for p in deps}
done = []
def load(path):
    for d in reversed(deps[path]):
        load(d)
    if path not in done:
        done.append(path)
for m in sys.argv[2:]:
    load(short[m])
print("\n".join(done))
EOF
)
: >"$root/modules/order"
for path in $order; do
	name=$(basename "$path"); name=${name%%.ko*}
	case "$path" in
	*.ko.xz) xz -dc "$mods/$path" >"$root/modules/$name.ko" ;;
	*.ko.zst) zstd -qdc "$mods/$path" >"$root/modules/$name.ko" ;;
	*.ko.gz) gzip -dc "$mods/$path" >"$root/modules/$name.ko" ;;
	*) cp "$mods/$path" "$root/modules/$name.ko" ;;
	esac
	echo "$name" >>"$root/modules/order"
done
pack "$root" "$work/initramfs.gz"

console=$work/console.log
booted=$(date +%s)
set +e
timeout 300 "$qemu" "${accel[@]}" -m 512 -smp 2 -nographic -monitor none -nic none \
	-no-reboot -kernel "$kernel" -initrd "$work/initramfs.gz" \
	-append "console=ttyS0 panic=-1 quiet" </dev/null >"$console" 2>&1
status=$?
set -e
echo "boot test: guest ran $(( $(date +%s) - booted )) s (qemu status $status), console in $console"
[ "$status" -ne 124 ] || fail "the guest did not finish within 300 seconds"
if ! python3 "$top/tests/boot/check_report.py" "$console"; then
	grep -v '^BOOT \(pkt\|conn\|after-pkt\|dmesg\) ' "$console" | tail -40 >&2 || true
	fail "the guest's report failed its checks"
fi
echo "boot test: passed in $(( $(date +%s) - started )) s"
