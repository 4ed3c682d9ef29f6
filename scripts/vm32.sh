#!/usr/bin/env bash
# vm32.sh COMMAND [ARG...]: runs one command in a small qemu guest whose
# kernel runs 32-bit code, for machines whose own kernel does not. The guest
# sees this machine's / read-only under an overlay whose writable layer is a
# fresh ext4 disk, so it has the same programs and paths, and nothing it
# writes comes back. The command runs as root in the caller's folder, its
# output goes to this script's stdout, and its exit status is ours.
#
# The kernel is Debian's own (its 6.1 build has IA32 emulation), fetched with
# apt-get download and unpacked, never installed; the initramfs is
# busybox-static and the modules for virtio, 9p, overlay and ext4. Both are
# made on first use and kept in $BUILD/vm32.
#
# VM32_CPUS (2), VM32_MEM (4G), VM32_DISK (16G) and VM32_TIMEOUT (seconds,
# 3600) size the guest. VM32_ENV names host variables to pass in.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${STIRPELLO_BUILD:-$ROOT/build}
CACHE=$BUILD/vm32
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARG...]" >&2; exit 2; }

log() { printf '== vm32: %s\n' "$*" >&2; }

# The modules the initramfs loads, in an order where each one's dependencies
# come first. The package has no modules.dep, so depends= is read from each
# module's .modinfo section.
WANTED="virtio_pci virtio_blk 9pnet_virtio 9p overlay ext4 crc32c_generic"

modinfo_depends() {
    objcopy -O binary --only-section=.modinfo "$1" /dev/stdout 2>/dev/null |
        tr '\0' '\n' | sed -n 's/^depends=//p' | tr ',' ' '
}

make_initramfs() {
    local kdir=$1 out=$2 stage
    stage=$(mktemp -d "$CACHE/initramfs.XXXXXX")
    local -A path=() done=()
    local ko name
    while IFS= read -r ko; do
        name=${ko##*/}
        name=${name%.ko}
        path[${name//-/_}]=$ko
    done < <(find "$kdir" -name '*.ko')
    local order=()
    add_module() {
        local m=${1//-/_} d
        [ -n "${done[$m]:-}" ] && return 0
        done[$m]=1
        [ -n "${path[$m]:-}" ] || { echo "module $m not in the kernel package" >&2; return 1; }
        for d in $(modinfo_depends "${path[$m]}"); do add_module "$d"; done
        order+=("$m")
    }
    local m
    for m in $WANTED; do add_module "$m"; done
    mkdir -p "$stage"/{bin,dev,proc,sys,lower,rw,newroot,mod}
    cp /bin/busybox "$stage/bin/busybox"
    for m in "${order[@]}"; do cp "${path[$m]}" "$stage/mod/$m.ko"; done
    printf '%s\n' "${order[@]}" >"$stage/mod/order"
    cat >"$stage/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /mod/order); do insmod /mod/$m.ko || echo "insmod $m failed"; done
fail() { echo "vm32 guest: $*"; poweroff -f; }
# cache=loose: cache=mmap corrupted the code pages of 32-bit programs.
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 host /lower || fail "no root share"
mount -t ext4 /dev/vda /rw || fail "no disk"
mkdir -p /rw/upper /rw/work /rw/tmp
chmod 1777 /rw/tmp
mount -t overlay overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work /newroot || fail "no overlay"
job=$(sed -n 's/.*vm32.job=\([^ ]*\).*/\1/p' /proc/cmdline)
mount -t 9p -o trans=virtio,version=9p2000.L,cache=none job "/newroot$job" || fail "no job share"
mount --bind /rw/tmp /newroot/tmp
mount -t tmpfs -o mode=755 run /newroot/run
umount /proc /sys /dev
mount -t proc proc /newroot/proc
mount -t sysfs sys /newroot/sys
mount -t devtmpfs dev /newroot/dev
mkdir -p /newroot/dev/shm /newroot/dev/pts
mount -t tmpfs -o mode=1777 shm /newroot/dev/shm
mount -t devpts devpts /newroot/dev/pts
exec switch_root /newroot /bin/bash "$job/run"
EOF
    chmod +x "$stage/init"
    (cd "$stage" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$out.tmp"
    mv "$out.tmp" "$out"
    rm -rf "$stage"
}

fetch_kernel() {
    local pkg tmp
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9.]*-[0-9]*-amd64\)$/\1/p' | head -1)
    if [ -z "$pkg" ]; then
        apt-get update -qq >&2
        pkg=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9.]*-[0-9]*-amd64\)$/\1/p' | head -1)
    fi
    case "$pkg" in
    linux-image-6.1.*) ;;
    *) echo "vm32: expected a 6.1 kernel package from linux-image-amd64, found '${pkg:-none}'" >&2; exit 2 ;;
    esac
    log "fetching $pkg (unpacked into $CACHE, not installed)"
    tmp=$(mktemp -d "$CACHE/kernel.XXXXXX")
    (cd "$tmp" && apt-get download -q "$pkg" >/dev/null 2>&1) || { echo "vm32: apt-get download $pkg failed" >&2; exit 2; }
    dpkg -x "$tmp"/*.deb "$tmp/x"
    cp "$tmp"/x/boot/vmlinuz-* "$CACHE/vmlinuz.tmp"
    log "making the initramfs"
    make_initramfs "$tmp/x/lib/modules" "$CACHE/initrd.img"
    mv "$CACHE/vmlinuz.tmp" "$CACHE/vmlinuz"
    rm -rf "$tmp"
}

mkdir -p "$CACHE"
[ -f "$CACHE/vmlinuz" ] && [ -f "$CACHE/initrd.img" ] || fetch_kernel

# One folder per run: the disk image, the command and its exit status. The
# folder is the guest's one writable share.
job=$(mktemp -d "$CACHE/job.XXXXXX")
cleanup() { rm -rf "$job"; }
trap cleanup EXIT
truncate -s "${VM32_DISK:-16G}" "$job/disk.img"
mkfs.ext4 -q -F -O ^has_journal "$job/disk.img"

{
    echo 'set -u'
    echo "job=$(printf %q "$job")"
    echo 'export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb'
    for v in ${VM32_ENV:-}; do
        [ -n "${!v+x}" ] && echo "export $v=$(printf %q "${!v}")"
    done
    echo 'stty -onlcr 2>/dev/null'
    # No network card, but the loopback the tests' servers listen on.
    echo 'busybox ip link set lo up'
    echo 'echo "== vm32: guest up after $(cut -d" " -f1 /proc/uptime) s"'
    printf 'cd %q && ' "$PWD"
    # Through a pipe: Wine's console programs draw on a terminal.
    printf '%q ' "$@"
    echo '</dev/null 2>&1 | cat; status=${PIPESTATUS[0]}'
    echo 'echo $status >"$job/status.tmp" && mv "$job/status.tmp" "$job/status"'
    echo 'sync; exec busybox poweroff -f'
} >"$job/run"

# -cpu max,-smap: with SMAP every 32-bit Wine process oopses this kernel.
rc=0
timeout -k 10 "${VM32_TIMEOUT:-3600}" qemu-system-x86_64 \
    -machine q35 -accel tcg -cpu max,-smap -smp "${VM32_CPUS:-2}" -m "${VM32_MEM:-4G}" \
    -kernel "$CACHE/vmlinuz" -initrd "$CACHE/initrd.img" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 vm32.job=$job" \
    -drive "file=$job/disk.img,format=raw,if=virtio,cache=unsafe" \
    -fsdev local,id=host,path=/,security_model=passthrough,readonly=on,multidevs=remap \
    -device virtio-9p-pci,fsdev=host,mount_tag=host \
    -fsdev "local,id=job,path=$job,security_model=passthrough,multidevs=remap" \
    -device virtio-9p-pci,fsdev=job,mount_tag=job \
    -nic none -display none -monitor none -no-reboot \
    -chardev stdio,id=con,signal=off -serial chardev:con </dev/null &
qemu=$!
trap 'kill $qemu 2>/dev/null; wait $qemu; cleanup; exit 143' TERM INT
wait $qemu || rc=$?
if [ -f "$job/status" ]; then
    exit "$(cat "$job/status")"
fi
echo "vm32: the guest ended without the command's status (qemu status $rc)" >&2
exit 125
