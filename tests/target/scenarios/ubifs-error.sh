# Injected UBIFS error: with -e 5 the tool switches UBIFS read-only through
# its debug file after five entries; the sixth cannot be written, the tool
# ends at once with status 255 and without syncing, and the preserved paths
# are still there.
OPTIONS="fwu.ubifs=1"

host_prepare() {
    sample_tree "$work/new" 0
    pack_tree "$work/new" update.tar.gz -z >archive-name
    # Entries 1 to 5 are "./", "./bin/" and three links and files in it; the
    # sixth is a new file.
    tar -tzf "$(cat archive-name)" | sed -n 5p >fifth
    tar -tzf "$(cat archive-name)" | sed -n 6p >sixth
}

guest() {
    cp "$OUT/$(cat "$OUT/archive-name")" /tmp/
    cd /flash
    mkdir -p etc/belvonix home/chrome var/lib/reports/finished var/lib/reports/pending
    for f in etc/belvonix/settings home/chrome/prefs var/lib/reports/finished/r1 \
        var/lib/reports/pending/p1 etc/passwd; do
        echo "old $f" >"$f"
    done
    list_tree /flash tree-before.txt
    run_tool -e 5 "/tmp/$(cat "$OUT/archive-name")"
    list_tree /flash tree-after.txt
}

host_check() {
    local sixth
    sixth=$(cat sixth)
    expect_eq "exit status" "$(cat status)" 255
    expect_grep "injection announced" '^!! UBIFS will fail after 5 files have been written !!$' stdout
    expect_eq "injected after the fifth entry, failing the sixth" \
        "$(sed -n '/^unpack\.\.\.$/,$p' stdout | sed 's/: (-[0-9]*) .*//')" \
        "$(printf 'unpack...\nSimulating I/O error in UBIFS layer\narchive_read_extract() failed for %s' "$sixth")"
    expect_grep "libarchive's reason names the entry" "failed for $sixth: \(-[0-9]+\) .*'${sixth#./}'$" stdout
    expect_grep "UBIFS refused it as read-only" 'ubifs_create .*error -30' console.log
    expect_no_grep "no sync" '^sync$' stdout
    expect_preserved "preserved paths intact" tree-after.txt tree-before.txt
    expect_grep "fifth entry written" "^$(cat fifth) " tree-after.txt
    expect_no_grep "sixth entry not written" "^$sixth " tree-after.txt
}
