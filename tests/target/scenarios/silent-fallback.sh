# Silent update with the fall-back LEDs: with -s and only the alix LED names
# present, LEDs 1 and 2 never change while alix:3 is switched off.
OPTIONS="fwu.leds=alix:1,alix:2,alix:3 fwu.ledon=alix:1,alix:3"

host_prepare() {
    sample_tree "$work/new"
    pack_tree "$work/new" slow/update.tar.gz -z >archive-name
}

guest() {
    mkdir /tmp/root
    cd /tmp/root
    run_tool -s "/slow/$(cat "$OUT/archive-name")"
}

host_check() {
    expect_eq "exit status" "$(cat status)" 0
    expect_eq "last line" "$(tail -n 1 stdout)" sync
    expect_leds alix:1 alix:2 alix:3 --silent
}
