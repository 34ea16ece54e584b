#!/bin/bash
# The field procedure: the technician's stick is mounted below the tree being
# replaced, the update is interrupted (-e: UBIFS turns read-only), the device
# restarts and the same command runs again. The purge does not stop at mount
# points: a read-write stick loses the archive, and the rerun has nothing to
# open; on a read-only stick the deletions fail, silently, and the rerun
# completes the update. A read-only stick mounted on a directory that the
# archive holds stops the update at that entry: its times cannot be restored.
. "$(dirname "$0")/../lib.sh"

# The new tree holds the stick's usual mount point, media/usb.
mkdir -p "$device_work"/new/{bin,etc,home,media/usb,var/lib/reports}
for i in 1 2 3 4 5 6; do echo "program $i" >"$device_work/new/bin/p$i"; done
echo 2.0 >"$device_work/new/etc/version"
pack_tree "$device_work/new" "$out/update.tar.gz" -z
digest=$(name_by_digest "$out/update.tar.gz")
device_sample_root "$device_work/old"
tar --numeric-owner -C "$device_work/old" -cf "$out/old.tar" .

guest() {
    # The device's tree has long been on the flash.
    tar -xpf "$OUT/old.tar" -C /flash && sync
    list_tree /flash tree-before.txt
    for stick in rw ro; do
        mkdir -p "/sticks/$stick" && mount -t tmpfs "$stick" "/sticks/$stick" && cp "$OUT/$digest" "/sticks/$stick/"
    done
    mount -o remount,ro /sticks/ro
    # NAME STICK MOUNT-POINT [OPTION...]: the stick plugged in below the
    # tree, the field command, what the stick holds after it, a restart.
    field() {
        name=$1 stick=$2 at=/flash/$3
        shift 3
        mkdir -p "$at" && mount --bind "/sticks/$stick" "$at"
        (cd /flash && firmware-update "$@" "$at/$digest") >"$OUT/$name.out" 2>&1 || echo "status $?" >>"$OUT/$name.out"
        umount "$at"
        ls "/sticks/$stick" >"$OUT/$name.stick"
        umount /flash && mount -t ubifs -o compr=none ubi0:rootfs /flash
    }
    field rw-interrupted rw media/usb -e 3
    field rw-rerun rw media/usb
    field ro-interrupted ro media/stick -e 3
    field ro-rerun ro media/stick
    list_tree /flash tree-after.txt
    field ro-on-archive-entry ro media/usb
}
boot "fwu.ubifs=1" digest

# The output of a run, less the lines every run prints.
said() { grep -v -e '^firmware-update: filename = ' -e '^Checksum ok' -e '^purge\.\.\.$' -e '^unpack\.\.\.$' "$1.out" | tr '\n' '|'; }
ubifs_error="!! UBIFS will fail after 3 files have been written !!|Simulating I/O error in UBIFS layer|\
archive_read_extract() failed for ./bin/p2: (-20) Can't create 'bin/p2'|status 255"
expect_eq "read-write stick, interrupted: emptied by the purge" "$(said rw-interrupted) [$(cat rw-interrupted.stick)]" \
    "$ubifs_error| []"
expect_eq "read-write stick, rerun: no archive" "$(said rw-rerun)" "open failed: No such file or directory|status 255|"
expect_eq "read-only stick, interrupted: the archive kept" "$(said ro-interrupted) [$(cat ro-interrupted.stick)]" \
    "$ubifs_error| [$digest]"
expect_eq "read-only stick, rerun: complete" "$(said ro-rerun) [$(cat ro-rerun.stick)]" "sync| [$digest]"
expect_tree "read-only stick, rerun: the archive's tree and the preserved paths, beside the mount point" \
    <(grep -v '^\./media/stick ' tree-after.txt) tree-before.txt "$digest"
expect_eq "read-only stick on the archive's media/usb" "$(said ro-on-archive-entry)" \
    "archive_read_extract() failed for ./media/usb/: (-20) Can't restore time|status 255|"
