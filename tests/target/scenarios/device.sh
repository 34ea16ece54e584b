#!/bin/bash
# The emulated device itself, before any scenario relies on it: a CPU of the
# device's class (no SSE, SSE2, BMI2 nor SHA extensions, so the tool's digest
# can only take its portable engine), the screen's geometry, LEDs that cap
# and report their values, UBIFS that turns read-only through its debug file,
# an NFS mount that reports the NFS magic, and the tool's libraries complete
# enough for the dynamic loader.
. "$(dirname "$0")/../lib.sh"
fresh_out
cp "${SHA256_ENGINE:-$device_repo/build/i386/tests/target/sha256-engine}" "$out/"

guest() {
    grep -m1 '^flags' /proc/cpuinfo | cut -d: -f2 >"$OUT/flags.txt"
    "$OUT/sha256-engine" >"$OUT/engine.txt"
    cat /sys/class/graphics/fb0/virtual_size /sys/class/graphics/fb0/bits_per_pixel \
        /sys/class/graphics/fb0/stride >"$OUT/fb.txt"
    cat /sys/class/leds/alix:3/brightness /sys/class/leds/alix:3/max_brightness >"$OUT/leds.txt"
    echo 7 >/sys/class/leds/belvonix:1/brightness
    stat -f -c %t /flash /nfs >"$OUT/magic.txt"
    echo before >/flash/before
    printf '1\n' >/sys/kernel/debug/ubifs/ubi0_0/ro_error
    { echo after >/flash/after; } 2>"$OUT/rofs.txt" && echo "write accepted" >>"$OUT/rofs.txt" || true
    cat /flash/before >>"$OUT/rofs.txt"
    ldd=$(/lib/ld-linux.so.2 --list /usr/bin/firmware-update 2>&1) && echo loads >"$OUT/loader.txt"
    echo "$ldd" >>"$OUT/loader.txt"
}
boot "fwu.fb=1 fwu.leds=belvonix:1,alix:3 fwu.ledon=alix:3 fwu.ubifs=1 fwu.nfs=1" keep
expect_eq "CPU flags of a Pentium II" "$(cat flags.txt)" \
    " fpu de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov pse36 mmx fxsr cpuid hypervisor"
expect_eq "portable SHA-256 engine chosen, digest of abc" "$(cat engine.txt)" \
    "portable ba7816bf 8f01cfea 414140de 5dae2223 b00361a3 96177a9c b410ff61 f20015ad"
expect_eq "fb0 480x272, 16 bpp, 960-byte lines" "$(tr '\n' ' ' <fb.txt)" "480,272 16 960 "
expect_eq "screen dump is one page" "$(stat -c %s screen.rgb565)" 261120
expect_eq "LED set on before the scenario, max 1" "$(tr '\n' ' ' <leds.txt)" "1 1 "
expect_grep "LED changes logged, values capped" '^[0-9]+\.[0-9]{6} belvonix:1 1$' leds.log
expect_grep "alix:3 switched on logged" '^[0-9]+\.[0-9]{6} alix:3 1$' leds.log
expect_eq "UBIFS and NFS magics" "$(tr '\n' ' ' <magic.txt)" "24051905 6969 "
expect_grep "ro_error makes UBIFS refuse writes" 'Read-only file system' rofs.txt
expect_grep "files written before stay readable" '^before$' rofs.txt
expect_grep "the tool's libraries load" '^loads$' loader.txt
finish
