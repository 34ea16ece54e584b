#!/bin/bash
# NFS root: run in a chroot of a tree served over NFS, the tool refuses to
# update a root file system served over NFS and touches nothing.
. "$(dirname "$0")/../lib.sh"

mkdir -p "$work/new/etc"
echo new >"$work/new/etc/version"
pack_tree "$work/new" "$work/update.tar.gz" -z
try_update "$work/update.tar.gz" --nfs-root --leds none --no-fb
expect_eq "refused with status 1" "$(cat status) $(tail -n 1 stdout)" "1 rootfs is mounted via NFS, not updating."
expect_eq "archive not even verified" "$(grep -c '^Checksum' stdout)" 0
expect_same "nothing touched" tree-after.txt tree-before.txt
finish
