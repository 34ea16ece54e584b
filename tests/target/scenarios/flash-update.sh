# Update on flash: a UBIFS tree holding preserved and stale files is replaced
# from a compressed archive of a few hundred entries, with the splash, the bar
# and the LEDs on a real framebuffer and LED class.
OPTIONS="fwu.fb=1 fwu.ubifs=1 fwu.leds=belvonix:1,belvonix:2,alix:3 fwu.ledon=alix:3"

host_prepare() {
    sample_tree "$work/new"
    pack_tree "$work/new" slow/update.tar.gz -z >archive-name
    archive_tree "slow/$(cat archive-name)" tree-archive.txt
    tar -tzf "slow/$(cat archive-name)" | grep -vcx ./tmp/belvonix-update.zImage >entries
}

guest() {
    cd /flash
    mkdir -p etc/belvonix etc/dropbear home/chrome/.config var/lib/bluetooth \
        var/lib/reports/finished var/lib/reports/pending var/alsa usr/bin tmp
    for f in etc/belvonix/settings etc/belvonix.conf etc/dropbear/host_key etc/dropbear_keys \
        home/chrome/.config/prefs var/lib/bluetooth/pairs var/lib/reports/finished/r1 \
        var/alsa/asound.state var/lib/reports/pending/p1 etc/passwd usr/bin/old .profile \
        tmp/belvonix-update.zImage; do
        echo "old $f" >"$f"
    done
    ln -s usr/lib lib64
    list_tree /flash tree-before.txt
    run_tool "/slow/$(cat "$OUT/archive-name")"
    list_tree /flash tree-after.txt
}

host_check() {
    expect_eq "exit status" "$(cat status)" 0
    expect_grep "checksum verified" "^Checksum ok \($(cat archive-name)\)$" stdout
    expect_eq "last line" "$(tail -n 1 stdout)" sync
    expect_eq "nothing on stderr" "$(cat stderr)" ""
    expect_tree "tree: the archive's entries and the preserved paths" \
        tree-after.txt tree-before.txt tree-archive.txt
    expect_screen "$(cat entries)"
    expect_leds belvonix:1 belvonix:2 alix:3
}
