#!/bin/bash
# The emulated device itself, before any scenario relies on it: a CPU of the
# device's class (no SSE, SSE2, BMI2 nor SHA extensions, so the tool's digest
# can only take its portable engine), the screen's geometry, UBIFS that turns
# read-only through its debug file, and an NFS mount that reports the NFS
# magic. (Every other scenario runs the
# tool, and so loads its libraries.)
. "$(dirname "$0")/../lib.sh"
cp "${SHA256_ENGINE:-$device_repo/build/i386/tests/target/sha256-engine}" "$out/"

guest() {
    grep -m1 '^flags' /proc/cpuinfo | cut -d: -f2
    "$OUT/sha256-engine"
    echo $(cat /sys/class/graphics/fb0/virtual_size /sys/class/graphics/fb0/bits_per_pixel /sys/class/graphics/fb0/stride)
    echo $(stat -f -c %t /flash /nfs)
    echo before >/flash/before
    echo 1 >/sys/kernel/debug/ubifs/ubi0_0/ro_error
    echo $({ echo after >/flash/after; } 2>&1 | grep -o 'Read-only file system$') $(cat /flash/before)
}
boot "fwu.fb=1 fwu.ubifs=1 fwu.nfs=1"
# CPU flags of a Pentium II; the portable engine's digest of "abc"; fb0 of
# 480x272 at 16 bpp, 960-byte lines; the UBIFS and NFS magics; UBIFS
# refusing writes after ro_error, reading what it holds.
expect_eq "device" "$(cat guest.log)" \
    " fpu de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov pse36 mmx fxsr cpuid hypervisor
portable ba7816bf 8f01cfea 414140de 5dae2223 b00361a3 96177a9c b410ff61 f20015ad
480,272 16 960
24051905 6969
Read-only file system before"
