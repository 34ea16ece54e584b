#!/bin/bash
# NFS root: run in a chroot of a tree served over NFS, the tool refuses to
# update a root file system served over NFS and touches nothing.
. "$(dirname "$0")/../lib.sh"

mkdir -p "$work/new/etc"
echo new >"$work/new/etc/version"
pack_tree "$work/new" "$work/update.tar.gz" -z >/dev/null
try_update "$work/update.tar.gz" --nfs-root --leds none --no-fb
expect_eq "exit status" "$(cat status)" 1
expect_eq "refusal" "$(tail -n 1 stdout)" "rootfs is mounted via NFS, not updating."
expect_no_grep "archive not even verified" '^Checksum' stdout
expect_same "nothing touched" tree-after.txt tree-before.txt
finish
