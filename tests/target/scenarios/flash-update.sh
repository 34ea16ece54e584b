#!/bin/bash
# Update on flash: try-update's sample device tree on UBIFS, holding
# preserved and stale files, is replaced from a bsdtar (pax) archive of 282
# entries, with the splash, the bar and the LEDs on a real framebuffer and
# LED class.
. "$(dirname "$0")/../lib.sh"

sample_tree "$device_work/new"
LC_ALL=C.UTF-8 bsdtar --format pax --numeric-owner -C "$device_work/new" -czf "$device_work/update.tar.gz" .

try_update "$device_work/update.tar.gz"
expect_done
expect_eq "checksum verified" "$(grep '^Checksum' stdout)" "Checksum ok ($(sha256sum <"$device_work/update.tar.gz" | cut -c1-64))"
expect_tree "tree: the archive's and the preserved paths" tree-after.txt tree-before.txt "$device_work/update.tar.gz"
# 282 entries: the bar's centre went down to row 272 and back up to 262. The
# display started on its second page: this is the page shown at the end.
expect_eq "activity bar after 282 entries, the splash beside it, on the page shown" "$(screen)" "black 222 white 50 splash"
# One LED's values in order, "1 0 1".
led_values() { awk -v led="$1" '$2 == led { printf "%s%s", sep, $3; sep = " " }' leds.log; }
expect_eq "alix:3 on, then switched off" "$(led_values alix:3)" "1 0"
expect_eq "LED 1 blinked: on, off, on; LED 2 swapped with it from the second swap" \
    "$(led_values belvonix:1 | cut -c1-5), $(led_values belvonix:2 | cut -c1-3)" "1 0 1, 1 0"
expect_eq "swaps at least 950 ms apart" \
    "$(awk '$2 == "belvonix:1" { if (t && $1 - t < 0.95) print $1 - t; t = $1 }' leds.log)" ""
