# The emulated device itself, before any scenario relies on it: the screen's
# geometry, LEDs that cap and report their values, UBIFS that turns read-only
# through its debug file, an NFS mount that reports the NFS magic, and the
# tool's libraries complete enough for the dynamic loader.
OPTIONS="fwu.fb=1 fwu.leds=belvonix:1,alix:3 fwu.ledon=alix:3 fwu.ubifs=1 fwu.nfs=1"

host_prepare() { :; }

guest() {
    cat /sys/class/graphics/fb0/virtual_size /sys/class/graphics/fb0/bits_per_pixel \
        /sys/class/graphics/fb0/stride >fb.txt
    cat /sys/class/leds/alix:3/brightness /sys/class/leds/alix:3/max_brightness >leds.txt
    echo 7 >/sys/class/leds/belvonix:1/brightness
    stat -f -c %t /flash /nfs >magic.txt
    echo before >/flash/before
    printf '1\n' >/sys/kernel/debug/ubifs/ubi0_0/ro_error
    { echo after >/flash/after; } 2>rofs.txt && echo "write accepted" >>rofs.txt || true
    cat /flash/before >>rofs.txt
    ldd=$(/lib/ld-linux.so.2 --list /usr/bin/firmware-update 2>&1) && echo loads >loader.txt
    echo "$ldd" >>loader.txt
    mv fb.txt leds.txt magic.txt rofs.txt loader.txt "$OUT/"
}

host_check() {
    expect_eq "fb0 480x272, 16 bpp, 960-byte lines" "$(tr '\n' ' ' <fb.txt)" "480,272 16 960 "
    expect_eq "screen dump is one page" "$(stat -c %s screen.rgb565)" 261120
    expect_eq "LED set on before the scenario, max 1" "$(tr '\n' ' ' <leds.txt)" "1 1 "
    expect_grep "LED changes logged, values capped" '^[0-9]+\.[0-9]{6} belvonix:1 1$' leds.log
    expect_grep "alix:3 switched on logged" '^[0-9]+\.[0-9]{6} alix:3 1$' leds.log
    expect_eq "UBIFS and NFS magics" "$(tr '\n' ' ' <magic.txt)" "24051905 6969 "
    expect_grep "ro_error makes UBIFS refuse writes" 'Read-only file system' rofs.txt
    expect_grep "files written before stay readable" '^before$' rofs.txt
    expect_grep "the tool's libraries load" '^loads$' loader.txt
}
