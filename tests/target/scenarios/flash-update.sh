#!/bin/bash
# Update on flash: a UBIFS tree holding preserved and stale files is replaced
# from a bsdtar (pax) archive of 282 entries, with the splash, the bar and
# the LEDs on a real framebuffer and LED class.
. "$(dirname "$0")/../lib.sh"

sample_tree "$work/new"
LC_ALL=C.UTF-8 bsdtar --format pax --numeric-owner -C "$work/new" -czf "$work/update.tar.gz" .
archive_tree "$work/update.tar.gz" "$work/tree-archive.txt"
digest=$(sha256sum "$work/update.tar.gz" | cut -d' ' -f1)

old=$work/old
mkdir -p "$old"/{etc/belvonix,etc/dropbear,home/chrome/.config,var/lib/bluetooth,var/lib/reports/finished,var/lib/reports/pending,var/alsa,usr/bin,tmp}
for f in etc/belvonix/settings etc/belvonix.conf etc/dropbear/host_key etc/dropbear_keys \
    home/chrome/.config/prefs var/lib/bluetooth/pairs var/lib/reports/finished/r1 \
    var/alsa/asound.state var/lib/reports/pending/p1 etc/passwd usr/bin/old .profile \
    tmp/belvonix-update.zImage; do
    echo "old $f" >"$old/$f"
done
ln -s usr/lib "$old/lib64"

try_update "$work/update.tar.gz" --tree "$old"
expect_eq "exit status" "$(cat status)" 0
expect_grep "checksum verified" "^Checksum ok \($digest\)$" stdout
expect_eq "last line" "$(tail -n 1 stdout)" sync
expect_eq "nothing on stderr" "$(cat stderr)" ""
expect_tree "tree: the archive's entries (bsdtar's extraction) and the preserved paths" \
    tree-after.txt tree-before.txt "$work/tree-archive.txt"
# 282 entries: the bar's centre went down to row 272 and back up to 262.
expect_eq "activity bar after 282 entries" "$(strip_runs screen.rgb565)" "black 0-221 white 222-271"
expect_splash
expect_eq "alix:3 on, then switched off" "$(led_values alix:3)" "1 0"
expect_grep "LED 1 blinked: on, off, on" "^1 0 1" <(led_values belvonix:1)
expect_grep "LED 2 swapped with it from the second swap" "^1 0" <(led_values belvonix:2)
expect_grep "swaps at least a second apart" "^(9[5-9][0-9]|[1-9][0-9]{3,})$" <(led_min_gap belvonix:1)
finish
