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
fresh_out
pack_tree "$work/new" "$out/update.tar.gz" -z >"$out/digest"
archive_tree "$out/update.tar.gz" "$work/tree-archive.txt"
echo "$cuts" >"$out/cuts"

guest() {
    cp "$OUT/update.tar.gz" "/tmp/$(cat "$OUT/digest")"
    cd /flash
    mkdir -p etc/belvonix etc/dropbear home/chrome var/lib/reports/finished var/alsa usr/bin
    for f in etc/belvonix/serial etc/dropbear/host_key home/chrome/prefs var/lib/reports/finished/r1 \
        var/alsa/asound.state etc/passwd usr/bin/old; do
        echo "old $f" >"$f"
    done
    list_tree /flash tree-before.txt
    for n in $(cat "$OUT/cuts"); do
        dmesg -c >/dev/null
        echo "${n%:*}" >/sys/kernel/debug/ubi/ubi0/tst_emulate_power_cut_min
        echo "${n%:*}" >/sys/kernel/debug/ubi/ubi0/tst_emulate_power_cut_max
        echo 1 >/sys/kernel/debug/ubi/ubi0/tst_emulate_power_cut
        # A device's periodic write-back: commits, and so erases, during
        # the purge too.
        (cd / && while :; do sync; usleep $((${n#*:} * 1000)); done) &
        syncer=$!
        cd /flash
        status=0
        firmware-update "/tmp/$(cat "$OUT/digest")" >"$OUT/cut-$n.out" 2>&1 || status=$?
        echo $status >"$OUT/cut-$n.status"
        kill $syncer; wait $syncer || true
        cd /
        umount /flash
        dmesg -c >"$OUT/cut-$n.dmesg"
        rmmod ubifs && rmmod ubi && modprobe ubi mtd=0 && modprobe ubifs &&
            mount -t ubifs -o compr=none ubi0:rootfs /flash && echo mounted >"$OUT/mount-$n" || true
        dmesg -c >"$OUT/mount-$n.dmesg"
        cd /flash
        status=0
        firmware-update "/tmp/$(cat "$OUT/digest")" >"$OUT/rerun-$n.out" 2>&1 || status=$?
        echo $status >"$OUT/rerun-$n.status"
        cd /
        list_tree /flash "after-$n.txt"
        say "power cut at write $n: $(cat "$OUT/cut-$n.status"), rerun $(cat "$OUT/rerun-$n.status")"
    done
}
# The failing writes fill the kernel log: a larger log, errors off the console.
boot "fwu.ubifs=1 log_buf_len=4M loglevel=1" keep
cut=0
for n in $cuts; do
    grep -q 'emulating a power cut' cut-$n.dmesg || { echo "-    $n: fewer header writes in the update"; continue; }
    if [ "$(cat cut-$n.status)" = 0 ]; then
        echo "-    $n: cut after the tool's last write (during its sync)"
    else
        cut=$((cut + 1))
        expect_eq "$n: failure reported, no sync" "$(grep -c '^sync$' cut-$n.out) $(cat cut-$n.status)" "0 255"
    fi
    expect_eq "$n: remounted" "$(cat mount-$n)" mounted
    expect_no_grep "$n: recovered without errors" 'UBI error|UBIFS error' mount-$n.dmesg
    expect_eq "$n: rerun" "$(tail -n 1 rerun-$n.out) $(cat rerun-$n.status)" "sync 0"
    expect_tree "$n: tree" after-$n.txt tree-before.txt "$work/tree-archive.txt"
    expect_preserved "$n: preserved files" after-$n.txt tree-before.txt
done
# The purge does not report failures: a cut during it shows when the
# extraction's first entry cannot be written.
echo "cuts that failed the update: $cut, $(cat cut-*.out | grep -c '^archive_read_extract() failed for \./:') of them during the purge"
for n in $cuts; do echo "cut $n: $(cat cut-$n.status) $(tail -n 1 cut-$n.out)"; done
expect_grep "at least 20 cuts during the update" '^([2-9][0-9]|[1-9][0-9]{2,})$' <(echo $cut)
finish
