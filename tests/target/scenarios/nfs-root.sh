#!/bin/bash
# NFS root: run in a chroot of a tree served over NFS, the tool refuses to
# update a root file system served over NFS and touches nothing.
. "$(dirname "$0")/../lib.sh"

sample_tree "$device_work/new" 0
try_update "$device_work/new.tar.gz" --nfs-root --leds none --no-fb
# Status 1, and the archive not even verified.
expect_eq "refused" "$(cat status) $(grep -c '^Checksum' stdout) $(tail -n 1 stdout)" \
    "1 0 rootfs is mounted via NFS, not updating."
expect_same "nothing touched" tree-after.txt tree-before.txt
