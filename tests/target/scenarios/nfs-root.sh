# NFS root: run in a chroot on an NFS mount, the tool refuses to update a
# root file system served over NFS and touches nothing.
OPTIONS="fwu.nfs=1"

host_prepare() {
    mkdir -p "$work/new/etc"
    echo new >"$work/new/etc/version"
    pack_tree "$work/new" update.tar.gz -z >archive-name
}

guest() {
    install_root /export
    mkdir -p /export/etc /export/tmp
    echo old >/export/etc/version
    cp "$OUT/$(cat "$OUT/archive-name")" /export/tmp/
    list_tree /export tree-before.txt
    run_tool_in /nfs "/tmp/$(cat "$OUT/archive-name")"
    list_tree /export tree-after.txt
}

host_check() {
    expect_eq "exit status" "$(cat status)" 1
    expect_eq "refusal" "$(tail -n 1 stdout)" "rootfs is mounted via NFS, not updating."
    expect_no_grep "archive not even verified" '^Checksum' stdout
    expect_same "nothing touched" tree-after.txt tree-before.txt
}
