# shellcheck shell=bash
# The emulated device, for bash scripts to source: the i386 build's
# firmware-update on Debian's 32-bit kernel in QEMU, on a CPU of the device's
# class, with the devices that init's fwu.* options ask for (init explains
# them). tools/try-update is its user command; the target tests use it too.
#
#   device_boot OUTDIR GUEST-FILE OPTIONS   boot once: GUEST-FILE defines the
#                 shell function guest, run by init with OUTDIR shared as
#                 $OUT; OUTDIR/slow is the read-at-USB-speed share /slow.
#   install_tool ROOT    the tool and its i386 libraries below ROOT
#   install_program ROOT PROGRAM PATH  an i386 PROGRAM at PATH below ROOT,
#                 with its libraries
#   name_by_digest FILE  rename FILE to its SHA-256, print the digest
#   list_tree DIR        the tree listing the guest makes (tools/list-tree),
#                 made on the host
#   device_outdir DIR    (re)make DIR as the guest's share
#   device_sample_root DIR  a small device's tree before an update
#
# DEVICE_TOOL (default build/i386/src/firmware-update), FWU_TARGET_CACHE
# (default /var/cache/fwu-target), DEVICE_CPU (default pentium2, no SSE2 nor
# SHA extensions), DEVICE_TIMEOUT (seconds, default 600).

device_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
device_repo=$(cd "$device_dir/../.." && pwd)
device_cache=${FWU_TARGET_CACHE:-/var/cache/fwu-target}/current
DEVICE_TOOL=${DEVICE_TOOL:-$device_repo/build/i386/src/firmware-update}
DEVICE_CPU=${DEVICE_CPU:-pentium2}
device_work=$(mktemp -d)
trap 'rm -rf "$device_work"' EXIT

device_die() { echo "${0##*/}: $*" >&2; exit 125; }

# What is missing, with the command that brings it.
device_ready() {
    command -v qemu-system-i386 >/dev/null && [ -e "$device_cache/ready" ] ||
        device_die "the emulated device is not prepared (QEMU, Debian's i386 kernel): run sudo tools/device/prepare"
    [ -x "$DEVICE_TOOL" ] ||
        device_die "no 32-bit tool at $DEVICE_TOOL: run cmake --preset i386 && cmake --build --preset i386"
    DEVICE_TOOL=$(cd "$(dirname "$DEVICE_TOOL")" && pwd)/$(basename "$DEVICE_TOOL")
    [ -x "$device_work/helper" ] ||
        gcc -m32 -static -O2 -Wall -Wextra -Werror -o "$device_work/helper" "$device_dir/helper.c"
}

# The i386 shared libraries that an executable needs, recursively, and its
# interpreter: the guest gets them from the host's :i386 packages.
closure() {
    local -A seen=()
    local queue=("$1") file lib path
    readelf -l "$1" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p'
    while [ ${#queue[@]} -gt 0 ]; do
        file=${queue[0]}
        queue=("${queue[@]:1}")
        for lib in $(readelf -d "$file" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
            [ -n "${seen[$lib]:-}" ] && continue
            seen[$lib]=1
            for dir in /lib/i386-linux-gnu /usr/lib/i386-linux-gnu; do
                path=$dir/$lib
                [ -e "$path" ] && break
            done
            [ -e "$path" ] || device_die "$lib, needed by $file, not found"
            echo "$path"
            queue+=("$path")
        done
    done
}

install_program() {
    local root=$1 libs lib
    libs=$(closure "$2")
    mkdir -p "$root$(dirname "$3")"
    cp "$2" "$root$3"
    for lib in $libs; do
        mkdir -p "$root$(dirname "$lib")"
        cp -L "$lib" "$root$lib"
    done
}
install_tool() { install_program "$1" "$DEVICE_TOOL" /usr/bin/firmware-update; }

name_by_digest() {
    local digest
    digest=$(sha256sum "$1" | cut -d' ' -f1)
    mv "$1" "$(dirname "$1")/$digest"
    echo "$digest"
}

list_tree() { "$device_dir/../list-tree" "$1"; }

# Only ever a directory made here is emptied: it is the guest's share.
device_outdir() {
    if [ -e "$1" ]; then
        [ -e "$1/.try-update" ] || device_die "$1 exists and was not made by try-update"
        rm -rf "$1"
    fi
    mkdir -p "$1/slow"
    touch "$1/.try-update"
}

# A small device: an old application, files under the preserved paths (and
# /etc/dropbear_keys, kept because the preserved paths are plain prefixes),
# and a stale report and log that the update removes.
device_sample_root() {
    local r=$1
    mkdir -p "$r"/{bin,usr/lib,etc/belvonix,etc/dropbear,etc/dropbear_keys,var/lib/reports/finished}
    mkdir -p "$r"/{var/lib/reports/pending,var/log,home/chrome/.config,tmp}
    printf '#!/bin/sh\necho "app 1.0"\n' >"$r/bin/app"
    printf '#!/bin/sh\necho "retired"\n' >"$r/bin/old-tool"
    chmod 0755 "$r/bin/app" "$r/bin/old-tool"
    printf 'old library\n' >"$r/usr/lib/libold.so.1"
    printf 'level = 1\n' >"$r/etc/app.conf"
    printf 'SN 0042-7781\n' >"$r/etc/belvonix/serial"
    printf 'host key\n' >"$r/etc/dropbear/dropbear_ed25519_host_key"
    chmod 0600 "$r/etc/dropbear/dropbear_ed25519_host_key"
    printf 'ssh-ed25519 AAAA technician\n' >"$r/etc/dropbear_keys/authorized_keys"
    printf 'self-test passed\n' >"$r/var/lib/reports/finished/2024-05-01.txt"
    printf 'self-test running\n' >"$r/var/lib/reports/pending/2024-06-01.txt"
    printf 'boot\n' >"$r/var/log/messages"
    printf 'zoom = 1\n' >"$r/home/chrome/.config/settings"
    chown -R 1000:1000 "$r/home/chrome"
    find "$r" -mindepth 1 -exec touch -h -d '2023-03-01 12:00' {} +
}

# Stops the guest when the run is interrupted: left running, it would go on
# writing into OUTDIR, which the next run with the same OUTDIR empties.
device_qemu=
device_stop() {   # SIGNAL STATUS OUTDIR
    if [ -n "$device_qemu" ]; then
        kill -TERM "$device_qemu" 2>/dev/null || true
        wait "$device_qemu" 2>/dev/null || true
        echo "${0##*/}: SIG$1: stopped the emulated device (QEMU); $3 holds what it wrote until then" >&2
    fi
    exit "$2"
}

# Boots the device once and waits for it to power off, printing init's
# progress lines on stderr. Returns the guest part's status (125 if it did
# not run).
device_boot() {
    local out=$1 guest=$2 options=$3 rootfs=$device_work/rootfs started=$SECONDS qemu shown=0 line
    device_ready
    out=$(cd "$out" && pwd)
    mkdir -p "$out/slow" "$rootfs/usr/bin"
    rm -f "$out/guest-status" "$out/setup-failed" "$out/console.log"
    cp "$device_dir/init" "$rootfs/init"
    cp "$device_work/helper" "$rootfs/usr/bin/helper"
    cp "$device_dir/../list-tree" "$rootfs/usr/bin/list-tree"
    install_tool "$rootfs"
    (cd "$rootfs" && find . | cpio -o -H newc --quiet) >"$device_work/run.cpio"
    cat "$device_cache/base.cpio" "$device_work/run.cpio" >"$device_work/initrd"
    cp "$guest" "$out/scenario.sh"
    trap 'device_stop INT 130 "$out"' INT
    trap 'device_stop TERM 143 "$out"' TERM
    trap 'device_stop HUP 129 "$out"' HUP
    echo "device: booting Debian's i386 kernel on a $DEVICE_CPU (QEMU, $(cat "$device_cache/accel"))" >&2
    # What lies in slow/ the guest reads at 3 MiB/s from /slow, like an
    # update stick: an extraction lasts long enough for the LEDs to blink.
    # On a busy host the emulated CPU can fall so far behind that the
    # kernel's check of the timer interrupt fails and it panics at boot:
    # no_timer_check skips that check.
    timeout "${DEVICE_TIMEOUT:-600}" qemu-system-i386 -accel "$(cat "$device_cache/accel")" \
        -cpu "$DEVICE_CPU" -m 1024 -nodefaults -display none -no-reboot \
        -kernel "$device_cache/vmlinuz" -initrd "$device_work/initrd" \
        -append "console=ttyS0 panic=-1 no_timer_check loglevel=${LOGLEVEL:-4} cryptomgr.notests noisapnp mitigations=off $options" \
        -serial "file:$out/console.log" \
        -virtfs "local,path=$out,mount_tag=share,security_model=none" \
        -fsdev "local,id=slow,path=$out/slow,security_model=none,readonly=on,throttling.bps-read=$((3 * 1024 * 1024))" \
        -device virtio-9p-pci,fsdev=slow,mount_tag=slow \
        >"$out/qemu.log" 2>&1 &
    qemu=$!
    device_qemu=$qemu
    while kill -0 "$qemu" 2>/dev/null; do
        sleep 1
        while IFS= read -r line; do
            printf 'device: %3d s  %s\n' $((SECONDS - started)) "${line#*target: * }" >&2
        done < <(grep -a '^target: ' "$out/console.log" 2>/dev/null | tail -n +$((shown + 1)))
        shown=$(grep -ac '^target: ' "$out/console.log" 2>/dev/null || true)
    done
    wait "$qemu" || echo "qemu: exit status $?" >>"$out/qemu.log"
    trap - INT TERM HUP
    device_qemu=
    printf 'device: %3d s  powered off\n' $((SECONDS - started)) >&2
    if [ -e "$out/setup-failed" ]; then
        echo "device: $(cat "$out/setup-failed") (see $out/console.log)" >&2
        return 125
    fi
    [ -e "$out/guest-status" ] || { echo "device: the guest part did not finish (see $out/console.log)" >&2; return 125; }
    [ -e "$out/screen.rgb565" ] && "$device_repo/tools/fbdump-png" "$out/screen.rgb565" "$out/screen.png" >/dev/null 2>&1
    return "$(cat "$out/guest-status")"
}
