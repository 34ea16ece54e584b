#!/bin/bash
# The updated tree boots: the archive is a whole busybox root with its own
# /sbin/init; after the update the device switches its root to the updated
# UBIFS tree and runs that init as process 1, which reports on the console.
. "$(dirname "$0")/../lib.sh"

busybox_root "$device_work/new" 2
printf '#!/bin/sh\necho "new root: init $$ of version $(busybox cat /etc/version) on $(busybox stat -f -c %%t /)"\nbusybox poweroff -f\n' >"$device_work/new/sbin/init"
chmod 755 "$device_work/new/sbin/init"
pack_tree "$device_work/new" "$out/slow/update.tar.gz" -z
digest=$(name_by_digest "$out/slow/update.tar.gz")

guest() {
    cd /flash && run_tool "/usb/$digest"
    echo /flash >/tmp/switch-root
}
boot "fwu.ubifs=1" digest
expect_done
expect_eq "the new root's init ran as process 1 on UBIFS" "$(grep -a '^new root' console.log | tr -d '\r')" \
    "new root: init 1 of version 2 on 24051905"
