#!/bin/bash
# Self-update: UBIFS holds a complete small root file system (busybox, the
# tool, its libraries); in a chroot with / as working directory the tool
# replaces all of it, its own binary and libraries included, from an archive
# of a newer root that lies in the old one, and the new root works.
. "$(dirname "$0")/../lib.sh"

new=$work/new
install_tool "$new"
mkdir -p "$new/bin" "$new/etc" "$new/tmp"
cp "$device_cache/root/bin/busybox" "$new/bin/"
ln -s busybox "$new/bin/sh"
ln -s busybox "$new/bin/cat"
echo 2 >"$new/etc/version"
chmod 1777 "$new/tmp"
find "$new" -mindepth 1 -depth -exec touch -h -d @1700000000 {} +
fresh_out
pack_tree "$new" "$out/update.tar.zst" --zstd >"$out/archive-name"
mv "$out/update.tar.zst" "$out/$(cat "$out/archive-name")"
archive_tree "$out/$(cat "$out/archive-name")" "$work/tree-archive.txt"

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
    chroot /flash /bin/cat /etc/version >"$OUT/version"
    chroot /flash /usr/bin/firmware-update >"$OUT/usage" 2>&1 || echo $? >"$OUT/usage-status"
}
boot "fwu.ubifs=1" keep
expect_eq "exit status" "$(cat status)" 0
expect_eq "last line" "$(tail -n 1 stdout)" sync
expect_eq "nothing on stderr" "$(cat stderr)" ""
expect_tree "tree: the new root and the preserved paths" tree-after.txt tree-before.txt "$work/tree-archive.txt"
expect_eq "the new root's shell runs" "$(cat version)" 2
expect_eq "the new tool runs and prints its usage" \
    "$(head -n 1 usage) $(cat usage-status)" "Usage: /usr/bin/firmware-update [OPTIONS] FILENAME 1"
finish
