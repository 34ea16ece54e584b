#!/bin/bash
# Self-update: UBIFS holds a complete small root file system (busybox, the
# tool, its libraries); in a chroot with / as working directory the tool
# replaces all of it, its own binary and libraries included, from an archive
# of a newer root that lies in the old one, and the new root works.
. "$(dirname "$0")/../lib.sh"

install_tool "$device_work/new"
busybox_root "$device_work/new" 2
pack_tree "$device_work/new" "$out/update.tar.zst" --zstd
archive=$(name_by_digest "$out/update.tar.zst")

guest() {
    install_root /flash
    mkdir -p /flash/etc/belvonix /flash/tmp
    echo keep >/flash/etc/belvonix/settings
    cp "$OUT/$archive" /flash/tmp/
    list_tree /flash tree-before.txt
    run_tool_in /flash "/tmp/$archive"
    list_tree /flash tree-after.txt
    chroot /flash /bin/sh -c 'busybox cat /etc/version'
    chroot /flash /usr/bin/firmware-update 2>&1 | head -n 1
}
boot "fwu.ubifs=1" archive
expect_done
expect_tree "tree: the new root and the preserved paths" tree-after.txt tree-before.txt "$archive"
expect_eq "the new root's shell and tool run" "$(cat guest.log)" \
    "$(printf '2\nUsage: /usr/bin/firmware-update [OPTIONS] FILENAME')"
