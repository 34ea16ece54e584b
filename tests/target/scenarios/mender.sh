#!/bin/bash
# An OTA client drives the update: Debian's 32-bit Mender client, in
# standalone mode, installs artifacts of type firmware-update through the
# update module in src/mender, in a chroot of a device image on UBIFS that
# keeps the client's data below the preserved /var/belvonix-1.0. The
# artifacts are made as a release engineer makes them, by firmware-pack create
# and firmware-pack artifact (the i386 build's, which checks the archive).
# Release 2 replaces the tree, and the client, whose files the update purged
# and brought back, records it. Release 3 passes the check too, but the flash
# fails (a UBIFS error injected) while the tool writes the first file of the
# new tree, before the client's own files are back: the client reports the
# failure with the tool's message, cannot run the module any more nor write
# its store on the now read-only flash, and its data are still on the flash
# after a restart.
. "$(dirname "$0")/../lib.sh"

client=${device_cache%/current}/mender-client/usr/bin/mender
[ -x "$client" ] || device_die "no i386 Mender client in ${client%/usr/bin/mender}: run sudo tools/device/prepare"
command -v mender-artifact >/dev/null || device_die "no mender-artifact: run sudo tools/install-deps"
pack=${FIRMWARE_PACK:-$device_repo/build/i386/src/firmware-pack}
[ -x "$pack" ] || device_die "no firmware-pack at $pack: run cmake --preset i386 && cmake --build --preset i386"
module=$device_repo/src/mender/firmware-update

# What every release of the device's tree holds for the client to survive
# the update: the client, the module, and its data directory as a link into
# a preserved path.
device_image() {   # DIR VERSION
    busybox_root "$1" "$2"
    install_tool "$1"
    install_program "$1" "$client" /usr/bin/mender
    install -D -m 755 "$module" "$1/usr/share/mender/modules/v3/firmware-update"
    mkdir -p "$1/etc/mender" "$1/var/lib" "$1/dev" "$1/tmp"
    echo "artifact_name=release-$2" >"$1/etc/mender/artifact_info"
    ln -s /var/belvonix-1.0/mender "$1/var/lib/mender"
    mknod "$1/dev/null" c 1 3
}
# release-VERSION.mender of the tree DIR, and DIR.tar.lz4 its archive. Check
# warns only about /dev/null, which the client needs. The archive is
# compressed already: compressed again in the artifact, it would only give
# the client more to do on the device's CPU.
artifact() {   # DIR VERSION
    local archive status=0
    archive=$("$pack" create --compress lz4 "$1" "$device_work")
    "$pack" artifact --name "release-$2" --device-type belvonix "$archive" "$out/release-$2.mender" -- --compression none \
        >"pack-$2.txt" 2>&1 || status=$?
    expect_eq "release $2: checked, warned, made" "$status
$(sed -n "s|^$archive: ||p; s|^result: *||p; s|^artifact: *$out/||p" "pack-$2.txt")" \
        "1
warning: entry './dev/null': a character device node, which the device creates in its tree; make sure the tree needs it
1 warnings: the devices would take it; read them first
release-$2.mender"
    mv "$archive" "$1.tar.lz4"
}

# The device as it left the factory: release 1, with what it keeps.
device_image "$device_work/old" 1
mkdir -p "$device_work/old/var/belvonix-1.0/mender" "$device_work/old/etc/belvonix"
echo device_type=belvonix >"$device_work/old/var/belvonix-1.0/mender/device_type"
echo 'SN 0042-7781' >"$device_work/old/etc/belvonix/serial"
tar --numeric-owner -C "$device_work/old" -cf "$out/device.tar" .

device_image "$device_work/new" 2
artifact "$device_work/new" 2
# The first file of release 3 is large enough for the guest to see it appear
# and fail the flash while the tool still writes it.
device_image "$device_work/bad" 3
head -c $((32 << 20)) /dev/zero >"$device_work/bad/bin/big"
artifact "$device_work/bad" 3

guest() {
    mender() { chroot /flash /usr/bin/mender --no-syslog "$@"; }
    tar -xpf "$OUT/device.tar" -C /flash
    cp "$OUT/release-2.mender" /flash/var/belvonix-1.0/
    list_tree /flash tree-before.txt
    mender install /var/belvonix-1.0/release-2.mender >"$OUT/install-2.log" 2>&1 || echo "install 2: $?"
    mender commit >"$OUT/commit-2.log" 2>&1 || echo "commit 2: $?"
    mender show-artifact 2>/dev/null
    list_tree /flash tree-after.txt

    cp "$OUT/release-3.mender" /flash/var/belvonix-1.0/
    # Written pages go to the flash within a fifth of a second rather than
    # half a minute, the client's memory-mapped store among them: however
    # fast the emulation runs, the client meets the read-only flash as on a
    # device whose installation lasts longer than that.
    echo 10 >/proc/sys/vm/dirty_expire_centisecs
    echo 10 >/proc/sys/vm/dirty_writeback_centisecs
    (until [ -e /flash/bin/big ]; do usleep 10000; done; echo 1 >/sys/kernel/debug/ubifs/ubi0_0/ro_error) &
    mender install /var/belvonix-1.0/release-3.mender >"$OUT/install-3.log" 2>&1 || echo "install 3: $?"
    kill $! 2>/dev/null && echo "no error injected"
    # The device restarts.
    umount /flash
    mount -t ubifs -o compr=none ubi0:rootfs /flash
    ls /flash/var/belvonix-1.0/mender
    cat /flash/var/belvonix-1.0/mender/device_type
}
boot "fwu.ubifs=1"

client_data='^\./var/belvonix-1\.0/(mender[/ ]|release-)'
grep -Ev "$client_data" tree-before.txt >tree-before-less-client.txt
grep -Ev "$client_data" tree-after.txt >tree-after-less-client.txt
expect_tree "tree: release 2 and the preserved paths" tree-after-less-client.txt tree-before-less-client.txt \
    "$device_work/new.tar.lz4"
# The device type as it was, the client's store (its content changes).
data_files() { awk '$1 ~ /^\.\/var\/belvonix-1\.0\/mender\/(device_type|mender-store)$/ { print $1, $1 ~ /store/ ? "" : $9 }' "$1"; }
expect_eq "the client's data survived" "$(data_files tree-after.txt)" "$(data_files tree-before.txt)
./var/belvonix-1.0/mender/mender-store "
# Without rollback, the client commits as part of the installation. Release
# 3 left the client's data, store included, on the flash.
expect_eq "installed, committed; 3 failed; the data after the failure" "$(cat guest.log)" "commit 2: 2
release-2
install 3: 2
device_type
mender-store
mender-store-lock
modules
scripts
device_type=belvonix"

# The module's output as the client logs it: one line per chunk read.
module_said() { sed -n 's/.*Output (\(std[a-z]*\)) from command \\"[^"]*\/firmware-update\\": \(.*\)"$/\1: \2/p' "$1"; }
payload=/var/lib/mender/modules/v3/payloads/0000/tree/files
digest() { sha256sum <"$device_work/$1.tar.lz4" | cut -c1-64; }
expect_eq "release 2: the tool's output in the client's log" "$(module_said install-2.log)" \
    "stdout: firmware-update: filename = '$payload/$(digest new)'
stdout: Checksum ok ($(digest new))
stdout: purge...\nunpack...\nsync\n"
# The module's standard error and output are read apart.
expect_eq "release 3: the tool's failure in the client's log" "$(module_said install-3.log | sort)" \
    "stderr: firmware-update module: firmware-update exited with status 255
stdout: Checksum ok ($(digest bad))
stdout: firmware-update: filename = '$payload/$(digest bad)'
stdout: purge...\nunpack...\narchive_read_extract() failed for ./bin/big: (-20) Write failed\n"
# Then it cannot run the module without /dev/null, and its first write to
# its store on the read-only flash stops it.
expect_eq "release 3: reported as failed; no module; the store read-only" "$(grep -F \
    -e 'level=error msg="Installation failed: Update module terminated abnormally: exit status 1"' \
    -e 'level=error msg="Error when executing ArtifactFailure state: open /dev/null: no such file or directory"' \
    -e 'fatal error: unexpected signal' -e '[signal SIGBUS' install-3.log | sed 's/^time="[^"]*" //; s/ code=.*//')" \
    'level=error msg="Installation failed: Update module terminated abnormally: exit status 1"
level=error msg="Error when executing ArtifactFailure state: open /dev/null: no such file or directory"
fatal error: unexpected signal during runtime execution
[signal SIGBUS: bus error'
