#!/bin/bash
# An OTA client drives the update: Debian's 32-bit Mender client, in
# standalone mode, installs an artifact of type firmware-update through the
# update module in src/mender, in a chroot of a device image on UBIFS that
# keeps the client's data below the preserved /var/belvonix-1.0. The tree is
# replaced and the client, whose files the update purged and brought back,
# records the new artifact. A second artifact that the device cannot write
# (a name longer than UBIFS takes, which firmware-pack check refuses) fails
# after the purge; the client reports the failure with the tool's message.
. "$(dirname "$0")/../lib.sh"

client=${device_cache%/current}/mender-client/usr/bin/mender
[ -x "$client" ] || device_die "no i386 Mender client in ${client%/usr/bin/mender}: run sudo tools/device/prepare"
command -v mender-artifact >/dev/null || device_die "no mender-artifact: run sudo tools/install-deps"
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
artifact() {   # DIR VERSION [TAR-OPTION...]: the artifact release-VERSION of the tree DIR
    mkdir "$device_work/payload"
    pack_tree "$1" "$1.tar.gz" -z "${@:3}"
    cp "$1.tar.gz" "$device_work/payload/archive"
    mender-artifact write module-image -T firmware-update -t belvonix -n "release-$2" \
        -f "$device_work/payload/$(name_by_digest "$device_work/payload/archive")" -o "$out/release-$2.mender"
    rm -r "$device_work/payload"
}

# The device as it left the factory: release 1, with what it keeps.
device_image "$device_work/old" 1
mkdir -p "$device_work/old/var/belvonix-1.0/mender" "$device_work/old/etc/belvonix"
echo device_type=belvonix >"$device_work/old/var/belvonix-1.0/mender/device_type"
echo 'SN 0042-7781' >"$device_work/old/etc/belvonix/serial"
tar --numeric-owner -C "$device_work/old" -cf "$out/device.tar" .

device_image "$device_work/new" 2
artifact "$device_work/new" 2
# Releases 3 and 4 cannot be written: a file has a name of 256 bytes, in
# /var/log, after everything the client needs, or in /usr/share, before its
# module and the link to its data.
long=$(printf 'n%.0s' $(seq 256))
unwritable() {   # VERSION DIRECTORY
    device_image "$device_work/bad$1" "$1"
    mkdir -p "$device_work/bad$1/$2"
    echo x >"$device_work/bad$1/$2/long"
    artifact "$device_work/bad$1" "$1" --transform "s|^\./$2/long\$|./$2/$long|"
}
unwritable 3 var/log
unwritable 4 usr/share

guest() {
    mender() { chroot /flash /usr/bin/mender --no-syslog "$@"; }
    tar -xpf "$OUT/device.tar" -C /flash
    cp "$OUT"/release-*.mender /flash/var/belvonix-1.0/
    list_tree /flash tree-before.txt
    mender install /var/belvonix-1.0/release-2.mender >"$OUT/install-2.log" 2>&1 || echo "install 2: $?"
    mender commit >"$OUT/commit-2.log" 2>&1 || echo "commit 2: $?"
    mender show-artifact 2>/dev/null
    list_tree /flash tree-after.txt
    for release in 3 4; do
        mender install "/var/belvonix-1.0/release-$release.mender" >"$OUT/install-$release.log" 2>&1 ||
            echo "install $release: $?"
        mender show-artifact 2>/dev/null || echo "show-artifact after $release: $?"
    done
    list_tree /flash tree-failed.txt
}
boot "fwu.ubifs=1" long

client_data='^\./var/belvonix-1\.0/(mender[/ ]|release-)'
grep -Ev "$client_data" tree-before.txt >tree-before-less-client.txt
grep -Ev "$client_data" tree-after.txt >tree-after-less-client.txt
expect_tree "tree: release 2 and the preserved paths" tree-after-less-client.txt tree-before-less-client.txt \
    "$device_work/new.tar.gz"
# The device type as it was, the client's store (its content changes).
data_files() { awk '$1 ~ /^\.\/var\/belvonix-1\.0\/mender\/(device_type|mender-store)$/ { print $1, $1 ~ /store/ ? "" : $9 }' "$1"; }
expect_eq "the client's data survived" "$(data_files tree-after.txt)" "$(data_files tree-before.txt)
./var/belvonix-1.0/mender/mender-store "
# Without rollback, the client commits as part of the installation. After
# release 3 it knows the tree is not release 3; release 4 left it without
# its module and the link to its data, which are still there.
expect_eq "installed, committed; 3 and 4 failed" "$(cat guest.log)" "commit 2: 2
release-2
install 3: 1
release-3_INCONSISTENT
install 4: 1
show-artifact after 4: 1"
expect_eq "the client's data after two failures" "$(data_files tree-failed.txt)" "$(data_files tree-after.txt)"

# The module's output as the client logs it: one line per chunk read.
module_said() { sed -n 's/.*Output (\(std[a-z]*\)) from command \\"[^"]*\/firmware-update\\": \(.*\)"$/\1: \2/p' "$1"; }
payload=/var/lib/mender/modules/v3/payloads/0000/tree/files
digest=$(sha256sum <"$device_work/new.tar.gz" | cut -c1-64)
expect_eq "release 2: the tool's output in the client's log" "$(module_said install-2.log)" \
    "stdout: firmware-update: filename = '$payload/$digest'
stdout: Checksum ok ($digest)
stdout: purge...\nunpack...\nsync\n"
cannot_create() { echo "archive_read_extract() failed for ./$1/$long: (-20) Can't create '$1/$long'"; }
failed="firmware-update module: firmware-update exited with status 255"
expect_eq "release 3: the tool's failure in the client's log, the module's hint" \
    "$(module_said install-3.log | grep -c -F -e "$(cannot_create var/log)" -e "$failed" -e 'got as far as \"purge...\"')" 3
expect_eq "release 3: reported as failed" "$(grep -c 'Installation failed: Update module terminated abnormally: exit status 1' install-3.log)" 1
expect_eq "release 4: the tool's failure in the client's log" \
    "$(module_said install-4.log | grep -c -F -e "$(cannot_create usr/share)" -e "$failed")" 2
expect_eq "release 4: reported as failed, the module gone" \
    "$(grep -c -e 'Installation failed: Update module terminated abnormally: exit status 1' \
        -e 'Error when executing ArtifactFailure state: fork/exec /usr/share/mender/modules/v3/firmware-update: no such file or directory' install-4.log)" 2
