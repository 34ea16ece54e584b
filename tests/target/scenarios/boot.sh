#!/bin/bash
# The updated tree boots: the archive is a whole busybox root with its own
# /sbin/init; after the update the device switches its root to the updated
# UBIFS tree and runs that init as process 1, which reports on the console.
. "$(dirname "$0")/../lib.sh"

new=$work/new
mkdir -p "$new/bin" "$new/sbin" "$new/etc"
cp "$device_cache/root/bin/busybox" "$new/bin/"
ln -s busybox "$new/bin/sh"
echo 2 >"$new/etc/version"
printf '#!/bin/sh\necho "new root: init $$ of version $(busybox cat /etc/version) on $(busybox stat -f -c %%t /)"\nbusybox poweroff -f\n' >"$new/sbin/init"
chmod 755 "$new/sbin/init"
fresh_out
pack_tree "$new" "$out/slow/update.tar.gz" -z >"$out/digest"
mv "$out/slow/update.tar.gz" "$out/slow/$(cat "$out/digest")"

guest() {
    cd /flash
    run_tool "/usb/$(cat "$OUT/digest")"
    echo /flash >/tmp/switch-root
}
boot "fwu.ubifs=1" keep
expect_eq "exit status" "$(cat status)" 0
expect_eq "last line" "$(tail -n 1 stdout)" sync
expect_grep "the new root's init ran as process 1 on UBIFS" '^new root: init 1 of version 2 on 24051905.$' console.log
finish
