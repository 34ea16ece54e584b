// Entry times through libarchive's own time_t, a long in every Debian
// build: on the device's architecture 32 bits, where this program's time_t
// has 64 (and the bits above 32 would be whatever a register held).
#include <archive_entry.h>

#include "pack/pack.h"

namespace {

using time_getter = long (*)(struct archive_entry*);
using time_setter = void (*)(struct archive_entry*, long, long);
using any_function = void (*)();  // casting through it says the signature is chosen on purpose

}  // namespace

long entry_mtime(struct archive_entry* entry)
{
    return reinterpret_cast<time_getter>(reinterpret_cast<any_function>(archive_entry_mtime))(entry);
}

long entry_atime(struct archive_entry* entry)
{
    return reinterpret_cast<time_getter>(reinterpret_cast<any_function>(archive_entry_atime))(entry);
}

void entry_set_mtime(struct archive_entry* entry, long seconds)
{
    reinterpret_cast<time_setter>(reinterpret_cast<any_function>(archive_entry_set_mtime))(entry, seconds, 0);
}
