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
sample_tree "$work/new" 8
device_outdir "$out"
pack_tree "$work/new" "$out/update.tar.gz" -z
archive_tree "$out/update.tar.gz" "$work/tree-archive.txt"
name_by_digest "$out/update.tar.gz" >"$out/digest"
device_sample_root "$work/old"
tar --numeric-owner -C "$work/old" -cf "$out/old.tar" .
echo "$cuts" >"$out/cuts"

guest() {
    cp "$OUT/$(cat "$OUT/digest")" /tmp/
    tar -xpf "$OUT/old.tar" -C /flash
    list_tree /flash tree-before.txt
    update() {   # NAME: the update in /flash; output NAME.out, status NAME.status
        echo 0 >"$OUT/$1.status"
        (cd /flash && firmware-update "/tmp/$(cat "$OUT/digest")") >"$OUT/$1.out" 2>&1 || echo $? >"$OUT/$1.status"
    }
    for n in $(cat "$OUT/cuts"); do
        for bound in min max; do echo "${n%:*}" >/sys/kernel/debug/ubi/ubi0/tst_emulate_power_cut_$bound; done
        echo 1 >/sys/kernel/debug/ubi/ubi0/tst_emulate_power_cut
        # A device's periodic write-back: commits, and so erases, during
        # the purge too.
        (while :; do sync; usleep $((${n#*:} * 1000)); done) &
        update "cut-$n"
        kill $!
        wait $! || true
        umount /flash
        dmesg -c >"$OUT/cut-$n.dmesg"
        rmmod ubifs && rmmod ubi && modprobe ubi mtd=0 && modprobe ubifs &&
            mount -t ubifs -o compr=none ubi0:rootfs /flash && echo mounted >"$OUT/mount-$n" || true
        update "rerun-$n"
        dmesg -c >"$OUT/mount-$n.dmesg"
        list_tree /flash "after-$n.txt"
    done
}
# The failing writes fill the kernel log: a larger log, errors off the console.
boot "fwu.ubifs=1 log_buf_len=4M loglevel=1"
cut=0
for n in $cuts; do
    # No cut: fewer header writes in the update than N.
    grep -q 'emulating a power cut' cut-$n.dmesg || continue
    # A cut that fails nothing came after the tool's last write (during its sync).
    if [ "$(cat cut-$n.status)" != 0 ]; then
        cut=$((cut + 1))
        expect_eq "$n: failure reported, no sync" "$(grep -c '^sync$' cut-$n.out) $(cat cut-$n.status)" "0 255"
    fi
    expect_eq "$n: remounted, recovered and rerun without errors" "$(cat mount-$n) $(grep -cE 'UBI error|UBIFS error' \
        mount-$n.dmesg) $(tail -n 1 rerun-$n.out) $(cat rerun-$n.status)" "mounted 0 sync 0"
    expect_tree "$n: tree and preserved files" after-$n.txt tree-before.txt "$work/tree-archive.txt"
done
# The purge does not report failures: a cut during it shows when the
# extraction's first entry cannot be written.
echo "cuts during the purge: $(cat cut-*.out | grep -c '^archive_read_extract() failed for \./:')"
if [ "$cut" -ge 20 ]; then pass "$cut cuts during the update"; else fail "$cut cuts during the update, not 20"; fi
finish
