#!/bin/bash
# Power cuts on real UBIFS, all in one boot: UBI's own emulation cuts the
# power at the Nth erase-counter header it writes after the start (erases
# follow the purge's deletions and the journal's commits): that write is
# lost, UBI and then UBIFS turn read-only. Then the flash is detached and
# attached again as after a reboot, UBIFS recovers on mount, and the same
# command runs again: the rerun leaves exactly the archive's tree and the
# preserved files as they were.
. "$(dirname "$0")/../lib.sh"

# N:P cuts at the Nth erase-header write with a write-back every P ms: the
# shorter period erases the purge's blocks while it runs.
cuts=${CUTS:-"2:20 3:20 6:20 7:20 8:20 $(seq -f '%g:100' -s ' ' 2 3 60)"}
sample_tree "$device_work/new" 8
cp "$device_work/new.tar.gz" "$out/update.tar.gz"
digest=$(name_by_digest "$out/update.tar.gz")
device_sample_root "$device_work/old"
tar --numeric-owner -C "$device_work/old" -cf "$out/old.tar" .

guest() {
    cp "$OUT/$digest" /tmp/
    tar -xpf "$OUT/old.tar" -C /flash
    list_tree /flash tree-before.txt
    for n in $cuts; do
        for bound in min max; do echo "${n%:*}" >/sys/kernel/debug/ubi/ubi0/tst_emulate_power_cut_$bound; done
        echo 1 >/sys/kernel/debug/ubi/ubi0/tst_emulate_power_cut
        # A device's periodic write-back: commits, and so erases, during
        # the purge too.
        (while :; do sync; usleep $((${n#*:} * 1000)); done) &
        # The tool's output, and its status if it failed.
        (cd /flash && firmware-update "/tmp/$digest") >"$OUT/cut-$n.out" 2>&1 || echo "status $?" >>"$OUT/cut-$n.out"
        kill $!
        wait $! || true
        umount /flash
        dmesg -c >"$OUT/cut-$n.dmesg"
        rmmod ubifs && rmmod ubi && modprobe ubi mtd=0 && modprobe ubifs &&
            mount -t ubifs -o compr=none ubi0:rootfs /flash && echo mounted >"$OUT/mount-$n" || true
        (cd /flash && firmware-update "/tmp/$digest") >"$OUT/rerun-$n.out" 2>&1 || echo "status $?" >>"$OUT/rerun-$n.out"
        dmesg -c >"$OUT/mount-$n.dmesg"
        list_tree /flash "after-$n.txt"
    done
}
# The failing writes fill the kernel log: a larger log, errors off the console.
boot "fwu.ubifs=1 log_buf_len=4M loglevel=1" cuts digest
cut=0
for n in $cuts; do
    # No cut: fewer header writes in the update than N.
    grep -q 'emulating a power cut' cut-$n.dmesg || continue
    # A cut that fails nothing came after the tool's last write (during its sync).
    if [ "$(tail -n 1 cut-$n.out)" != sync ]; then
        cut=$((cut + 1))
        expect_eq "$n: failure reported, no sync" "$(grep -c '^sync$' cut-$n.out) $(tail -n 1 cut-$n.out)" "0 status 255"
    fi
    expect_eq "$n: remounted, recovered and rerun without errors" \
        "$(cat mount-$n) $(grep -cE 'UBI error|UBIFS error' mount-$n.dmesg) $(tail -n 1 rerun-$n.out)" "mounted 0 sync"
    expect_tree "$n: tree and preserved files" after-$n.txt tree-before.txt "$digest"
done
expect_eq "at least 20 cuts during the update ($cut)" "$((cut >= 20))" 1
