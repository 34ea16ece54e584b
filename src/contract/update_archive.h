// What an update archive means to the device: the terms that
// firmware-update, which extracts it, and firmware-pack, which makes and
// checks it, both keep.
#pragma once

#include <archive.h>

#include <array>
#include <cstddef>
#include <string_view>

// The archive installs a whole root file system; the kernel image travels
// in it but is flashed by other means, never written into the tree.
inline constexpr std::string_view KERNEL_IMAGE_ENTRY = "./tmp/belvonix-update.zImage";
// The same file's path below the top of the tree.
inline constexpr std::string_view KERNEL_IMAGE_PATH = KERNEL_IMAGE_ENTRY.substr(2);

// Survive the update: device identity, keys, user data and reports. Matched
// as plain character prefixes of the path below the purge root.
inline constexpr std::array<std::string_view, 7> PRESERVED_PATHS = {
    "/etc/belvonix",
    "/etc/dropbear",
    "/home/chrome",
    "/var/alsa",
    "/var/lib/bluetooth",
    "/var/lib/reports/finished",
    "/var/belvonix-1.0",
};

// The preserved path that `path` ("/a/b", below the root) falls under, or
// an empty view.
constexpr std::string_view preserved_prefix(std::string_view path)
{
    for (const std::string_view prefix : PRESERVED_PATHS) {
        if (path.starts_with(prefix)) return prefix;
    }
    return {};
}

// The block size the device reads the archive with.
inline constexpr int READ_BLOCK_SIZE = 10240;

// The archive's file name is the SHA-256 digest of its bytes, written as
// 64 lowercase hexadecimal digits with nothing before or after them.
inline constexpr std::size_t DIGEST_NAME_LENGTH = 64;

constexpr bool is_digest_name(std::string_view name)
{
    return name.size() == DIGEST_NAME_LENGTH && name.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// The activity bar moves one row per extracted entry, from the top of the
// screen to the bottom and back: one sweep per screen height (272 rows) of
// entries.
inline constexpr int ACTIVITY_BAR_HEIGHT = 272;

// pax headers carry names as UTF-8, which libarchive converts to the
// locale's character set. The device stays in the C locale whatever the
// environment says, so a name outside ASCII cannot be converted: libarchive
// then keeps the archive's own bytes, exactly what the tree must hold, and
// only warns. A UTF-8 locale would instead rewrite decomposed accents, and
// devices have no locale files anyway.
inline bool only_a_name_left_unconverted(struct archive* reader)
{
    const char* const text = archive_error_string(reader);
    return text != nullptr && std::string_view(text).find(" can't be converted from ") != std::string_view::npos;
}
