#!/bin/bash
# Self-update: UBIFS holds a complete small root file system (busybox, the
# tool, its libraries); in a chroot with / as working directory the tool
# replaces all of it, its own binary and libraries included, from an archive
# of a newer root that lies in the old one, and the new root works.
. "$(dirname "$0")/../lib.sh"

new=$work/new
install_tool "$new"
busybox_root "$new" 2
ln -s busybox "$new/bin/cat"
mkdir -m 1777 "$new/tmp"
find "$new" -mindepth 1 -depth -exec touch -h -d @1700000000 {} +
device_outdir "$out"
pack_tree "$new" "$out/update.tar.zst" --zstd
archive_tree "$out/update.tar.zst" "$work/tree-archive.txt"
name_by_digest "$out/update.tar.zst" >"$out/archive-name"

guest() {
    install_root /flash
    mkdir -p /flash/etc/belvonix /flash/tmp
    echo 1 >/flash/etc/version
    echo keep >/flash/etc/belvonix/settings
    echo old >/flash/bin/old-only
    cp "$OUT/$(cat "$OUT/archive-name")" /flash/tmp/
    list_tree /flash tree-before.txt
    run_tool_in /flash "/tmp/$(cat "$OUT/archive-name")"
    list_tree /flash tree-after.txt
    chroot /flash /bin/cat /etc/version
    chroot /flash /usr/bin/firmware-update >/tmp/usage 2>&1 || echo "usage: status $?"
    head -n 1 /tmp/usage
}
boot "fwu.ubifs=1"
expect_done
expect_tree "tree: the new root and the preserved paths" tree-after.txt tree-before.txt "$work/tree-archive.txt"
expect_eq "the new root's shell and tool run" "$(cat guest.log)" \
    "$(printf '2\nusage: status 1\nUsage: /usr/bin/firmware-update [OPTIONS] FILENAME')"
finish
